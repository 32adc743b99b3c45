#!/usr/bin/env bash
# consumer_test.sh BUILD_DIR SOURCE_DIR
# Installs the build into a scratch prefix, then builds and runs the
# examples as a user would: the C one with the C compiler through
# pkg-config, the C++ one through find_package(qo) in a project of its own.
set -euo pipefail
build=$1 src=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

# Everything the packages carry: header, libraries, CMake and pkg-config files.
cmake --install "$build" --prefix "$prefix" >/dev/null
export PKG_CONFIG_PATH
PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name qo.pc)")

echo "--- C through pkg-config: $(pkg-config --cflags --libs qo)"
# shellcheck disable=SC2046 # the flags are meant to split
cc -std=c11 -Wall -Werror "$src/examples/hello.c" $(pkg-config --cflags --libs qo) \
    -o "$prefix/hello_c"
(cd "$prefix" && LD_LIBRARY_PATH="$prefix/lib" ./hello_c c.log) | cmp - "$src/tests/expected/hello_c.out"
grep -q '^DBG1: .*hello.c->main#[0-9]*: printed ' "$prefix/c.log"

echo "--- C++ through find_package"
cmake -S "$src/examples" -B "$prefix/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$prefix/build" >/dev/null
(cd "$prefix" && build/hello_cpp cpp.log) | cmp - "$src/tests/expected/hello_cpp.out"
grep -q '^DBG1: .*hello.cpp->main#[0-9]*: ran ' "$prefix/cpp.log"
echo "consumers built and ran"
