#!/usr/bin/env bash
# Builds the library as shipped (no tests, fuzz targets or benchmarks, so
# no test hooks) and fails when its dynamic symbol table holds a test hook:
# any name that an internal header marks CM_TEST_EXPORT, or one ending in
# ForTesting.
set -euo pipefail
cd "$(dirname "$0")/.."
"$(pwd)/scripts/bootstrap.sh"
# The library as shipped: the "package" preset (Release, without tests,
# examples or benchmarks).
cmake --preset package >/dev/null
cmake --build --preset package >/dev/null
lib=build-package/bin/libzarutil.so

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
