#!/usr/bin/env bash
# Installs the library into a temporary prefix and builds examples/consumer
# against the installed package twice - with CMake's find_package and with
# pkg-config - and runs both programs. The install tree is moved before use,
# so both package files must find it where it is, not where it was built for.
# It also checks what was installed: the SONAME, every public header under
# include/zarutil/, and that each header compiles on its own from there.
set -euo pipefail
cd "$(dirname "$0")/.."
"$(pwd)/scripts/bootstrap.sh"
src=$(pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The library as shipped (the "package" preset): Release, without tests,
# examples or benchmarks.
cmake --preset package >/dev/null
cmake --build --preset package
cmake --install build-package --prefix "$work/staged" >/dev/null
mv "$work/staged" "$work/prefix"
prefix="$work/prefix"

fail() { echo "consumer: $*" >&2; exit 1; }
pc=$(find "$prefix" -name zarutil.pc)
[ -n "$pc" ] || fail "zarutil.pc not installed"
libdir=$(dirname "$(dirname "$pc")")
[ -f "$libdir/cmake/zarutil/zarutilConfig.cmake" ] || fail "CMake package not installed"
version=$(sed -n 's/^project(zarutil VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
soname=$(readelf -d "$libdir/libzarutil.so.$version" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = "libzarutil.so.${version%%.*}" ] || fail "SONAME is '$soname'"
[ "$(readlink "$libdir/libzarutil.so")" = "$soname" ] || fail "libzarutil.so does not link to $soname"
for h in util/include/*.h; do
  [ -f "$prefix/include/zarutil/$(basename "$h")" ] || fail "$(basename "$h") not installed"
done
echo "installed: $soname, $(ls "$prefix/include/zarutil" | wc -l) headers, CMake package, zarutil.pc"

# Each installed header on its own: none may need a header that was not
# installed or one included before it.
export PKG_CONFIG_PATH="$libdir/pkgconfig"
cflags=$(pkg-config --cflags zarutil)
export cflags
ls "$prefix/include/zarutil" | xargs -P "$(nproc)" -I{} sh -c \
  'echo "#include \"{}\"" | g++ -std=c++17 -Wall -Wextra -Werror $cflags -fsyntax-only -x c++ - ||
   { echo "consumer: {} does not compile on its own" >&2; exit 255; }'
echo "every installed header compiles on its own"

echo "== find_package(zarutil CONFIG)"
cmake -S examples/consumer -B "$work/with-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/with-cmake" >/dev/null
ldd "$work/with-cmake/zarutil_consumer" | grep -q "$prefix/lib.*libzarutil.so.0" || fail "not linked to the installed library"
"$work/with-cmake/zarutil_consumer"

echo "== pkg-config zarutil ($(pkg-config --modversion zarutil))"
# shellcheck disable=SC2046
g++ -std=c++17 -Wall -Wextra -Werror "$src/examples/consumer/consumer.cpp" -o "$work/with-pkg-config" \
  $(pkg-config --cflags --libs zarutil) -Wl,-rpath,"$(realpath "$(pkg-config --variable=libdir zarutil)")"
ldd "$work/with-pkg-config" | grep -q "$prefix/lib.*libzarutil.so.0" || fail "not linked to the installed library"
"$work/with-pkg-config"
