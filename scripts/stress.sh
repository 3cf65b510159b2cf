#!/usr/bin/env bash
# Runs the stress tests (CTest label "stress") at full size and prints what
# each moved (timers, threads, lines, events) and how long it took. CI runs
# them through CTest at a tenth of the size.
#   scripts/stress.sh [build-dir]     default build/ (build-asan, build-tsan: under a sanitizer)
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${1:-build}"
export ZAR_STRESS_SCALE=1 ZAR_STRESS_EVENTS=1000000
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" TSAN_OPTIONS="halt_on_error=1"
tests=$(cd tests && ls *StressTest.cpp | sed 's/\.cpp$//')
# shellcheck disable=SC2086
nice -n 5 cmake --build "$dir" --target $tests
status=0
for t in $tests; do
  echo "== $t"
  start=$(date +%s)
  (cd "$dir/bin" && "./$t") | grep -E '^\[  (PASSED|FAILED) |^\[  FAILED|Failure|^[0-9]+ |^timers ' || status=1
  echo "   $(( $(date +%s) - start )) s"
done
exit $status
