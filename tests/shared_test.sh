#!/usr/bin/env bash
# shared_test.sh LIBQO_SO VERSION
# The shared library carries a SONAME from the major version and exports
# the qo_ interface only.
set -euo pipefail
lib=$1 version=$2
soname=$(readelf -d "$lib" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
[ "$soname" = "libqo.so.${version%%.*}" ] || { echo "SONAME '$soname'"; exit 1; }
exported=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort)
others=$(grep -v '^qo_' <<<"$exported" || true)
[ -z "$others" ] || { echo "exported beyond qo_:"; echo "$others"; exit 1; }
echo "$soname exports $(wc -l <<<"$exported") symbols, all qo_"
