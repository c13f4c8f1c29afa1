#!/usr/bin/env bash
# kqvxi-monitor's reports: its drop count equals what was injected minus what it
# received when its ring overflows; it exits 1 when the server goes away (stopped
# or killed), 3 when --timeout passes with nothing, 0 when --count is reached;
# selections the server would alias are refused; -q prints no records.
source "$(dirname "$0")/lib.sh" "$1" 733
expect_exit() {
  local want=$1; shift
  "$@" >"$work/x.out" 2>"$work/x.err"; local rc=$?
  [ $rc -eq "$want" ] || fail "'$*' exited $rc, not $want: $(cat "$work/x.err")"
}
expect_exit 2 "$bin/kqvxi-monitor" -c $ctlnum --level 3:0x80
expect_exit 2 "$bin/kqvxi-monitor" -c $ctlnum --channel 0:20
expect_exit 1 "$bin/kqvxi-monitor" -c $ctlnum --class 0 --request-timeout 200
grep -q "cannot register" "$work/x.err" || fail "no message without a server: $(cat "$work/x.err")"

start_server
expect_exit 3 "$bin/kqvxi-monitor" -c $ctlnum --class 0 --timeout 0.5
"$bin/kqvxi-monitor" -c $ctlnum -q --class 0 --count 1 --timeout 30 >"$work/c.out" 2>"$work/c.err" &
mon=$!; pids+=("$mon")
wait_clients 1
# -q prints no "registered" line: inject until the monitor has its record.
for i in $(seq 1 100); do
  kill -0 $mon 2>/dev/null || break
  "$bin/kqvxi-inject" -q -c $ctlnum class 0 7 >/dev/null
  sleep 0.2
done
wait $mon; rc=$?
[ $rc -eq 0 ] || fail "--count reached but exit $rc: $(cat "$work/c.err")"
[ ! -s "$work/c.out" ] || fail "-q printed records: $(cat "$work/c.out")"
grep -q "^kqvxi-monitor: 1 records" "$work/c.err" || fail "-q summary: $(cat "$work/c.err")"

# Overflow: a stopped monitor's ring (99 records) cannot take 150 events. Every
# event accepted by the board is either received or counted as dropped,
# whatever the timing. Markers (class 0) injected after the monitor resumed
# arrive after every storm event was posted (the board's queue is served in
# order); they are counted like the storm.
"$bin/kqvxi-monitor" -c $ctlnum --json --class 0 --level 5:0x1 >"$work/o.out" 2>"$work/o.err" &
mon=$!; pids+=("$mon")
for i in $(seq 1 100); do grep -q registered "$work/o.err" && break; sleep 0.05; done
kill -STOP $mon
# The board's queue holds 64 events: a slow server (a sanitizer build, a busy
# machine) lets only part of a burst in. Bursts go on, their values still rising,
# until the board has accepted more than the ring can hold.
injected=0
for burst in $(seq 0 9); do
  "$bin/kqvxi-inject" -q -c $ctlnum --repeat 300 --sequence level 5 1 $((burst * 300)) >"$work/i.out"
  accepted=$(sed -n 's/^accepted \([0-9]*\) .*/\1/p' "$work/i.out")
  [ -n "$accepted" ] || fail "inject output: $(cat "$work/i.out")"
  injected=$((injected + accepted))
  [ "$injected" -gt 150 ] && break
  sleep 0.1
done
[ "$injected" -gt 150 ] || fail "the board accepted only $injected events in 10 bursts"
kill -CONT $mon
for i in $(seq 1 60); do
  "$bin/kqvxi-inject" -q -c $ctlnum class 0 4242 >/dev/null && injected=$((injected + 1))
  sleep 0.5
  grep -q '"value":4242' "$work/o.out" && break
done
grep -q '"value":4242' "$work/o.out" || fail "no marker arrived"
kill -INT $mon; wait $mon || fail "overflow monitor exit status $?"
summary=$(tail -n 1 "$work/o.err")
echo "monitor overflow: injected $injected; $summary"
received=$(echo "$summary" | sed -n 's/^kqvxi-monitor: \([0-9]*\) records.*/\1/p')
dropped=$(echo "$summary" | sed -n 's/.* dropped \([0-9]*\) (.*/\1/p')
[ -n "$received" ] && [ -n "$dropped" ] || fail "summary: $summary"
[ "$dropped" -gt 0 ] || fail "a stopped monitor's ring took all $injected records"
[ $((received + dropped)) -eq "$injected" ] || fail "received $received + dropped $dropped != injected $injected"
grep -q "warning: .* records dropped" "$work/o.err" || fail "no drop warning: $(cat "$work/o.err")"
python3 - "$work/o.out" "$dropped" "$received" <<'PY' || fail "JSON output: $(head -c 600 "$work/o.out")"
import json, sys
objs = [json.loads(l) for l in open(sys.argv[1]) if l.strip()]
warnings = [o for o in objs if o.get("warning") == "dropped"]
records = [o for o in objs if "warning" not in o]
assert warnings and sum(o["dropped"] for o in warnings) == int(sys.argv[2]), warnings
assert warnings[-1]["dropped_total"] == int(sys.argv[2]), warnings[-1]
assert len(records) == int(sys.argv[3]), (len(records), sys.argv[3])
seq = [o["value"] for o in records if o["name"] == "level"]
assert all(a < b for a, b in zip(seq, seq[1:])), "out of order or repeated"
PY

# The server goes away: stopped, then killed outright.
"$bin/kqvxi-monitor" -c $ctlnum --class 0 >"$work/g.out" 2>"$work/g.err" &
mon=$!; pids+=("$mon")
wait_clients 1
"$bin/kqvxi-ctl" -c $ctlnum stop >/dev/null || fail "stop got no reply"
wait "$server"
wait $mon; rc=$?
[ $rc -eq 1 ] || fail "monitor exit $rc after the server stopped: $(cat "$work/g.err")"
grep -q "gone away" "$work/g.err" || fail "no message: $(cat "$work/g.err")"
start_server
"$bin/kqvxi-monitor" -c $ctlnum --class 0 >"$work/k.out" 2>"$work/k.err" &
mon=$!; pids+=("$mon")
wait_clients 1
kill -9 "$server"; wait "$server" 2>/dev/null
wait $mon; rc=$?
[ $rc -eq 1 ] || fail "monitor exit $rc after the server was killed: $(cat "$work/k.err")"
echo "tools monitor: ok"
