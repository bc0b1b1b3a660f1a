#!/usr/bin/env bash
# Checks a Debian package made by CPack: its name and architecture, that it
# holds exactly the expected files, that the executables are for the package's
# architecture (and statically linked, with --static), that both man pages
# render without warnings, that lintian finds nothing (when it is installed),
# and that the flasher runs and tells its version (ARM executables through
# qemu-user).
# Usage: scripts/check-package.sh [--static] PACKAGE.deb
set -euo pipefail

static=0
if [ "${1:-}" = "--static" ]; then
  static=1
  shift
fi
deb=${1:?usage: $0 [--static] PACKAGE.deb}
fail() {
  echo "check-package: $deb: $*" >&2
  exit 1
}

[ "$(dpkg-deb -f "$deb" Package)" = tarvion-update ] || fail "package name is not tarvion-update"
arch=$(dpkg-deb -f "$deb" Architecture)
case $arch in
  amd64) machine="x86-64" emulator=() ;;
  armhf) machine="ARM, EABI5" emulator=(qemu-arm -L /usr/arm-linux-gnueabihf) ;;
  arm64) machine="ARM aarch64" emulator=(qemu-aarch64 -L /usr/aarch64-linux-gnu) ;;
  *) fail "unexpected architecture $arch" ;;
esac
[ "$(uname -m)" = x86_64 ] || emulator=()  # on the target itself nothing is emulated

expected="./usr/bin/tarvion_module_sim
./usr/bin/tarvion_update
./usr/share/doc/tarvion-update/README.md
./usr/share/doc/tarvion-update/changelog.gz
./usr/share/doc/tarvion-update/copyright
./usr/share/doc/tarvion-update/tarvion_update.conf
$([ "$static" = 0 ] || echo ./usr/share/lintian/overrides/tarvion-update)
./usr/share/man/man1/tarvion_module_sim.1.gz
./usr/share/man/man1/tarvion_update.1.gz"
expected=$(echo "$expected" | grep . | sort)
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $NF}' | sort)
[ "$files" = "$expected" ] || fail "files differ from the expected ones:
$(diff <(echo "$expected") <(echo "$files") || true)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dpkg-deb -x "$deb" "$work"

for exe in tarvion_update tarvion_module_sim; do
  desc=$(file -b "$work/usr/bin/$exe")
  [[ $desc == *"$machine"* ]] || fail "$exe is not for $arch: $desc"
  if [ "$static" = 1 ]; then
    [[ $desc == *"statically linked"* ]] || fail "$exe is not statically linked: $desc"
  fi
done

for page in tarvion_update tarvion_module_sim; do
  warnings=$(MANWIDTH=80 man --warnings -l "$work/usr/share/man/man1/$page.1.gz" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man page $page.1.gz renders with warnings:
$warnings"
done

if command -v lintian >/dev/null; then
  # As root lintian says it should not be; that note is no finding.
  lint_status=0
  findings=$(lintian --fail-on error,warning "$deb" 2>&1) || lint_status=$?
  findings=$(echo "$findings" | grep -v 'running with root privileges' || true)
  [ "$lint_status" = 0 ] && [ -z "$findings" ] || fail "lintian (status $lint_status):
$findings"
fi

version=$("${emulator[@]}" "$work/usr/bin/tarvion_update" --version)
[ "$version" = "tarvion_update 2011_09b1" ] || fail "tarvion_update --version says: $version"
# The whole text first: grep -q would stop reading at the first line, and
# the simulator would die of SIGPIPE while writing the rest.
sim_help=$("${emulator[@]}" "$work/usr/bin/tarvion_module_sim" --help)
grep -q '^Usage: tarvion_module_sim' <<<"$sim_help" ||
  fail "tarvion_module_sim --help does not show its usage"

echo "$deb: $arch package, $(echo "$files" | wc -l) files as expected, runs:" \
  "$(stat -c %s "$work/usr/bin/tarvion_update") bytes for tarvion_update$([ "$static" = 1 ] && echo ", static")"
