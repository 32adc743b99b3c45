#!/usr/bin/env bash
# package_test.sh SOURCE_DIR SCRATCH VERSION
# Builds the Debian packages with scripts/package (which fails on any
# lintian error or warning) into SCRATCH, checks that each carries exactly
# its files, that "man qo_strcat" finds its page in libqo-dev, that libqo1
# carries its symbols file, runs the autopkgtest against the unpacked
# packages and checks that a second build gives the same bytes. Without the
# package tools, skipped (77).
set -euo pipefail
src=$1 out=$2 version=$3
rm -rf "$out"
mkdir -p "$out"

package() {
    local status=0
    "$src/scripts/package" "$1" >"$out/log" 2>&1 || status=$?
    [ $status -ne 3 ] || { echo "skipped: $(cat "$out/log")"; exit 77; }
    [ $status -eq 0 ] || { cat "$out/log"; exit 1; }
}

for tool in man:man-db pkg-config:pkg-config; do
    command -v "${tool%%:*}" >/dev/null ||
        { echo "skipped: no ${tool%%:*} (Debian package ${tool#*:})"; exit 77; }
done
package "$out/debs"
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
lib=./usr/lib/$multiarch
man=./usr/share/man/man3

# contents DEB: its files and links ("name -> target"), folders left out.
contents() {
    dpkg-deb -c "$1" | awk '$6 !~ /\/$/ {print $7 == "->" ? $6 " -> " $8 : $6}' | sort
}

docs() {
    printf './usr/share/doc/%s/%s\n' "$1" changelog.Debian.gz "$1" changelog.gz "$1" copyright
}
examples=./usr/share/doc/libqo-dev/examples

# links PAGE NAME...: NAME.3.gz is a link to PAGE.3.gz.
links() {
    local page=$1 name
    shift
    echo "$man/$page.3.gz"
    for name; do
        echo "$man/$name.3.gz -> $page.3.gz"
    done
}

# check PACKAGE EXPECTED: the package is there and holds exactly EXPECTED.
check() {
    local deb files
    deb=$(find "$out/debs" -maxdepth 1 -name "$1_${version}-*.deb")
    [ -n "$deb" ] || { echo "no $1 package"; ls "$out/debs"; exit 1; }
    [ "$(dpkg-deb -f "$deb" Package)" = "$1" ]
    files=$(contents "$deb")
    if [ "$files" != "$(sort <<<"$2")" ]; then
        echo "$1: files differ (< expected, > packaged):"
        diff <(sort <<<"$2") <(echo "$files")
        exit 1
    fi
    echo "$(basename "$deb"): $(wc -l <<<"$files") files and links"
}

check libqo1 "$lib/libqo.so.$version
$lib/libqo.so.${version%%.*} -> libqo.so.$version
$(docs libqo1)"

check libqo-dev "./usr/include/qo.h
./usr/include/qo.hpp
$(cd "$src/include" && find qo -type f | sort | sed 's|^|./usr/include/|')
$lib/libqo.a
$lib/libqo.so -> libqo.so.${version%%.*}
$lib/pkgconfig/qo.pc
$lib/cmake/qo/qoConfig.cmake
$lib/cmake/qo/qoConfigVersion.cmake
$lib/cmake/qo/qoTargets.cmake
$lib/cmake/qo/qoTargets-none.cmake
$lib/cmake/qo/qoExtraTargets.cmake
$lib/cmake/qo/qoExtraTargets-none.cmake
$(links qo qo_version)
$(links qo_log qo_log_int qo_log_open qo_log_close qo_log_reopen qo_log_set_level \
    qo_log_level qo_log_flush_on qo_log_stamp qo_log_open_journal qo_log_open_fd)
$(links qo_exit qo_exit_hook)
$(links qo_memory qo_malloc qo_asprintf qo_strcat qo_strcat_int qo_str_reset \
    qo_str_reset_int qo_getline qo_getline_int qo_setenv qo_setenv_int qo_free)
$(links qo_strings qo_shell_quote qo_stresc qo_strtok qo_str_substitute \
    qo_strip_spaces qo_date)
$(links qo_commands qo_system qo_system_int qo_run qo_run_at qo_run_int qo_pipeline \
    qo_pipeline_at qo_pipeline_int qo_system_output qo_system_output_at \
    qo_system_output_int qo_status_text)
$(links qo_job qo_start qo_start_at qo_start_int qo_pipeline_start qo_pipeline_start_at \
    qo_pipeline_start_int qo_job_pid \
    qo_job_fd qo_job_serve qo_job_wait qo_job_write qo_job_close_input qo_job_signal \
    qo_job_stop qo_job_free qo_job_describe qo_job_interrupted qo_job_duration_ms \
    qo_jobs_new qo_jobs_add qo_jobs_fd qo_jobs_wait qo_jobs_free)
$(links qo_cpp)
$(docs libqo-dev)
./usr/share/doc/libqo-dev/README.md.gz
$examples/CMakeLists.txt
$examples/diskreport.cpp
$examples/hello.c
$examples/hello.cpp
$examples/parallel.c
$examples/progress.c
$examples/snapshot.c
$examples/progress.cpp
$examples/supervise.cpp"

deb=$(find "$out/debs" -maxdepth 1 -name "libqo1-dbgsym_${version}-*.deb")
contents "$deb" | grep -q '^./usr/lib/debug/.build-id/.*\.debug$' ||
    { echo "no libqo1-dbgsym with the library's debug information"; exit 1; }

for deb in "$out"/debs/libqo1_*.deb "$out"/debs/libqo-dev_*.deb; do
    dpkg-deb -x "$deb" "$out/root"
done
man -M "$out/root/usr/share/man" -P cat qo_strcat 2>/dev/null | grep -q 'qo_strcat_int' ||
    { echo "man qo_strcat does not show the memory page"; exit 1; }
grep -E '^[IWE]: ' "$out/log" || true

# Packages that would take another symbol without saying so are refused by
# scripts/package; here, the file that says so is shipped.
[ "$(dpkg-deb -I "$(find "$out/debs" -name 'libqo1_*.deb')" symbols | head -1)" = \
    "libqo.so.1 libqo1 #MINVER#" ] || { echo "libqo1 has no symbols file"; exit 1; }

# The autopkgtest, as it runs once the packages are installed, but on the
# unpacked tree: the compiler, the linker and CMake are pointed at it.
root=$out/root
mkdir -p "$out/autopkgtest"
AUTOPKGTEST_TMP=$out/autopkgtest PKG_CONFIG_PATH=$root/usr/lib/$multiarch/pkgconfig \
    CPATH=$root/usr/include LIBRARY_PATH=$root/usr/lib/$multiarch \
    LD_LIBRARY_PATH=$root/usr/lib/$multiarch CMAKE_PREFIX_PATH=$root/usr \
    "$src/debian/tests/build"

# Reproducible: built again in another folder, byte for byte the same.
package "$out/again-debs"
for deb in "$out"/debs/*.deb; do
    cmp -s "$deb" "$out/again-debs/$(basename "$deb")" ||
        { echo "$(basename "$deb") differs when built in another folder"; exit 1; }
done
echo "built twice, the same bytes"
