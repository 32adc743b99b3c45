#!/usr/bin/env bash
# check_system.sh PROGRAM SITUATION
# Runs test-qo_system with /tmp/test-qo_sys prepared as SITUATION says
# (absent, empty, nonempty, file) and checks its output, status and what it
# leaves behind. The directory is removed afterwards whatever happens.
set -u
program=$1 situation=$2
dir=/tmp/test-qo_sys
trap 'rm -rf "$dir"' EXIT
rm -rf "$dir"

case $situation in
absent) want_out= want_status=0 ;;
empty) mkdir "$dir"; want_out= want_status=0 ;;
nonempty) mkdir "$dir"; touch "$dir/keep"; want_out="Unable to remove the temp dir" want_status=255 ;;
file) touch "$dir"; want_out="Unable to create the temp dir" want_status=255 ;;
*) echo "unknown situation $situation"; exit 2 ;;
esac

out=$("$program")
status=$?
ok=1
[ "$out" = "$want_out" ] || { echo "output: '$out', expected '$want_out'"; ok=0; }
[ "$status" -eq "$want_status" ] || { echo "status $status, expected $want_status"; ok=0; }
case $situation in
absent | empty) [ -e "$dir" ] && { echo "$dir left behind"; ok=0; } ;;
nonempty) [ -f "$dir/keep" ] || { echo "$dir/keep was lost"; ok=0; } ;;
file) [ -f "$dir" ] || { echo "the file $dir was lost"; ok=0; } ;;
esac
[ "$ok" -eq 1 ]
