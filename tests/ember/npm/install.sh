#!/usr/bin/env bash
# Installs the pinned third-party Ember+ consumers (package.json and its lock file here) into
# DEST/node_modules for tst_emberconsumer. Idempotent: with the pinned versions there already
# it touches neither npm nor the network; otherwise `npm ci` (from npm's cache when it has it).
# package.json's overrides entry points emberplus-connection's asn1, which names a repository
# the registry cannot serve, at the same code published as gdnet-asn1.
# Usage: install.sh DEST
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
dest="${1:?usage: install.sh DEST}"
pinned() { sed -n "s/.*\"$1\": *\"\\([^\"]*\\)\".*/\\1/p" "$here/package.json" | head -1; }
installed() { sed -n 's/^ *"version": *"\([^"]*\)".*/\1/p' "$dest/node_modules/$1/package.json" 2>/dev/null | head -1 || true; }
current=yes
for p in emberplus-connection node-emberplus; do
  want="$(pinned "$p")"
  [[ -n "$want" && "$(installed "$p")" == "$want" ]] || current=no
done
if [[ $current == yes ]] && cmp -s "$here/package-lock.json" "$dest/package-lock.json"; then
  exit 0
fi
if ! command -v npm >/dev/null; then
  echo "install.sh: npm is missing (scripts/setup installs Node.js and npm)" >&2
  exit 1
fi
mkdir -p "$dest"
cp "$here/package.json" "$here/package-lock.json" "$dest/"
echo "install.sh: installing emberplus-connection@$(pinned emberplus-connection) and node-emberplus@$(pinned node-emberplus) into $dest" >&2
npm ci --prefix "$dest" --prefer-offline --no-audit --no-fund --loglevel=error >&2
