#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UBSan) and runs
# each for a while on a copy of its seed corpus.
#   scripts/fuzz.sh [seconds-per-target] [target-name]
set -euo pipefail
cd "$(dirname "$0")/.."
"$(pwd)/scripts/bootstrap.sh"
seconds="${1:-60}"
only="${2:-}"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZAR_BUILD_FUZZ=ON -DZAR_BUILD_TESTS=OFF -DZAR_BUILD_EXAMPLES=OFF >/dev/null
cmake --build build-fuzz
for f in build-fuzz/bin/*_fuzzer; do
  name=$(basename "$f")
  [ -n "$only" ] && [ "$name" != "$only" ] && continue
  work="build-fuzz/corpus/$name"
  mkdir -p "$work"
  seeds="fuzz/corpus/${name%_fuzzer}"
  echo "== $name for ${seconds}s"
  "$f" -max_total_time="$seconds" -print_final_stats=1 "$work" $( [ -d "$seeds" ] && echo "$seeds" ) 2>&1 |
    grep -E 'stat::number_of_executed_units|stat::peak_rss_mb|ERROR|SUMMARY|Done' || true
done
