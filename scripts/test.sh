#!/usr/bin/env bash
# Builds the library and every test, then runs them all with CTest.
#   scripts/test.sh          plain build (build/)
#   scripts/test.sh asan     AddressSanitizer + UndefinedBehaviorSanitizer (build-asan/)
#   scripts/test.sh tsan     ThreadSanitizer (build-tsan/)
# Any failing test or sanitizer report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
"$(pwd)/scripts/bootstrap.sh"

kind="${1:-plain}"
case "$kind" in
  plain) dir=build; sanitize="" ;;
  asan) dir=build-asan; sanitize=asan ;;
  tsan) dir=build-tsan; sanitize=tsan ;;
  *) echo "usage: $0 [plain|asan|tsan]" >&2; exit 2 ;;
esac

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"

cmake -S . -B "$dir" -G Ninja -DZAR_SANITIZE="$sanitize" -DZAR_WERROR=ON -DZAR_BUILD_TESTS=ON -DZAR_BUILD_EXAMPLES=ON >/dev/null
cmake --build "$dir"
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)"
