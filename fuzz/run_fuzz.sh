#!/usr/bin/env bash
# Runs one libFuzzer target for a bounded time on its seed corpus; fails on any
# finding (crash, sanitizer report, broken invariant, time-out, leak).
# Usage: run_fuzz.sh <target> <seed corpus dir> <work dir> <seconds>
# New inputs go to <work dir>/corpus; the committed seed corpus is only read.
set -u
target=$1
seeds=$2
work=$3
seconds=$4

mkdir -p "$work/corpus" "$work/artifacts"
log="$work/fuzz.log"
"$target" "$work/corpus" "$seeds" \
    -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=4096 \
    -print_final_stats=1 -artifact_prefix="$work/artifacts/" >"$log" 2>&1
rc=$?

runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1)
speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n1)
cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n1)
units=$(find "$work/corpus" -type f | wc -l)
echo "$(basename "$target"): ${runs:-?} executions in ${seconds} s (${speed:-?}/s), ${cov:-cov: ?}, ${units} new corpus units, exit $rc"
if [ $rc -ne 0 ]; then
    tail -n 60 "$log"
    echo "FAIL: finding saved in $work/artifacts:"
    ls -l "$work/artifacts"
    exit 1
fi
echo "PASS: no findings"
