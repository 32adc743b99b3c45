#!/usr/bin/env bash
# consumer.sh SOURCE_DIR BUILD_DIR SCRATCH VERSION ROUTE [VARIANT]
# Uses qo the ways a consumer project can, each a CTest test of its own:
#   install           install BUILD_DIR into SCRATCH/prefix (the fixture
#                     the others need), copy its static library alone into
#                     SCRATCH/static, and the source into a git repository
#   cmake c|cxx|hpp|mixed find_package(qo) from a C, a C++ (qo.h, then
#                     qo.hpp) and a mixed project
#   pkg-config CC     CC app.c $(pkg-config --cflags --libs qo), against the
#                     shared library and against the static one
#   subdir c|cxx|hpp  add_subdirectory from a C-only and a C++-only parent
#   fetch c|cxx       FetchContent from the git repository
#   meson c           Meson's dependency('qo')
# Every program is run; app.c, app.cpp and app_hpp.cpp print "qo VERSION: 'it'\''s'".
# A route whose tool is missing exits 77 (skipped).
set -euo pipefail
src=$1 build=$2 scratch=$3 version=$4 route=$5 variant=${6:-}
here=$src/tests/consumers
prefix=$scratch/prefix
work=$scratch/$route-$variant
expected="qo $version: 'it'\\''s'"

skip() {
    echo "skipped: $*"
    exit 77
}

# run_app PROGRAM: runs it and checks what it prints.
run_app() {
    local out
    out=$("$@")
    [ "$out" = "$expected" ] || { echo "printed '$out', expected '$expected'"; exit 1; }
}

# needed PROGRAM: its NEEDED entries, one a line.
needed() {
    readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'
}

install_prefix() {
    rm -rf "$scratch"
    mkdir -p "$scratch"
    cmake --install "$build" --prefix "$prefix" >/dev/null
    # Installed again under another prefix, which its qo.pc must name,
    # without the shared library, so that -lqo finds the static one.
    cmake --install "$build" --prefix "$scratch/static" --component dev >/dev/null
    find "$scratch/static" -name 'libqo.so*' -delete
    grep -qx "prefix=$scratch/static" "$(find "$scratch/static" -name qo.pc)" ||
        { echo "qo.pc does not name the prefix it was installed to"; exit 1; }
    # FetchContent takes a repository: the source as it is now, committed.
    if git -C "$src" rev-parse --git-dir >/dev/null 2>&1; then
        local repo=$scratch/repo
        mkdir -p "$repo"
        (cd "$src" && git ls-files -z --cached --others --exclude-standard |
            while IFS= read -r -d '' f; do [ ! -e "$f" ] || printf '%s\0' "$f"; done |
            tar --null -T - -cf -) | tar -xf - -C "$repo"
        git -C "$repo" init -q -b main
        git -C "$repo" add -A
        git -C "$repo" -c user.name=qo -c user.email=qo@localhost commit -qm source
    fi
    echo "installed into $prefix: $(find "$prefix" -type f | wc -l) files"
}

# cmake_project DIR ARGS...: configures, builds and runs DIR's programs.
cmake_project() {
    local dir=$1
    shift
    rm -rf "$work"
    cmake -S "$dir" -B "$work" -G Ninja "$@" >"$work.log" 2>&1 ||
        { cat "$work.log"; exit 1; }
    cmake --build "$work" >>"$work.log" 2>&1 || { cat "$work.log"; exit 1; }
}

cmake_route() {
    local dir=$here/$variant
    if [ "$variant" = mixed ]; then
        # The examples: C and C++ programs in one project.
        cmake_project "$src/examples" -DCMAKE_PREFIX_PATH="$prefix"
        (cd "$work" && ./hello_c c.log) | cmp - "$src/tests/expected/hello_c.out"
        (cd "$work" && ./hello_cpp cpp.log) | cmp - "$src/tests/expected/hello_cpp.out"
        "$work/progress" 10 | cmp - "$src/tests/expected/progress.out"
        PATH="$src/tests/fakes:$PATH" "$work/diskreport" |
            cmp - "$src/tests/expected/diskreport.out"
        [ "$("$work/parallel" 'echo hi')" = "[1] hi" ]
        grep -q '^DBG1: .*hello.c->main#[0-9]*: printed ' "$work/c.log"
        echo "examples built against $prefix and ran"
        return
    fi
    case $route in
    cmake) cmake_project "$dir" -DQO_ROUTE=package -DCMAKE_PREFIX_PATH="$prefix" ;;
    subdir)
        # A C parent's C-only flags must not reach the library's C++ compiles.
        cmake_project "$dir" -DQO_ROUTE=subdir -DQO_SOURCE_DIR="$src" \
            -DCMAKE_C_FLAGS="-std=gnu11 -Wstrict-prototypes -Wmissing-prototypes"
        ! grep -B3 'valid for C/ObjC but not for C++' "$work.log" ||
            { echo "C-only flags reached the library's C++ compiles"; exit 1; }
        ;;
    fetch)
        [ -d "$scratch/repo" ] || skip "the source is not a git checkout"
        cmake_project "$dir" -DQO_ROUTE=fetch -DQO_GIT_REPOSITORY="file://$scratch/repo"
        ;;
    esac
    run_app "$work/app"
    echo "$variant project, $route: built and ran"
}

# pkg-config with plain --libs: the shared library when installed, and
# the static one from the prefix that has only it.
pkg_config_route() {
    command -v "$variant" >/dev/null || skip "no $variant (Debian package $variant)"
    command -v pkg-config >/dev/null || skip "no pkg-config (Debian package pkg-config)"
    local kind root flags
    mkdir -p "$work"
    for kind in shared static; do
        root=$prefix
        [ $kind = static ] && root=$scratch/static
        if ! find "$root" -name "libqo.$([ $kind = shared ] && echo so || echo a)" | grep -q .; then
            echo "no $kind libqo in this build: not tried"
            continue
        fi
        flags=$(PKG_CONFIG_PATH=$(dirname "$(find "$root" -name qo.pc)") pkg-config --cflags --libs qo | xargs)
        # shellcheck disable=SC2086 # the flags are meant to split
        "$variant" -std=c99 -Wall -Wextra -Wpedantic -Werror "$here/app.c" $flags -o "$work/app-$kind"
        if [ $kind = shared ]; then
            needed "$work/app-$kind" | grep -qx 'libqo.so.[0-9]*' || { echo "not linked to libqo.so"; exit 1; }
            LD_LIBRARY_PATH=$(dirname "$(find "$root" -name libqo.so)") run_app "$work/app-$kind"
        else
            run_app "$work/app-$kind"
        fi
        local extra
        extra=$(needed "$work/app-$kind" | grep -vE '^(libc\.so\.6|libqo\.so\.[0-9]+)$' || true)
        [ -z "$extra" ] || { echo "$kind: needs more than libc and libqo:"; echo "$extra"; exit 1; }
        echo "$variant app.c $flags ($kind): built and ran, needs $(needed "$work/app-$kind" | xargs)"
    done
}

meson_route() {
    command -v meson >/dev/null || skip "no meson (Debian package meson)"
    rm -rf "$work"
    PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name qo.pc)") \
        meson setup "$work" "$here" >"$work.log" 2>&1 || { cat "$work.log"; exit 1; }
    meson compile -C "$work" >>"$work.log" 2>&1 || { cat "$work.log"; exit 1; }
    LD_LIBRARY_PATH=$(dirname "$(find "$prefix" -name qo.pc)")/.. run_app "$work/app"
    echo "meson project: built and ran, needs $(needed "$work/app" | xargs)"
}

case $route in
install) install_prefix ;;
cmake | subdir | fetch) cmake_route ;;
pkg-config) pkg_config_route ;;
meson) meson_route ;;
*) echo "unknown route $route"; exit 2 ;;
esac
