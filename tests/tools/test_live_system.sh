#!/usr/bin/env bash
# A live system on this machine is left alone by the tools' tests and the demo's
# test. The live system is a server for controller 0 with a monitor attached, in a
# namespace of its own ("live-<pid>", so that two runs at once do not share it),
# started here. The scripts run meanwhile as ctest runs them, each in a namespace
# of its own. Afterwards the live server still runs and still has the one client,
# and its monitor printed nothing but the one event injected for it at the end.
set -u
bin=$1
here=$(cd "$(dirname "$0")" && pwd)
live=live-$$
pids=()
work=$(mktemp -d)
fail() { echo "FAIL: $*"; exit 1; }
cleanup() { for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null; done; rm -rf "$work"; }
trap cleanup EXIT
# Runs a command in the live system's namespace (not for background processes,
# whose $! would then be a subshell's).
L() { KQVXI_NAMESPACE=$live "$@"; }
clients() { L "$bin/kqvxi-ctl" -c 0 -t 2000 sweep 2>/dev/null | awk '{print $2}'; }

KQVXI_NAMESPACE=$live "$bin/kqvxi-server" 0 &
server=$!; pids+=("$server")
for _ in $(seq 1 100); do
  L "$bin/kqvxi-ctl" -c 0 -t 200 sweep >/dev/null 2>&1 && break
  sleep 0.05
done
KQVXI_NAMESPACE=$live "$bin/kqvxi-monitor" -c 0 --json --class all --level 3:0x7f --source 3:0x2 --channel 0:50 \
  >"$work/live.out" 2>"$work/live.err" &
monitor=$!; pids+=("$monitor")
for _ in $(seq 1 100); do
  [ "$(clients)" = 1 ] && grep -q registered "$work/live.err" && break
  sleep 0.05
done
before=$(clients)
[ "$before" = 1 ] || fail "the live system did not come up (clients: '$before')"

for t in test_tools_usage test_tools_roundtrip test_tools_ctl test_demo; do
  KQVXI_NAMESPACE=kqtest-live-$t-$$ bash "$here/$t.sh" "$bin" >"$work/$t.log" 2>&1 \
    || { cat "$work/$t.log"; fail "$t failed beside the live system"; }
  echo "$t beside the live system: ok"
done

kill -0 "$server" 2>/dev/null || fail "the live server has ended"
kill -0 "$monitor" 2>/dev/null || fail "the live monitor has ended: $(cat "$work/live.err")"
after=$(clients)
[ "$after" = "$before" ] || fail "live client count $before before, '$after' after"
# The monitor saw nothing meanwhile; the one event injected now arrives alone.
[ ! -s "$work/live.out" ] || fail "the live monitor received what it did not ask for: $(head -n 5 "$work/live.out")"
L "$bin/kqvxi-inject" -q -c 0 class 2 0 >/dev/null || fail "inject into the live system refused"
for _ in $(seq 1 100); do [ -s "$work/live.out" ] && break; sleep 0.05; done
kill -INT "$monitor"; wait "$monitor" || fail "live monitor exit status $?"
python3 - "$work/live.out" <<'PY' || fail "live monitor output: $(cat "$work/live.out")"
import json, sys
recs = [json.loads(l) for l in open(sys.argv[1]) if l.strip()]
names = [r["name"] for r in recs if r["name"] != "unregistered"]
assert names == ["class2"], names
PY
L "$bin/kqvxi-ctl" -c 0 stop >/dev/null || fail "live stop got no reply"
wait "$server"; code=$?
pids=()
[ "$code" -eq 0 ] || fail "live server exit code $code"
echo "live system: untouched (1 client before and after, monitor got only its own event)"
