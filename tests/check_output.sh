#!/usr/bin/env bash
# check_output.sh EXPECTED PROGRAM [ARGS...]
# Runs PROGRAM and fails unless it exits 0, writes nothing on standard
# error and writes exactly the bytes of EXPECTED on standard output.
set -u
expected=$1
shift
out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT

"$@" >"$out" 2>"$err"
status=$?
ok=1
[ "$status" -eq 0 ] || { echo "exit status $status, expected 0"; ok=0; }
[ -s "$err" ] && { echo "unexpected standard error:"; cat "$err"; ok=0; }
cmp -s "$expected" "$out" || { echo "standard output differs:"; diff "$expected" "$out"; ok=0; }
[ "$ok" -eq 1 ]
