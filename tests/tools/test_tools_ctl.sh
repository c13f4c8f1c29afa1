#!/usr/bin/env bash
# kqvxi-ctl against the real server. status: with no server, exit 1 and a message;
# with two monitors, the server's pid, both clients with their selections and
# counts, as text and as JSON that parses back; it sends no request, so a killed
# client shows as ended and keeps its slot until a sweep. raw: the commands that
# end a server when their sender holds no slot (1, 2, 3, 17) are refused, nothing
# is sent and the server serves on; --force sends one, and the server ends with
# its exit status for a failed client command (-3). A registration is refused
# while the server serves 50 clients.
source "$(dirname "$0")/lib.sh" "$1" 734
ctl() { "$bin/kqvxi-ctl" -c $ctlnum "$@"; }

ctl status >"$work/none.out" 2>"$work/none.err"; rc=$?
[ $rc -eq 1 ] || fail "status with no server exited $rc"
grep -q "no server" "$work/none.err" || fail "status with no server said: $(cat "$work/none.err")"

start_server
"$bin/kqvxi-monitor" -c $ctlnum --json --class 0,5 --level 3:0x7f --source 4:0x2 --channel 0:50 \
  >"$work/a.out" 2>"$work/a.err" &
monA=$!; pids+=("$monA")
"$bin/kqvxi-monitor" -c $ctlnum --json --class 2 --channel 7:3 >"$work/b.out" 2>"$work/b.err" &
monB=$!; pids+=("$monB")
wait_clients 2
for _ in $(seq 1 100); do grep -q registered "$work/a.err" && grep -q registered "$work/b.err" && break; sleep 0.05; done
# A gets three level records and the class-1 one, B the class-1 one.
for v in 1 2 3; do "$bin/kqvxi-inject" -q -c $ctlnum level 3 2 $v >/dev/null || fail "inject refused"; done
"$bin/kqvxi-inject" -q -c $ctlnum class 1 0 >/dev/null || fail "inject refused"
for _ in $(seq 1 100); do [ "$(wc -l <"$work/a.out")" -ge 4 ] && [ "$(wc -l <"$work/b.out")" -ge 1 ] && break; sleep 0.05; done

ctl status >"$work/s.txt" || fail "status exited $?"
cat "$work/s.txt"
grep -qE "^server pid $server instance [1-9][0-9]* uptime [0-9]+\.[0-9]{3}s clients 2$" "$work/s.txt" \
  || fail "status: server line: $(head -n 1 "$work/s.txt")"
grep -qE "^slot [0-9]+ pid $monA alive 1 delivered 4 dropped 0 " "$work/s.txt" || fail "status: monitor A's line"
grep -qE "^slot [0-9]+ pid $monB alive 1 delivered 1 dropped 0 " "$work/s.txt" || fail "status: monitor B's line"
grep -qx "  classes 0,1,5" "$work/s.txt" || fail "status: A's classes"
grep -qx "  levels 3:0x7f" "$work/s.txt" || fail "status: A's levels"
grep -qx "  source_levels 4:0x2" "$work/s.txt" || fail "status: A's source levels"
grep -qx "  channels 0:0x4000" "$work/s.txt" || fail "status: A's channel 50 (bit 14)"
grep -qx "  classes 1,2" "$work/s.txt" || fail "status: B's classes"
grep -qx "  channels 7:0x8" "$work/s.txt" || fail "status: B's channel 3"

ctl status --json >"$work/s.json" || fail "status --json exited $?"
python3 - "$work/s.json" "$server" "$monA" "$monB" <<'PY' || fail "status --json: $(cat "$work/s.json")"
import json, sys
s = json.load(open(sys.argv[1]))
server, a, b = (int(x) for x in sys.argv[2:5])
assert s["controller"] == 734 and s["pid"] == server and s["clients"] == 2, s
assert s["instance"] > 0 and s["uptime_ms"] >= 0, s
by = {c["pid"]: c for c in s["slots"]}
assert sorted(by) == sorted([a, b]), s["slots"]
assert len({c["slot"] for c in s["slots"]}) == 2, s["slots"]
ca, cb = by[a], by[b]
assert ca["alive"] is True and ca["classes"] == [0, 1, 5], ca
assert ca["levels"] == [[3, 0x7F]] and ca["source_levels"] == [[4, 2]], ca
assert ca["channels"] == [[0, 1 << 14]], ca
assert ca["delivered"] == 4 and ca["dropped"] == 0 and ca["lock_waits"] >= 0, ca
assert ca["dropped_full"] == ca["dropped_ended"] == ca["dropped_lock_kept"] == 0, ca
assert cb["classes"] == [1, 2] and cb["channels"] == [[7, 8]] and cb["levels"] == [], cb
assert cb["delivered"] == 1, cb
PY

# No request: a killed client shows as ended and keeps its slot until a sweep.
kill -9 $monB; wait $monB 2>/dev/null
ctl status --json >"$work/k.json" || fail "status after the kill exited $?"
python3 - "$work/k.json" "$monB" <<'PY' || fail "status after the kill: $(cat "$work/k.json")"
import json, sys
s = json.load(open(sys.argv[1]))
b = [c for c in s["slots"] if c["pid"] == int(sys.argv[2])]
assert s["clients"] == 2 and len(b) == 1 and b[0]["alive"] is False, s
PY
[ "$(ctl sweep)" = "clients 1" ] || fail "the sweep after status did not free the killed client"

# raw refuses what would end the server, sends nothing, and the server serves on.
for cmd in 1 2 3 17; do
  ctl raw $cmd 0xDEAD0007 3 0x7f >"$work/r.out" 2>"$work/r.err"; rc=$?
  [ $rc -eq 3 ] || fail "raw $cmd exited $rc, not 3 (refused)"
  grep -q -- "--force" "$work/r.err" || fail "raw $cmd: the refusal does not name --force: $(cat "$work/r.err")"
  [ ! -s "$work/r.out" ] || fail "raw $cmd printed a reply: $(cat "$work/r.out")"
done
[ "$(ctl raw 4 0 0 0)" = "reply 0x00000001 0x00000000 0x00000000" ] || fail "raw sweep after the refusals"
kill -0 $server 2>/dev/null || fail "the server ended after the refused requests"

# A registration is refused while the server serves 50 clients (a 51st ends it),
# and sent once a sweep made room: the sweep raw does first frees a killed client.
crowd=()
for i in $(seq 1 49); do
  "$bin/kqvxi-monitor" -c $ctlnum --class 0 >/dev/null 2>&1 &
  crowd+=($!); pids+=($!)
done
wait_clients 50
ctl raw 0 0 0 0 >"$work/r.out" 2>"$work/r.err"; rc=$?
[ $rc -eq 3 ] || fail "raw 0 with 50 clients exited $rc, not 3 (refused)"
grep -q "50 clients" "$work/r.err" || fail "raw 0 refusal: $(cat "$work/r.err")"
[ "$(ctl sweep)" = "clients 50" ] || fail "after the refused registration the server does not serve 50 clients"
kill -9 "${crowd[0]}"; wait "${crowd[0]}" 2>/dev/null
ctl raw 0 0 0 0 >/dev/null || fail "raw 0 after a client ended was not sent"
# The registration was kqvxi-ctl's own process, which has ended: a sweep frees it.
[ "$(ctl sweep)" = "clients 49" ] || fail "the sweep after raw 0 did not free kqvxi-ctl's slot"
for p in "${crowd[@]:1}"; do kill -9 "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
[ "$(ctl sweep)" = "clients 1" ] || fail "the crowd was not swept"

# --force sends it: an enable from a process without a slot is answered, and
# then the server ends with -3.
out=$(ctl raw --force 2 0xDEAD0007 3 0x7f) || fail "raw --force got no reply"
[ "$out" = "reply 0xdead0007 0x00000003 0x0000007f" ] || fail "raw --force replied '$out'"
wait $server; code=$?
[ $code -eq 253 ] || fail "after raw --force 2 the server exited $code, not 253 (-3)"
ctl status >/dev/null 2>&1 && fail "status still shows the ended server"
echo "tools ctl: ok"
