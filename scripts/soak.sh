#!/usr/bin/env bash
# Soak: flashes a 64 KiB image RUNS times into the simulated module with
# random bit errors on the line in both directions (a different seed each
# run), with reset and boot-select lines, and counts the outcomes:
#   ok        ended 0, the module's flash holds the image
#   failed    ended non-zero, the module released into its application
#   stuck     ended non-zero, the module left in its boot loader
#   WRONG     ended 0 with the image not in flash (must stay 0)
#   STRAY     ended 0 with flash outside the image changed (must stay 0;
#             the flash is preloaded, so with --erase=image a page erased
#             outside the image shows)
#   unsaid    ended non-zero with flash outside the image changed and no
#             line saying so (must stay 0)
# LOSS_RATE=R also loses random host bytes, R per byte. Not part of
# `make test`. Usage:
#   [LOSS_RATE=R] scripts/soak.sh [build-dir] [runs] [bit-error-rate] [extra flasher options...]
# e.g. scripts/soak.sh build 200 1e-5 --verify
#      LOSS_RATE=1e-4 scripts/soak.sh build 200 0 --erase=image
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
head -c 262144 /dev/urandom >"$work/before.bin"
loss=${LOSS_RATE:-0}
ok=0 failed=0 stuck=0 wrong=0 stray=0 unsaid=0
start=$(date +%s)
for i in $(seq "$runs"); do
  run=$work/run && rm -rf "$run" && mkdir -p "$run/sys"
  "$sim" --sysfs "$run/sys" --reset-gpio 17 --boot-gpio 18 --program-unit 8 \
    --flash-init "$work/before.bin" --loss-rate "$loss" \
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
  # Outside the image: what was there, or erased after a global erase.
  outside=1
  if ! cmp -s -i 65536 "$run/flash.bin" "$work/before.bin" &&
    [ -n "$(tail -c +65537 "$run/flash.bin" | tr -d '\377' | head -c 1)" ]; then outside=0; fi
  if [ "$outside" = 0 ] && ! grep -q "outside the image may have been" "$run/err"; then
    if [ "$status" = 0 ]; then stray=$((stray + 1)); else unsaid=$((unsaid + 1)); fi
    cp -r "$run" "$work/../soak-stray-$i" || true
  fi
  if [ "$status" = 0 ] && [ "$intact" = 1 ]; then ok=$((ok + 1))
  elif [ "$status" = 0 ]; then
    wrong=$((wrong + 1))
    cp -r "$run" "$work/../soak-wrong-$i" && cp "$work/image.bin" "$work/../soak-wrong-$i/" || true
  elif [ "$released" = 1 ]; then failed=$((failed + 1))
  else stuck=$((stuck + 1)); fi
  if [ "$status" != 0 ]; then
    echo "run $i: status $status: $(tail -n 1 "$run/err")" >&2
    cp -r "$run" "$work/../soak-failed-$i" || true
  fi
done
echo "runs=$runs rate=$rate loss=$loss options='$*' ok=$ok failed=$failed stuck=$stuck" \
  "WRONG=$wrong STRAY=$stray unsaid=$unsaid seconds=$(( $(date +%s) - start ))"
