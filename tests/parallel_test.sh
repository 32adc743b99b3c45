#!/usr/bin/env bash
# parallel_test.sh PARALLEL SCRATCH
# Runs examples/parallel.c's program on rows of commands and checks its
# exit status, its lines (sorted: the commands race) and how long it took.
set -u
parallel=$1 scratch=$2
mkdir -p "$scratch"
failures=0

# row STATUS STDOUT STDERR MAX_MS ARGS...: STDOUT and STDERR are the sorted
# lines expected, each "|" a line feed.
row() {
    local status=$1 out=$2 err=$3 max_ms=$4 start took got
    shift 4
    start=$(date +%s%N)
    "$parallel" "$@" >"$scratch/out" 2>"$scratch/err"
    got=$?
    took=$(( ($(date +%s%N) - start) / 1000000 ))
    local sorted_out sorted_err
    sorted_out=$(sort "$scratch/out" | paste -sd'|')
    sorted_err=$(sort "$scratch/err" | paste -sd'|')
    if [ "$got" -ne "$status" ] || [ "$sorted_out" != "$out" ] ||
        [ "$sorted_err" != "$err" ] || [ "$took" -ge "$max_ms" ]; then
        echo "parallel $*: status $got (expected $status), $took ms (under $max_ms)"
        echo "  stdout '$sorted_out'"; echo "  expected '$out'"
        echo "  stderr '$sorted_err'"; echo "  expected '$err'"
        failures=$((failures + 1))
    fi
}

# Every line prefixed, stdout and stderr apart, a last line without its
# line feed given one, each command's lines in their order.
row 0 '[1] a1|[1] a2|[2] x|[3] c' '[1] e' 5000 \
    'echo a1; echo a2; echo e >&2' 'printf x' 'echo c'
grep -q '^\[1\] a1$' <(grep '^\[1\]' "$scratch/out" | head -1) ||
    { echo "the first command's lines out of order"; failures=$((failures + 1)); }
# -x: the failure stops the silent sleep at once; what ended well is shown.
row 1 '[3] hi' '[1] stopped: sh: killed by signal 15 (Terminated)|[2] sh: exited with status 3' \
    1000 -x 'sleep 5' 'sleep 0.3; exit 3' 'echo hi'
# Without -x the others run on to their end.
row 1 '[1] done' '[2] sh: exited with status 3' 5000 'sleep 0.3; echo done' 'exit 3'
# -t: each command's own deadline.
row 1 '[2] ok' '[1] deadline reached: sh: killed by signal 15 (Terminated)' 1000 \
    -t 0.2 'sleep 5' 'echo ok'
# Bad usage.
row 2 '' 'usage: parallel [-x] [-t SECONDS] COMMAND...' 5000
row 2 '' 'usage: parallel [-x] [-t SECONDS] COMMAND...' 5000 -t soon 'echo x'

# A reader that leaves: no SIGPIPE death, the endless command stopped.
"$parallel" yes 2>/dev/null | head -1 >/dev/null
status=${PIPESTATUS[0]}
[ "$status" -eq 1 ] || { echo "parallel yes | head -1: status $status"; failures=$((failures + 1)); }
[ "$failures" -eq 0 ]
