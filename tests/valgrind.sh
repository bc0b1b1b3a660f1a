#!/usr/bin/env bash
# Runs the flasher under valgrind's memcheck against the simulated module: a
# successful flash, a refused erase, a hang-up in the middle of the write and
# a SIGTERM during a long erase. Fails on any memcheck error or leak (of any
# kind), or on an unexpected exit status; prints each run's heap summary.
#
#   tests/valgrind.sh FLASHER SIMULATOR FIRMWARE
set -euo pipefail

flasher=$1 sim=$2 firmware=$3
work=$(mktemp -d "${TMPDIR:-/tmp}/tarvion-valgrind-XXXXXX")
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

failures=0

# run NAME STATUS [--signal EVENT] -- SIMULATOR-ARGS...
run() {
  local name=$1 want=$2 signal_on=""
  shift 2
  if [ "$1" = "--signal" ]; then signal_on=$2; shift 2; fi
  shift  # --
  local dir=$work/$name
  mkdir -p "$dir/sysfs"
  exec {ready}< <(exec "$sim" --log "$dir/sim.log" --dump "$dir/flash.bin" \
    --sysfs "$dir/sysfs" --reset-gpio 17 --boot-gpio 18 "$@" 2>"$dir/sim.err")
  sim_pid=$!
  local tty=""
  if ! read -r -t 20 -u "$ready" tty; then
    echo "$name: the simulated module did not start"; cat "$dir/sim.err"
    failures=$((failures + 1)); return
  fi

  TARVION_SYSFS=$dir/sysfs timeout 120 valgrind --tool=memcheck --leak-check=full \
    --show-leak-kinds=all --errors-for-leak-kinds=all --track-fds=no \
    --error-exitcode=99 --log-file="$dir/valgrind.log" \
    "$flasher" --conffile "$dir/absent.conf" -d "$tty" -r 17 -s 18 -F "$firmware" \
    2>"$dir/flasher.err" &
  local flasher_pid=$!
  if [ -n "$signal_on" ]; then
    # The module logs the event when the block arrives; the flasher is then
    # waiting for its answer.
    for _ in $(seq 600); do
      grep -q " event $signal_on\$" "$dir/sim.log" 2>/dev/null && break
      sleep 0.05
    done
    kill -TERM "$flasher_pid"
  fi
  local status=0
  wait "$flasher_pid" || status=$?
  kill "$sim_pid"; wait "$sim_pid" || true; sim_pid=""
  exec {ready}<&-

  local summary
  summary=$(sed -n 's/^==[0-9]*== //; /HEAP SUMMARY/,/ERROR SUMMARY/p' "$dir/valgrind.log" |
    grep -E 'in use at exit|total heap usage|definitely|indirectly|possibly|still reachable|ERROR SUMMARY|All heap blocks')
  echo "== $name: exit status $status (want $want)"
  echo "$summary" | sed 's/^/   /'
  if [ "$status" -ne "$want" ] || ! grep -q "ERROR SUMMARY: 0 errors" "$dir/valgrind.log"; then
    echo "   FAILED; the flasher said:"; sed 's/^/   | /' "$dir/flasher.err"
    sed 's/^/   > /' "$dir/valgrind.log"
    failures=$((failures + 1))
  fi
}

run success 0 --
run erase-refused 2 -- --nack-cmd 0x43:3
run hangup-while-writing 2 -- --hangup-after 3
run sigterm-during-erase 143 --signal erase -- --erase-ms 5000

[ "$failures" -eq 0 ] && echo "valgrind: all runs clean" || echo "valgrind: $failures run(s) failed"
exit $((failures > 0))
