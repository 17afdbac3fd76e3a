#!/usr/bin/env bash
# The bridge's package under a real systemd: boots a minimal Debian 12 root with systemd as
# PID 1 in a systemd-nspawn container, installs the built switcher-bridge package in it and
# drives the service with systemctl against the simulator on a pseudo-terminal (inside.sh).
# The root is built once into a cache folder outside the source tree and booted with a
# throw-away overlay, so a run leaves it as it was.
#
# Usage: tests/systemd/run.sh [--prepare] [BUILD_DIR]
#   --prepare  build the cached root first when it is missing (about two minutes); without a
#              BUILD_DIR, only that (scripts/setup --systemd)
# Exits 77 (CTest's "skipped") with the reason where the test cannot run here: the tools
# missing (scripts/setup --systemd), not root, no cached root, or a container that cannot boot.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
prepare=0
if [[ "${1:-}" == --prepare ]]; then prepare=1; shift; fi
[[ $# == 1 || $prepare == 1 ]] || { echo "usage: tests/systemd/run.sh [--prepare] [BUILD_DIR]" >&2; exit 2; }
cache=${XDG_CACHE_HOME:-$HOME/.cache}/switcher-console
root=$cache/bookworm-systemd

skip() { echo "SKIPPED: $*"; exit 77; }
for tool in systemd-nspawn cpack dpkg-deb timeout flock; do
  command -v "$tool" >/dev/null || skip "$tool not found (scripts/setup --systemd installs the tools)"
done
[[ $(id -u) == 0 ]] || skip "systemd-nspawn needs root"
mkdir -p "$cache"
exec 9>"$cache/bookworm-systemd.lock"
flock 9  # one run at a time per root: building, extending and booting it

if [[ ! -x $root/lib/systemd/systemd ]]; then
  ((prepare)) || skip "no cached root in $root (scripts/setup --systemd builds it, about two minutes)"
  command -v mmdebstrap >/dev/null || skip "mmdebstrap not found (scripts/setup --systemd installs the tools)"
  rm -rf "$root.new"
  mmdebstrap --variant=minbase --include=systemd,systemd-sysv,dbus bookworm "$root.new"
  mv "$root.new" "$root"
fi
[[ $# == 1 ]] || exit 0
build=$(cd "$1" && pwd)

work=$build/tests/systemd/work
rm -rf "$work"
mkdir -p "$work/out"
(cd "$build" && cpack -G DEB -D CPACK_COMPONENTS_ALL=bridge -B "$work/package") >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/package/switcher-bridge_*.deb)
cp "$deb" "$work/switcher-bridge.deb"
cp "$build/sim/switcher-sim" "$here/inside.sh" "$work/"

# The package's libraries go into the cached root once (from Debian, as apt would fetch them),
# so that each run installs it with dpkg alone. What the package does not depend on stays out,
# as on a minimal install.
have=" $(dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${db:Status-Abbrev}${Package},${Provides}\n' |
  sed -nE 's/^ii +//p' | sed -E 's/ *\([^)]*\)//g' | tr ',\n' '  ') "
missing=()
IFS=, read -ra deps <<<"$(dpkg-deb -f "$deb" Depends)"
for d in "${deps[@]}"; do
  name=$(sed -E 's/^ *([^ |(]+).*/\1/' <<<"$d")
  [[ $have == *" $name "* ]] || missing+=("$name")
done
if ((${#missing[@]})); then
  echo "adding the package's libraries to the cached root: ${missing[*]}"
  systemd-nspawn -q --register=no --keep-unit -D "$root" --pipe -E DEBIAN_FRONTEND=noninteractive sh -c \
    "apt-get update -qq && apt-get install -y -qq --no-install-recommends ${missing[*]} >/dev/null && apt-get clean && rm -rf /var/lib/apt/lists/*" ||
    skip "could not add ${missing[*]} to the cached root (apt in the container failed: no network to Debian?)"
fi

# Booted with the root read through a tmpfs overlay and a network of its own (loopback only, so
# its ports are not the host's tests'); the test unit runs inside.sh, which writes its checks to
# out/log and powers the container off.
status=0
timeout 300 systemd-nspawn -q -b --register=no --keep-unit -M switcher-test -D "$root" --volatile=overlay --private-network \
  --console=passive --bind="$work:/srv/sc" --bind-ro="$here/switcher-test.service:/etc/systemd/system/switcher-test.service" \
  systemd.wants=switcher-test.service >"$work/console.log" 2>&1 || status=$?
if ! grep -q '^booted' "$work/out/log" 2>/dev/null; then
  skip "the container did not boot (systemd-nspawn exit $status): $(grep -v '^$' "$work/console.log" | tail -3 | tr '\n' ' ')"
fi
cat "$work/out/log"
[[ $(cat "$work/out/failed" 2>/dev/null) == 0 ]]
