# Shared helpers of the tool tests: a server on a controller of the test's own,
# and cleanup of every process a test started.
set -u
bin=$1
ctlnum=$2
pids=()
fail() { echo "FAIL: $*"; exit 1; }
cleanup() { for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null; done; rm -rf "$work"; }
work=$(mktemp -d)
trap cleanup EXIT
start_server() {
  "$bin/kqvxi-server" "$ctlnum" &
  server=$!
  pids+=("$server")
  for _ in $(seq 1 100); do
    "$bin/kqvxi-ctl" -c "$ctlnum" -t 200 sweep >/dev/null 2>&1 && return 0
    sleep 0.05
  done
  fail "server for controller $ctlnum does not answer"
}
stop_server() {
  "$bin/kqvxi-ctl" -c "$ctlnum" stop >/dev/null || fail "stop got no reply"
  wait "$server"; local code=$?
  [ "$code" -eq 0 ] || fail "server exit code $code"
}
wait_clients() {
  for _ in $(seq 1 100); do
    n=$("$bin/kqvxi-ctl" -c "$ctlnum" sweep | awk '{print $2}')
    [ "$n" = "$1" ] && return 0
    sleep 0.05
  done
  fail "client count never reached $1 (last $n)"
}
