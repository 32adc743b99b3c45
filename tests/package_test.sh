#!/usr/bin/env bash
# package_test.sh BUILD_DIR
# Builds the libqo-dev Debian package into a scratch directory and checks
# its name and that it carries exactly the files a developer needs.
set -euo pipefail
build=$1
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$out" >/dev/null
deb=$(find "$out" -maxdepth 1 -name 'libqo-dev_*.deb')
[ -n "$deb" ] || { echo "no libqo-dev package"; ls "$out"; exit 1; }
[ "$(dpkg-deb -f "$deb" Package)" = libqo-dev ]

files=$(dpkg-deb -c "$deb" | awk '{print $NF}' | grep -v '/$' | sort)
expected=$(sort <<LIST
./usr/include/qo.h
./usr/lib/cmake/qo/qoConfig.cmake
./usr/lib/cmake/qo/qoConfigVersion.cmake
./usr/lib/cmake/qo/qoTargets-$(grep -o 'CMAKE_BUILD_TYPE:STRING=.*' "$build/CMakeCache.txt" | cut -d= -f2 | tr '[:upper:]' '[:lower:]').cmake
./usr/lib/cmake/qo/qoTargets.cmake
./usr/lib/cmake/qo/qoExtraTargets-$(grep -o 'CMAKE_BUILD_TYPE:STRING=.*' "$build/CMakeCache.txt" | cut -d= -f2 | tr '[:upper:]' '[:lower:]').cmake
./usr/lib/cmake/qo/qoExtraTargets.cmake
libqo.so.1
./usr/lib/libqo.a
./usr/lib/pkgconfig/qo.pc
LIST
)
if [ "$files" != "$expected" ]; then
    echo "package files differ:"
    diff <(echo "$expected") <(echo "$files")
    exit 1
fi
echo "$(basename "$deb"): $(echo "$files" | wc -l) files"
