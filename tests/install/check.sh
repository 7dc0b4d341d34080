#!/usr/bin/env bash
# Installs the library into a scratch prefix, then builds and runs an outside project against
# the installed files only: once through the CMake package, once through pkg-config.
#
# usage: check.sh SRC_DIR BUILD_DIR   (BUILD_DIR already built)
set -euo pipefail

src=${1:?usage: check.sh SRC_DIR BUILD_DIR}
build=${2:?usage: check.sh SRC_DIR BUILD_DIR}
consumer_src="$src/tests/install/consumer"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix="$tmp/prefix"

fail() {
    echo "install check: $*" >&2
    exit 1
}

echo "== installing $build into $prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null

so=$(find "$prefix" -name 'libDravoCountersLibVesk.so' -print -quit)
[ -n "$so" ] || fail "no libDravoCountersLibVesk.so under $prefix"
libdir=$(dirname "$so")
pc=$(find "$prefix" -name 'DravoCountersLibVesk.pc' -print -quit)
[ -n "$pc" ] || fail "no DravoCountersLibVesk.pc under $prefix"

echo "== CMake package: configure, build and run the consumer"
cmake -S "$consumer_src" -B "$tmp/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$tmp/cmake-build" -j2 >/dev/null
LD_LIBRARY_PATH="$libdir" "$tmp/cmake-build/consumer" ||
    fail "consumer built with the CMake package failed"

echo "== pkg-config"
flags=$(PKG_CONFIG_PATH="$(dirname "$pc")" pkg-config --cflags --libs DravoCountersLibVesk) ||
    fail "pkg-config does not know DravoCountersLibVesk"
echo "pkg-config --cflags --libs: $flags"
# Built and run with these flags alone: they must name the installed headers and library.
# shellcheck disable=SC2086 # the flags are a word list
c++ -o "$tmp/consumer-pc" "$consumer_src/main.cpp" $flags ||
    fail "consumer does not build with the pkg-config flags"
LD_LIBRARY_PATH="$libdir" "$tmp/consumer-pc" >/dev/null ||
    fail "consumer built with the pkg-config flags failed"

module=$(find "$prefix" -name 'vesk.*.so' -print -quit)
if [ -n "$module" ]; then
    echo "== Python module: imports from the prefix alone (its RPATH finds the library)"
    python=$(sed -n 's/^Python_EXECUTABLE:[A-Z]*=//p' "$build/CMakeCache.txt")
    env -i PYTHONPATH="$(dirname "$module")" "${python:-/usr/bin/python3}" -c "import vesk" ||
        fail "the installed Python module $module does not import"
fi

echo "install check: passed"
