#!/bin/sh
# supervise_test.sh PROGRAM
# Runs the supervisor over five commands for a second and a half, then
# sends it SIGTERM: the failing one restarted with a growing back-off, the
# lines prefixed, starts and ends stamped with the time and the pid, the
# memory limit and (as root) the user applied, and everything stopped
# within the grace, the one that ignores SIGTERM by SIGKILL.
set -u
program=$1
out=$(mktemp)
trap 'rm -f "$out"' EXIT

if [ "$(id -u)" -eq 0 ] && id nobody >/dev/null 2>&1; then
    as="-u nobody" expected_user=nobody
else
    as="" expected_user=$(id -un)
fi
# shellcheck disable=SC2086 # $as is two words or none
"$program" -b 100 -g 500 -m 256 $as ok='echo hi; exec sleep 30' \
    bad='echo oops >&2; exit 3' mem='ulimit -v' who='id -un' \
    stubborn='trap "" TERM; echo up; sleep 30' >"$out" 2>&1 &
supervisor=$!
sleep 1.5
kill -TERM "$supervisor"
asked=$(date +%s%N)
wait "$supervisor"
status=$?
took=$((($(date +%s%N) - asked) / 1000000))

ok=1
fail() { echo "$1"; ok=0; }
has() { grep -Eq "$1" "$out" || fail "no line matching: $1"; }
[ "$status" -eq 0 ] || fail "exit status $status, expected 0"
[ "$took" -lt 2000 ] || fail "stopped in $took ms, beyond the grace"
has '^ok: hi$'
has '^bad: oops$'
has '^mem: 262144$'
has "^who: $expected_user\$"
has '^stubborn: up$'
has '^[0-9]{2}:[0-9]{2}:[0-9]{2} ok: started, pid [0-9]+$'
has '^[0-9]{2}:[0-9]{2}:[0-9]{2} supervise: stopping 2 commands$'
has '^[0-9:]{8} ok: stopped: killed by signal 15 \(Terminated\), pid [0-9]+$'
has '^[0-9:]{8} stubborn: stopped: killed by signal 9 \(Killed\), pid [0-9]+$'
has '^[0-9:]{8} mem: exited with status 0, pid [0-9]+$'
has '^[0-9:]{8} bad: exited with status 3, pid [0-9]+; again in 100 ms$'
has '^[0-9:]{8} bad: exited with status 3, pid [0-9]+; again in 400 ms$'
[ "$ok" -eq 1 ] || cat "$out"
[ "$ok" -eq 1 ]
