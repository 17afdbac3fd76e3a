#!/usr/bin/env bash
# Installs the pinned third-party SW-P-08 client (package.json and its lock file here) into
# DEST/node_modules for tst_swp08client. Idempotent: with the pinned version there already it
# touches neither npm nor the network; otherwise `npm ci` (from npm's cache when it has it).
# Usage: install.sh DEST
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
dest="${1:?usage: install.sh DEST}"
want="$(sed -n 's/.*"probel-swp-08": *"\([^"]*\)".*/\1/p' "$here/package.json" | head -1)"
have="$(sed -n 's/^ *"version": *"\([^"]*\)".*/\1/p' "$dest/node_modules/probel-swp-08/package.json" 2>/dev/null | head -1 || true)"
if [[ -n "$want" && "$have" == "$want" ]] && cmp -s "$here/package-lock.json" "$dest/package-lock.json"; then
  exit 0
fi
if ! command -v npm >/dev/null; then
  echo "install.sh: npm is missing (scripts/setup installs Node.js and npm)" >&2
  exit 1
fi
mkdir -p "$dest"
cp "$here/package.json" "$here/package-lock.json" "$dest/"
echo "install.sh: installing probel-swp-08@$want into $dest" >&2
npm ci --prefix "$dest" --prefer-offline --no-audit --no-fund --loglevel=error >&2
