#!/usr/bin/env bash
# Installs the library into a scratch prefix, then builds and runs an outside project against
# the installed files only: once through the CMake package, with the lines README.md gives
# (taken from it, so the two cannot part), once through pkg-config; and compiles each installed
# header alone.
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

echo "== CMake package: the README's lines, as they are, build and run the consumer"
# No language level is set here: the package's target brings its own.
mkdir "$tmp/consumer"
cp "$consumer_src/main.cpp" "$tmp/consumer/"
{
    printf 'cmake_minimum_required(VERSION 3.22)\nproject(Consumer LANGUAGES CXX)\n'
    printf 'add_executable(app main.cpp)\n'
    awk '/^```cmake$/ { inside = 1; next } /^```$/ && inside { exit } inside' "$src/README.md"
    printf 'target_compile_options(app PRIVATE -Wall -Wextra -Werror)\n'
} >"$tmp/consumer/CMakeLists.txt"
grep -q '^find_package(DravoCountersLibVesk' "$tmp/consumer/CMakeLists.txt" ||
    fail "README.md holds no cmake block with find_package(DravoCountersLibVesk ...)"
cmake -S "$tmp/consumer" -B "$tmp/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$tmp/cmake-build" -j2 >"$tmp/build.log" 2>&1 ||
    fail "the README's CMake lines do not build the consumer: $(grep -m3 'error' "$tmp/build.log")"
LD_LIBRARY_PATH="$libdir" "$tmp/cmake-build/app" ||
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

echo "== every installed header compiles on its own"
incdir=$(dirname "$(find "$prefix" -path '*/DravoCountersLibVesk/Vesk' -type d -print -quit)")
[ -d "$incdir" ] || fail "no installed headers under $prefix"
# shellcheck disable=SC2016 # $1, $0 are the inner shell's
(cd "$incdir" && find . -name '*.h' -printf '%P\n') | sort |
    xargs -P "$(nproc)" -I{} sh -c 'printf "#include \"%s\"\n" "$1" |
        c++ -std=c++20 -fsyntax-only -Wall -Wextra -Werror -I"$0" -x c++ - 2>&1 |
        sed "s|^|$1: |"; exit 0' "$incdir" {} >"$tmp/headers.log"
[ ! -s "$tmp/headers.log" ] || fail "installed headers that do not compile alone:
$(grep -m20 'error' "$tmp/headers.log")"
echo "$(cd "$incdir" && find . -name '*.h' | wc -l) headers"

module=$(find "$prefix" -name 'vesk.*.so' -print -quit)
if [ -n "$module" ]; then
    echo "== Python module: imports from the prefix alone (its RPATH finds the library)"
    python=$(sed -n 's/^Python_EXECUTABLE:[A-Z]*=//p' "$build/CMakeCache.txt")
    env -i PYTHONPATH="$(dirname "$module")" "${python:-/usr/bin/python3}" -c "import vesk" ||
        fail "the installed Python module $module does not import"
fi

echo "install check: passed"
