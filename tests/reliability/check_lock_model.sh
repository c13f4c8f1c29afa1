#!/usr/bin/env bash
# Model check of the queue block's lock protocol (lock_protocol.pml) with Spin.
# Usage: check_lock_model.sh <model.pml> <work dir> <variant> [c compiler]
#   variant "sound": the model as the code is; every run must end with errors: 0
#   and a complete search.
#   variant BROKEN_*: a seeded fault; at least one run must report an error.
# Two runs per variant: a safety run (assertions, invalid end states) and a
# non-progress run under weak fairness (a waiter that spins for ever).
# KQ_LOCK_MODEL_ROUNDS=n (environment) gives every party n rounds instead of 3.
# Exit 77 (skipped) when spin is not installed.
set -u
model=$1
work=$2
variant=$3
cc=${4:-cc}

if ! command -v spin >/dev/null 2>&1; then
    echo "SKIPPED: spin is not installed (Debian package 'spin')"
    exit 77
fi

dir="$work/$variant"
rm -rf "$dir"
mkdir -p "$dir"
cd "$dir" || exit 1

define=()
if [ "$variant" != sound ]; then
    define=("-D$variant")
fi
if [ -n "${KQ_LOCK_MODEL_ROUNDS:-}" ]; then
    define+=("-DCLIENT_ROUNDS=$KQ_LOCK_MODEL_ROUNDS" "-DSERVER_ROUNDS=$KQ_LOCK_MODEL_ROUNDS")
fi
if ! spin "${define[@]}" -a "$model" >spin.log 2>&1; then
    cat spin.log
    echo "FAIL: spin could not translate the model"
    exit 1
fi

errors_total=0
incomplete=0
for run in safety progress; do
    if [ $run = safety ]; then
        cflags=(-O2)
        panflags=(-m200000)
    else
        cflags=(-O2 -DNP)
        panflags=(-m200000 -l -f)
    fi
    if ! "$cc" "${cflags[@]}" -o pan_$run pan.c >cc_$run.log 2>&1; then
        cat cc_$run.log
        echo "FAIL: pan.c did not compile"
        exit 1
    fi
    start=$(date +%s.%N)
    ./pan_$run "${panflags[@]}" >pan_$run.log 2>&1
    end=$(date +%s.%N)
    errors=$(sed -n 's/.*errors: \([0-9]*\).*/\1/p' pan_$run.log | head -n1)
    if [ -z "$errors" ]; then
        cat pan_$run.log
        echo "FAIL: no result from the $run run"
        exit 1
    fi
    stored=$(sed -n 's/^ *\([0-9.e+]*\) states, stored.*/\1/p' pan_$run.log | head -n1)
    transitions=$(sed -n 's/^ *\([0-9.e+]*\) transitions.*/\1/p' pan_$run.log | head -n1)
    depth=$(sed -n 's/.*depth reached \([0-9]*\).*/\1/p' pan_$run.log | head -n1)
    finding=$(grep -m1 '^pan:1:' pan_$run.log || true)
    printf '%s %s run: errors %s, states stored %s, transitions %s, depth %s, %.2f s%s\n' \
        "$variant" $run "$errors" "$stored" "$transitions" "$depth" \
        "$(awk -v a="$start" -v b="$end" 'BEGIN { print b - a }')" "${finding:+, found: ${finding#pan:1: }}"
    if grep -q 'max search depth too small' pan_$run.log; then
        incomplete=1
    fi
    errors_total=$((errors_total + errors))
done

if [ "$variant" = sound ]; then
    if [ $errors_total -ne 0 ]; then
        echo "FAIL: the lock protocol violates a property; trail:"
        spin -t -p "$model" 2>&1 | tail -n 60
        exit 1
    fi
    if [ $incomplete -ne 0 ]; then
        echo "FAIL: the search was cut short (depth limit)"
        exit 1
    fi
    echo "PASS: every property holds over the whole state space"
else
    if [ $errors_total -eq 0 ]; then
        echo "FAIL: the seeded fault $variant was not caught"
        exit 1
    fi
    echo "PASS: the seeded fault $variant was caught"
fi
exit 0
