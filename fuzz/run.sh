#!/usr/bin/env bash
# Builds the fuzz targets with clang, replays every kept regression input,
# then fuzzes each target for SECONDS (default 60) from its seed corpus.
# Fails on any crash, failed check, leak, time-out, memory blow-up or
# sanitizer report; the offending input is dumped to the log.
#
#   fuzz/run.sh [SECONDS [TARGET...]]     targets: ihex srec elf conffile cmdline partsfile
#
# TARVION_FUZZ_BUILD names the build directory (default build-fuzz).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(ihex srec elf conffile cmdline partsfile)
build=${TARVION_FUZZ_BUILD:-build-fuzz}

CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTARVION_BUILD_FUZZ=ON -DTARVION_WERROR=ON >/dev/null
cmake --build "$build" -j 2

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

dump_artifacts() {
  for f in "$work/$1"-*; do
    [ -e "$f" ] || continue
    echo "fuzz: $1: input kept as $f:"
    od -A x -t x1z "$f" | head -n 64
  done
}

for t in "${targets[@]}"; do
  bin=$build/fuzz/fuzz_$t
  dict=fuzz/options.dict
  case $t in ihex | srec | elf) dict=fuzz/$t.dict ;; partsfile) dict=fuzz/parts.dict ;; esac
  flags=(-timeout=10 -rss_limit_mb=2048 -artifact_prefix="$work/$t-")

  shopt -s nullglob
  regressions=(fuzz/regressions/"$t"/*)
  shopt -u nullglob
  if [ ${#regressions[@]} -gt 0 ]; then
    echo "fuzz: $t: replaying ${#regressions[@]} regression inputs"
    if ! "$bin" "${flags[@]}" "${regressions[@]}" >"$work/$t.replay.log" 2>&1; then
      cat "$work/$t.replay.log"
      echo "fuzz: $t: a regression input fails again"
      exit 1
    fi
  fi

  echo "fuzz: $t: fuzzing for $seconds s"
  mkdir "$work/$t"
  max_len=4096
  case $t in ihex | srec | elf) max_len=16384 ;; esac
  if ! "$bin" "${flags[@]}" -max_total_time="$seconds" -max_len=$max_len -print_final_stats=1 -dict="$dict" \
      "$work/$t" "fuzz/corpus/$t" >"$work/$t.log" 2>&1; then
    tail -n 60 "$work/$t.log"
    dump_artifacts "$t"
    echo "fuzz: $t: FAILED"
    exit 1
  fi
  grep -E '^(#[0-9]+.*DONE|stat::average_exec_per_sec)' "$work/$t.log" | sed "s/^/fuzz: $t: /"
done
echo "fuzz: all targets passed"
