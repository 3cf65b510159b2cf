#!/usr/bin/env bash
# clang-tidy over the library's sources and headers with the checks chosen
# in .clang-tidy (every finding is an error), using the compile commands of
# a build.
#   scripts/tidy.sh [build-dir]     default build/ (configured when missing)
set -euo pipefail
cd "$(dirname "$0")/.."
"$(pwd)/scripts/bootstrap.sh"
dir="${1:-build}"
if [ ! -f "$dir/compile_commands.json" ]; then
  cmake -S . -B "$dir" -G Ninja -DZAR_WERROR=ON -DZAR_BUILD_TESTS=ON -DZAR_BUILD_EXAMPLES=ON >/dev/null
fi
out=$(mktemp)
trap 'rm -f "$out"' EXIT
status=0
# The compile commands are g++'s; clang does not know all of its warning
# options. g++ already checks sign comparisons in the library's own code;
# clang's check also reports the system's NLMSG_OK macro, which compares an
# unsigned length with an int.
nice -n 5 run-clang-tidy-14 -p "$dir" -quiet -j "$(nproc)" -extra-arg=-Wno-unknown-warning-option \
  -extra-arg=-Wno-sign-compare \
  "$(pwd)/util/src/.*\.cpp$" >"$out" 2>&1 || status=$?
# Only the findings, without the tool's progress lines.
grep -vE '^(clang-tidy-14 |Running clang-tidy|[0-9]+ warnings? (and [0-9]+ errors? )?generated|Suppressed [0-9]+ warnings|Use -header-filter|Enabled checks:|    [a-z.-]+$|$)' "$out" || true
if [ "$status" -eq 0 ]; then echo "clang-tidy: clean"; else echo "clang-tidy: findings above" >&2; fi
exit "$status"
