#!/usr/bin/env bash
# Builds the library as shipped (no tests, fuzz targets or benchmarks, so
# no test hooks) and fails when its dynamic symbol table holds a test hook:
# any name that an internal header marks CM_TEST_EXPORT, or one ending in
# ForTesting.
set -euo pipefail
cd "$(dirname "$0")/.."
"$(pwd)/scripts/bootstrap.sh"
dir=build-release
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZAR_BUILD_TESTS=OFF -DZAR_BUILD_EXAMPLES=OFF \
  -DZAR_BUILD_BENCH=OFF -DZAR_BUILD_FUZZ=OFF >/dev/null
cmake --build "$dir" --target zarutil >/dev/null
lib="$dir/bin/libzarutil.so"

# The hooks' names: the identifier before "(" or the class name after the
# marker, wherever CM_TEST_EXPORT appears in util/src.
hooks=$( (grep -rhoE 'CM_TEST_EXPORT[^;(]*\(' util/src | sed -E 's/.*[^A-Za-z0-9_]([A-Za-z_][A-Za-z0-9_]*)[[:space:]]*\($/\1/'
          grep -rhoE '(struct|class) CM_TEST_EXPORT [A-Za-z_][A-Za-z0-9_]*' util/src | awk '{print $3}'
          echo ForTesting) | grep -vE '^(CM_TEST_EXPORT|)$' | sort -u)
exported=$(nm -DC --defined-only "$lib" | awk '{$1=""; $2=""; print}')
found=$(grep -E "(^|[^A-Za-z0-9_])($(paste -sd'|' <<<"$hooks"))([^A-Za-z0-9_]|$)" <<<"$exported" || true)
if [ -n "$found" ]; then
  echo "the shipped library exports test hooks:" >&2
  echo "$found" >&2
  exit 1
fi
echo "no test hook among $(wc -l <<<"$exported") exported symbols of $lib ($(wc -l <<<"$hooks") hook names checked)"
