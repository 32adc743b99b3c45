#!/usr/bin/env bash
# runtime_test.sh LIBQO_A
# A C program links libqo.a with -lqo alone: nothing in it may call into
# the C++ runtime (mangled names, __cxa_* guards and exceptions, unwinding).
set -euo pipefail
archive=$1
# Undefined in one member and defined in none: what the archive asks of others.
defined=$(nm --defined-only "$archive" | awk 'NF == 3 {print $3}' | sort -u)
undefined=$(nm -u "$archive" | awk 'NF == 2 {print $2}' | sort -u)
cxx=$(comm -23 <(echo "$undefined") <(echo "$defined") | grep -E '^(_Z|__cxa_|_Unwind_|__gxx_)' || true)
[ -z "$cxx" ] || { echo "libqo.a needs the C++ runtime for:"; echo "$cxx"; exit 1; }
echo "$(basename "$archive") needs only the C library"
