#!/usr/bin/env bash
# Builds the library and runs the media pipeline demo (the main job): 5 s of
# synthetic audio through the pipeline with a status line every second.
# Arguments go to the demo (--help lists them).
#   scripts/demo.sh                      the demo with its defaults
#   scripts/demo.sh --seconds 10 --load 100000
#   scripts/demo.sh --tour               the feature tour, one section per subsystem
set -euo pipefail
cd "$(dirname "$0")/.."
"$(pwd)/scripts/bootstrap.sh"
cmake -S . -B build -G Ninja -DZAR_BUILD_TESTS=ON -DZAR_BUILD_EXAMPLES=ON >/dev/null
if [ "${1:-}" = "--tour" ]; then
  shift
  cmake --build build --target zar_demo
  exec ./build/bin/zar_demo "$@"
fi
cmake --build build --target zar_media_demo
exec ./build/bin/zar_media_demo "$@"
