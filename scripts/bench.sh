#!/usr/bin/env bash
# Builds the benchmarks (Release, with their peer libraries) and runs them.
#   scripts/bench.sh                 every benchmark, full length
#   scripts/bench.sh --smoke         every benchmark once, briefly (CI)
#   scripts/bench.sh CmTraceBench    one benchmark binary (extra args go to it)
#   scripts/bench.sh --benchmark_repetitions=5   every benchmark, with arguments
#   scripts/bench.sh --report [Name...]  every benchmark (or the named ones) 5 times
#                                    with its peers; writes bench/REPORT.md and one
#                                    SVG chart per family (bench/report/<Family>.svg,
#                                    drawn with gnuplot)
set -euo pipefail
cd "$(dirname "$0")/.."
"$(pwd)/scripts/bootstrap.sh"
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DZAR_BUILD_BENCH=ON \
  -DZAR_BUILD_TESTS=OFF -DZAR_BUILD_EXAMPLES=OFF >/dev/null
families=()
if [ "${1:-}" = "--report" ]; then
  for arg in "${@:2}"; do [[ "$arg" != --* ]] && families+=("$arg"); done
fi
if [ ${#families[@]} -gt 0 ]; then
  cmake --build build-bench --target "${families[@]}"
else
  cmake --build build-bench
fi

smoke=0
if [ "${1:-}" = "--smoke" ]; then smoke=1; shift; fi
if [ "${1:-}" = "--report" ]; then
  shift
  args=()
  for arg in "$@"; do [[ "$arg" == --* ]] && args+=("$arg"); done
  work=build-bench/report
  rm -rf "$work" bench/report
  mkdir -p "$work" bench/report
  {
    echo "date:      $(date -u '+%Y-%m-%d %H:%M UTC')"
    echo "commit:    $(git rev-parse --short HEAD 2>/dev/null || echo unknown)"
    echo "cpu:       $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(nproc) logical processors"
    echo "memory:    $(awk '/MemTotal/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo)"
    echo "kernel:    $(uname -sr)"
    echo "compiler:  $(c++ --version | head -1)"
    echo "load avg:  $(cut -d' ' -f1-3 /proc/loadavg) at the start"
  } > "$work/machine.txt"
  if [ ${#families[@]} -gt 0 ]; then
    echo "families:  ${families[*]} only (named on the command line)" >> "$work/machine.txt"
  fi
  for b in build-bench/bin/*Bench; do
    name=$(basename "$b")
    if [ ${#families[@]} -gt 0 ] && [[ ! " ${families[*]} " == *" $name "* ]]; then continue; fi
    echo "== $name (5 repetitions)"
    "$b" --benchmark_repetitions=5 --benchmark_display_aggregates_only=true \
      --benchmark_out="$work/$name.json" --benchmark_out_format=json ${args[@]+"${args[@]}"}
  done
  echo "load avg:  $(cut -d' ' -f1-3 /proc/loadavg) at the end" >> "$work/machine.txt"
  python3 scripts/bench_report.py "$work" bench/REPORT.md bench/report "$work/machine.txt"
  for data in bench/report/*.dat; do
    family=$(basename "$data" .dat)
    rows=$(wc -l < "$data")
    gnuplot -e "data='$data'; out='bench/report/$family.svg'; family='$family'; rows=$rows" scripts/bench_chart.gp
  done
  rm -f bench/report/*.dat
  echo "wrote bench/REPORT.md and bench/report/*.svg"
  exit 0
fi
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
