#!/usr/bin/env bash
# The full sweep: one host byte lost, and separately damaged, at every
# position of each short run of tests/test_sweep.cpp (global erase,
# --erase=image on a 0x43 and on a 0x44 part, mass erase, --verify, --go),
# with both lines and with none. Writes one line per run to TABLE
# (scenario, fault, position, status, verdict, last message) and prints the
# count of runs per scenario, fault and outcome. Takes hours; not part of
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
# scenario, fault, exit status and verdict: how many runs each.
awk -F'\t' '{ n[$1 "\t" $2 "\tstatus " $4 "\t" $5]++ } END { for (k in n) print n[k] "\t" k }' \
  "$table" | sort -t$'\t' -k2,2 -k3,3 -k4,4
echo "runs: $(wc -l <"$table"), failures: $(grep -vc $'\tok\t' "$table" || true), gtest status $status"
