#!/usr/bin/env bash
# Builds the benchmarks (Release, with their peer libraries) and runs them.
#   scripts/bench.sh                 every benchmark, full length
#   scripts/bench.sh --smoke         every benchmark once, briefly (CI)
#   scripts/bench.sh CmTraceBench    one benchmark binary (extra args go to it)
#   scripts/bench.sh --benchmark_repetitions=5   every benchmark, with arguments
set -euo pipefail
cd "$(dirname "$0")/.."
"$(pwd)/scripts/bootstrap.sh"
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DZAR_BUILD_BENCH=ON \
  -DZAR_BUILD_TESTS=OFF -DZAR_BUILD_EXAMPLES=OFF >/dev/null
cmake --build build-bench

smoke=0
if [ "${1:-}" = "--smoke" ]; then smoke=1; shift; fi
only=""
if [ $# -gt 0 ] && [[ "$1" != --* ]]; then only="$1"; shift; fi
for b in build-bench/bin/*Bench; do
  name=$(basename "$b")
  [ -n "$only" ] && [ "$name" != "$only" ] && continue
  echo "== $name"
  if [ $smoke -eq 1 ]; then
    # A benchmark that finds its own work wrong reports "ERROR OCCURRED".
    out=$("$b" --benchmark_min_time=0.001 "$@" 2>&1) || { echo "$out"; exit 1; }
    echo "$out"
    if grep -q "ERROR OCCURRED" <<<"$out"; then exit 1; fi
  else
    "$b" "$@"
  fi
done
