#!/usr/bin/env bash
# The full sweep: one host byte lost, and separately damaged, at every
# position of each short run of tests/test_sweep.cpp (global erase,
# --erase=image on a 0x43 and on a 0x44 part, mass erase, --verify, --go,
# and --erase=image on an F401, F4, G0, L0, H7 and F1), and one reply byte
# damaged at every position of its opening exchanges (up to the first erase
# or write command), with both lines and with none. Writes one line per run
# to TABLE (scenario, fault, position, status, verdict, last message) and
# prints per scenario and fault, then in all: the runs, those that ended 0
# with the flash exactly as asked, the safe failures (non-zero, nothing
# outside the plan changed) and the wrong ones. Takes hours; not part of
# `make test`. Usage:
#   scripts/sweep.sh [build-dir] [table] [gtest filter]
# e.g. scripts/sweep.sh build sweep.tsv '*GlobalErase*'
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
table=$(realpath -m "${2:-sweep.tsv}")
filter=${3:-*}
: >"$table"
status=0
TARVION_SWEEP=full TARVION_SWEEP_TABLE="$table" "$build/tests/test_sweep" \
  --gtest_filter="Sweep.$filter" >"$table.log" 2>&1 || status=$?
printf 'runs\tstatus 0 correct\tsafe failures\twrong\tscenario, fault\n'
awk -F'\t' '
  function count(k) { runs[k]++; if ($5 != "ok") wrong[k]++; else if ($4 == 0) good[k]++; else safe[k]++ }
  { count($1 "\t" $2); count("all") }
  END { for (k in runs) print runs[k] "\t" good[k] + 0 "\t" safe[k] + 0 "\t" wrong[k] + 0 "\t" k }
' "$table" | sort -t$'\t' -k5,5
echo "gtest status $status"
