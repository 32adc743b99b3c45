#!/bin/sh
# check_argv_fronts.sh REFUSED LAST COMPILER FLAGS...: c_argv_check.c,
# compiled with the flags, takes every argument vector it holds, and each
# of its calls 1 to LAST fails to compile with a diagnostic that matches
# the extended regular expression REFUSED, not with some other error.
set -u
refused=$1 last=$2
shift 2
"$@" || { echo "the calls that must compile do not" >&2; exit 1; }
failed=0 bad=1
while [ "$bad" -le "$last" ]; do
    if out=$("$@" -DQO_BAD_ARGV="$bad" 2>&1); then
        echo "call $bad compiles" >&2
        failed=1
    elif ! printf '%s\n' "$out" | grep -Eq "$refused"; then
        printf 'call %s fails otherwise:\n%s\n' "$bad" "$out" >&2
        failed=1
    fi
    bad=$((bad + 1))
done
exit "$failed"
