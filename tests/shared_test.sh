#!/usr/bin/env bash
# shared_test.sh LIBQO_SO VERSION
# The shared library carries a SONAME from the major version, exports the
# qo_ interface only, each symbol under a version node QO_1.x (QO_1.0, and
# QO_1.2 for the qo_run_int of the grown options), and needs nothing but the
# C library.
set -euo pipefail
lib=$1 version=$2
soname=$(readelf -d "$lib" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
[ "$soname" = "libqo.so.${version%%.*}" ] || { echo "SONAME '$soname'"; exit 1; }

exported=$(nm -D --defined-only "$lib" | awk '$3 !~ /^QO_1\.[0-9]+$/ {sub(/@.*/, "", $3); print $3}' | sort -u)
others=$(grep -v '^qo_' <<<"$exported" || true)
[ -z "$others" ] || { echo "exported beyond qo_:"; echo "$others"; exit 1; }

# objdump -T: the version node is the column before the name.
unversioned=$(objdump -T "$lib" | awk '$4 != "*UND*" && / qo_/ && $(NF-1) !~ /^\(?QO_1\.[0-9]+\)?$/ {print $NF}')
[ -z "$unversioned" ] || { echo "exported without QO_1.x:"; echo "$unversioned"; exit 1; }

needed=$(readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
extra=$(grep -vE '^(libc\.so\.6|ld-linux.*\.so\.[0-9]+)$' <<<"$needed" || true)
[ -z "$extra" ] || { echo "needs more than libc:"; echo "$extra"; exit 1; }
echo "$soname exports $(wc -l <<<"$exported") symbols, all qo_ at QO_1.x; needs $needed"
