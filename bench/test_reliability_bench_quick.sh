#!/usr/bin/env bash
# bench/run --quick over the programs of a build: every benchmark and every peer
# of the end-to-end harness runs, nothing is left behind, and the last line is
# the summary in its exact shape. The figures of a quick run on a shared machine
# mean nothing, so only their presence is checked: kqvxi's own (the coalescing
# client's too) must be numbers;
# a peer's may be n/a where this machine cannot run it (no libzmq, not root).
#
#   test_reliability_bench_quick.sh <bench/run> <bin dir>
set -uo pipefail

run=$1
bin=$2
out=$(mktemp)
trap 'rm -f "$out"' EXIT
KQ_BENCH_BIN=$bin bash "$run" --quick >"$out" 2>&1
rc=$?
cat "$out"
if [ $rc != 0 ]; then
  echo "FAIL: bench/run --quick exited with $rc"
  exit 1
fi
summary=$(tail -1 "$out")
num='[0-9]+(\.[0-9]+)?'
any="($num|n/a)"
shape="^summary: post_ns=$num atomic_floor_ns=$num posts50_ns=$num fanout50_ns=$num"
shape="$shape lat_p50_n1_us=$num relay_lat_p50_n1_us=$any lat_p50_n50_us=$num"
shape="$shape relay_lat_p50_n50_us=$any lossless_n1=$num lossless_n8=$num lossless_n50=$num"
shape="$shape relay_lossless_n1=$any relay_lossless_n8=$any relay_lossless_n50=$any"
shape="$shape zmq_lossless_n50=$any coalesced_lossless_n50=$num zmq_flood_n50=$any"
shape="$shape coalesced_flood_n50=$num coalesce_us=$num\$"
status=0
if ! [[ $summary =~ $shape ]]; then
  echo "FAIL: the last line is not the summary in its shape:"
  echo "  $summary"
  status=1
fi
if ! grep -q '^  nothing left behind' "$out"; then
  echo "FAIL: the run left processes or named objects behind"
  status=1
fi
if ! grep -q '^  run took [0-9]*s' "$out"; then
  echo "FAIL: the run's total time is not printed"
  status=1
fi
exit $status
