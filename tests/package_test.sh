#!/usr/bin/env bash
# package_test.sh SOURCE_DIR PACKAGE_BUILD_DIR VERSION
# Builds the Debian packages with scripts/package (which fails on any
# lintian error or warning) into a scratch folder, checks that each carries
# exactly its files, that "man qo_strcat" finds its page in libqo-dev, that
# libqo1 carries its symbols file and that a second build gives the same bytes.
set -euo pipefail
src=$1 build=$2 version=$3
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

QO_PACKAGE_BUILD=$build "$src/scripts/package" "$out/debs" >"$out/log" 2>&1 ||
    { cat "$out/log"; exit 1; }
lib=./usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
man=./usr/share/man/man3

# contents DEB: its files and links ("name -> target"), folders left out.
contents() {
    dpkg-deb -c "$1" | awk '$6 !~ /\/$/ {print $7 == "->" ? $6 " -> " $8 : $6}' | sort
}

docs() {
    printf './usr/share/doc/%s/%s\n' "$1" changelog.Debian.gz "$1" changelog.gz "$1" copyright
}

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
$lib/libqo.a
$lib/libqo.so -> libqo.so.${version%%.*}
$lib/pkgconfig/qo.pc
$lib/cmake/qo/qoConfig.cmake
$lib/cmake/qo/qoConfigVersion.cmake
$lib/cmake/qo/qoTargets.cmake
$lib/cmake/qo/qoTargets-noconfig.cmake
$lib/cmake/qo/qoExtraTargets.cmake
$lib/cmake/qo/qoExtraTargets-noconfig.cmake
$(links qo qo_version)
$(links qo_log qo_log_int qo_log_open qo_log_close qo_log_reopen qo_log_set_level \
    qo_log_level qo_log_flush_on)
$(links qo_exit qo_exit_hook)
$(links qo_memory qo_malloc qo_asprintf qo_strcat qo_strcat_int qo_str_reset \
    qo_str_reset_int qo_getline qo_getline_int qo_setenv qo_setenv_int qo_free)
$(links qo_strings qo_shell_quote qo_stresc qo_strtok qo_str_substitute \
    qo_strip_spaces qo_date)
$(links qo_commands qo_system qo_system_int qo_run qo_run_int qo_system_output \
    qo_system_output_int qo_status_text)
$(docs libqo-dev)"

dpkg-deb -x "$(find "$out/debs" -name 'libqo-dev_*.deb')" "$out/root"
man -M "$out/root/usr/share/man" -P cat qo_strcat 2>/dev/null | grep -q 'qo_strcat_int' ||
    { echo "man qo_strcat does not show the memory page"; exit 1; }
grep -E '^[IWE]: ' "$out/log" || true

# Packages that would take another symbol without saying so are refused by
# scripts/package; here, the file that says so is shipped.
[ "$(dpkg-deb -I "$(find "$out/debs" -name 'libqo1_*.deb')" symbols | head -1)" = \
    "libqo.so.1 libqo1 #MINVER#" ] || { echo "libqo1 has no symbols file"; exit 1; }

# Reproducible: built again in another folder, byte for byte the same.
QO_PACKAGE_BUILD=$out/again "$src/scripts/package" "$out/again-debs" >"$out/log" 2>&1 ||
    { cat "$out/log"; exit 1; }
for deb in "$out"/debs/*.deb; do
    cmp -s "$deb" "$out/again-debs/$(basename "$deb")" ||
        { echo "$(basename "$deb") differs when built in another folder"; exit 1; }
done
echo "built twice, the same bytes"
