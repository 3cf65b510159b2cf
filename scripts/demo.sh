#!/usr/bin/env bash
# Builds the library and runs the demo (the main job).
set -euo pipefail
cd "$(dirname "$0")/.."
"$(pwd)/scripts/bootstrap.sh"
cmake -S . -B build -G Ninja -DZAR_BUILD_TESTS=ON -DZAR_BUILD_EXAMPLES=ON >/dev/null
cmake --build build --target zar_demo
exec ./build/bin/zar_demo "$@"
