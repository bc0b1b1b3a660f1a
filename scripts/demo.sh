#!/usr/bin/env bash
# Flashes examples/sample.hex into the simulated module through the whole
# sequence, reset and boot-select lines included, and shows that the
# module's flash now holds the image. Usage: scripts/demo.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
flasher=$build/src/tarvion_update
sim=$build/sim/tarvion_module_sim
work=$(mktemp -d)
simpid=
cleanup() {
  [ -n "$simpid" ] && kill "$simpid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

mkdir "$work/sys"
"$sim" --sysfs "$work/sys" --reset-gpio 17 --boot-gpio 18 --id 0x410 \
  --baud 115200 --erase-ms 300 --dump "$work/flash.bin" --log "$work/wire.log" \
  --exit-on-close >"$work/ready" 2>"$work/sim.err" &
simpid=$!
for _ in $(seq 200); do
  [ -s "$work/ready" ] && break
  sleep 0.05
done
tty=$(head -n 1 "$work/ready")
[ -n "$tty" ] || { echo "the simulated module did not start:" >&2; cat "$work/sim.err" >&2; exit 1; }

echo "Simulated module on $tty: reset line = GPIO 17, boot-select line = GPIO 18,"
echo "line paced at 115200 baud, sysfs stand-in in $work/sys"
echo
cmd=(tarvion_update --device "$tty" --resetpin 17 --bspin 18 --testid 0x410
     --file examples/sample.hex --verbose --conffile "$work/none.conf")
echo "\$ TARVION_SYSFS=$work/sys ${cmd[*]}"
status=0
TARVION_SYSFS="$work/sys" "$flasher" "${cmd[@]:1}" || status=$?
echo "exit status: $status"
wait "$simpid" || true
simpid=

echo
echo "What the module saw on its reset and boot-select lines:"
grep -E ' gpio | event restart' "$work/wire.log" | sed 's/^/    /'
sed 's/^/    module: /' "$work/sim.err"
echo
size=$(stat -c %s examples/sample.bin)
if cmp -s -n "$size" "$work/flash.bin" examples/sample.bin; then
  echo "The module's flash at 0x08000000 now holds the $size bytes of examples/sample.hex:"
  od -A x -t x1 -N 48 "$work/flash.bin" | sed 's/^/    /'
else
  echo "The module's flash does NOT hold the image." >&2
  exit 1
fi
exit "$status"
