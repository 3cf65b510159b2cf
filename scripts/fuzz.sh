#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UBSan, any
# UBSan report counting as a finding) and runs each on a copy of its seed
# corpus, one job at a time and at low priority.
#   scripts/fuzz.sh [seconds-per-target] [target-name]
#   scripts/fuzz.sh --runs N [--merge] [target-name]
# --runs runs each target for N executions (the time limit, 1800 s or the
# FUZZ_SECONDS variable, is then only a safety). --merge minimises what the
# run grew, together with the seeds, into a fresh directory that replaces
# fuzz/corpus/<name> (the corpus CTest replays). The last line per target
# gives its execution count.
set -euo pipefail
cd "$(dirname "$0")/.."
"$(pwd)/scripts/bootstrap.sh"
seconds=60
runs=""
merge=0
only=""
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs="$2"; seconds="${FUZZ_SECONDS:-1800}"; shift 2 ;;
    --merge) merge=1; shift ;;
    [0-9]*) seconds="$1"; shift ;;
    *) only="$1"; shift ;;
  esac
done
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZAR_BUILD_FUZZ=ON -DZAR_BUILD_TESTS=OFF -DZAR_BUILD_EXAMPLES=OFF >/dev/null
nice -n 10 cmake --build build-fuzz
root="$(pwd)"
status=0
for f in build-fuzz/bin/*_fuzzer; do
  name=$(basename "$f")
  [ -n "$only" ] && [ "$name" != "$only" ] && [ "$name" != "${only}_fuzzer" ] && continue
  short="${name%_fuzzer}"
  work="$root/build-fuzz/corpus/$short"
  logs="$root/build-fuzz/logs/$short"
  rm -rf "$logs" && mkdir -p "$work" "$logs"
  seeds="$root/fuzz/corpus/$short"
  echo "== $name (${runs:-unlimited} runs, at most ${seconds}s)"
  # -jobs=1 runs the fuzzer in one child whose output goes to fuzz-0.log.
  (cd "$logs" && nice -n 10 "$root/$f" -jobs=1 -workers=1 -max_total_time="$seconds" \
    ${runs:+-runs="$runs"} -print_final_stats=1 -artifact_prefix="$logs/" "$work" \
    $( [ -d "$seeds" ] && echo "$seeds" ) >/dev/null 2>&1) || true
  grep -E 'stat::number_of_executed_units|stat::peak_rss_mb|ERROR|SUMMARY|invariant|Done' "$logs/fuzz-0.log" || true
  if ls "$logs"/crash-* "$logs"/leak-* "$logs"/timeout-* >/dev/null 2>&1; then
    echo "$name: FINDING in $logs" >&2
    status=1
    continue
  fi
  if [ "$merge" = 1 ]; then
    fresh="$root/build-fuzz/merged/$short"
    rm -rf "$fresh" && mkdir -p "$fresh"
    nice -n 10 "$root/$f" -merge=1 "$fresh" "$work" $( [ -d "$seeds" ] && echo "$seeds" ) >/dev/null 2>&1
    rm -rf "$seeds" && mkdir -p "$seeds" && cp "$fresh"/* "$seeds"/
    echo "$name: corpus minimised to $(ls "$seeds" | wc -l) inputs"
  fi
done
exit $status
