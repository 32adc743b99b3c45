#!/usr/bin/env bash
# snapshot_test.sh SNAPSHOT SCRATCH
# Runs examples/snapshot.c's program on rows of cases and checks its exit
# status, what it said, and that the archive is whole or the old one kept.
set -u
snapshot=$1 scratch=$2
rm -rf "$scratch" && mkdir -p "$scratch/folder"
echo data >"$scratch/folder/file"
failures=0

# row STATUS ERR_PATTERN ARCHIVE_HOLDS ARGS...: ERR_PATTERN '' is an empty
# stderr; ARCHIVE_HOLDS is "file"
# (a fresh archive with the folder's file) or "old" (the previous one).
row() {
    local status=$1 pattern=$2 holds=$3 got
    shift 3
    echo old >"$scratch/out.tgz"
    "$snapshot" "$@" >"$scratch/stdout" 2>"$scratch/stderr"
    got=$?
    local held=old
    tar -tzf "$scratch/out.tgz" 2>/dev/null | grep -q '^\./file$' && held=file
    local said=yes
    if [ -z "$pattern" ]; then [ -s "$scratch/stderr" ] && said=no
    else grep -Eq "$pattern" "$scratch/stderr" || said=no; fi
    if [ "$got" -ne "$status" ] || [ "$said" = no ] ||
        [ "$held" != "$holds" ]; then
        echo "snapshot $*: status $got (expected $status), archive $held ($holds)"
        echo "  stderr: $(cat "$scratch/stderr")"; echo "  expected /$pattern/"
        failures=$((failures + 1))
    fi
}

row 0 '' file "$scratch/folder" "$scratch/out.tgz"
grep -q "saved in $scratch/out.tgz (" "$scratch/stdout" ||
    { echo "no report of the save"; failures=$((failures + 1)); }
row 1 '^snapshot: tar: exited with status 2 \| gzip: exited with status 0$' old \
    "$scratch/missing" "$scratch/out.tgz"
row 1 '^snapshot: Unable to (open|replace) .*/none/out.tgz' old \
    "$scratch/folder" "$scratch/none/out.tgz"
# A sparse file tar takes seconds to read: the deadline cuts the run.
mkdir -p "$scratch/big" && truncate -s 20G "$scratch/big/huge"
row 1 '^snapshot: deadline reached: tar: killed by signal 15 \(Terminated\) \| gzip: ' \
    old -t 0.2 "$scratch/big" "$scratch/out.tgz"
row 2 '^usage: ' old "$scratch/folder"
[ "$failures" -eq 0 ]
