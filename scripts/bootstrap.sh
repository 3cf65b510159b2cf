#!/usr/bin/env bash
# Installs what this project needs on a Debian 12 machine, and nothing when
# everything is already there: the toolchain, the test and benchmark
# frameworks, clang for the fuzz targets and clang-tidy for the static
# checks (scripts/tidy.sh), and the peer libraries the
# benchmarks compare against (Boost, ACE, libuv, fmt, spdlog, OpenSSL) plus
# nlohmann-json, which the library's debug configuration reader uses, and
# python3 and gnuplot, which write the benchmark report and draw its charts,
# and doxygen for the API reference (the `docs` target).
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev clang-tidy-14
  nlohmann-json3-dev
  doxygen
  libboost-dev libace-dev libuv1-dev libfmt-dev libspdlog-dev libssl-dev
  python3 gnuplot-nox
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "bootstrap: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
