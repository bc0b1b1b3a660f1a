#!/usr/bin/env bash
# Soak: flashes a 64 KiB image RUNS times into the simulated module with
# random bit errors on the line in both directions (a different seed each
# run), with reset and boot-select lines, and counts the outcomes:
#   ok        ended 0, the module's flash holds the image
#   failed    ended non-zero, the module released into its application
#   stuck     ended non-zero, the module left in its boot loader
#   WRONG     ended 0 with the image not in flash (must stay 0)
# Not part of `make test`. Usage:
#   scripts/soak.sh [build-dir] [runs] [bit-error-rate] [extra flasher options...]
# e.g. scripts/soak.sh build 200 1e-5 --verify
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-200}
rate=${3:-1e-5}
shift $(( $# < 3 ? $# : 3 ))
flasher=$build/src/tarvion_update
sim=$build/sim/tarvion_module_sim
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

head -c 65536 /dev/urandom >"$work/image.bin"
ok=0 failed=0 stuck=0 wrong=0
start=$(date +%s)
for i in $(seq "$runs"); do
  run=$work/run && rm -rf "$run" && mkdir -p "$run/sys"
  "$sim" --sysfs "$run/sys" --reset-gpio 17 --boot-gpio 18 --program-unit 8 \
    --bit-errors "$rate" --seed "$((RANDOM * 32768 + RANDOM + i))" \
    --dump "$run/flash.bin" --log "$run/sim.log" >"$run/ready" 2>"$run/sim.err" &
  simpid=$!
  for _ in $(seq 200); do [ -s "$run/ready" ] && break; sleep 0.02; done
  tty=$(head -n 1 "$run/ready")
  status=0
  TARVION_SYSFS="$run/sys" timeout 300 "$flasher" --device "$tty" --resetpin 17 --bspin 18 \
    --file "$work/image.bin" --conffile "$run/none.conf" "$@" 2>"$run/err" || status=$?
  kill -TERM "$simpid" && wait "$simpid" || true
  released=0
  tail -n 20 "$run/sim.log" | grep -q "event restart app" && released=1
  intact=0
  cmp -s -n 65536 "$run/flash.bin" "$work/image.bin" && intact=1
  if [ "$status" = 0 ] && [ "$intact" = 1 ]; then ok=$((ok + 1))
  elif [ "$status" = 0 ]; then wrong=$((wrong + 1)); cp -r "$run" "$work/../soak-wrong-$i" || true
  elif [ "$released" = 1 ]; then failed=$((failed + 1))
  else stuck=$((stuck + 1)); fi
  if [ "$status" != 0 ]; then echo "run $i: status $status: $(tail -n 1 "$run/err")" >&2; fi
done
echo "runs=$runs rate=$rate options='$*' ok=$ok failed=$failed stuck=$stuck WRONG=$wrong seconds=$(( $(date +%s) - start ))"
