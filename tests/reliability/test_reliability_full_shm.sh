#!/usr/bin/env bash
# A full file system under the objects: the real server and clients on a small
# private tmpfs (a mount namespace of this test's own). Filling it must never
# kill anyone with SIGBUS: a client whose objects cannot be created fails with
# an error, and the server, whose registration then cannot create the client's
# block, ends as it does for any failed open (-3, 253).
# Usage: test_reliability_full_shm.sh <bin dir>. Root only (exit 77 otherwise).
set -u
bin=$1
if [ "$(id -u)" -ne 0 ] || ! command -v unshare >/dev/null; then
  echo "SKIPPED: needs root and unshare"
  exit 77
fi
exec unshare --mount --propagation private bash -s "$bin" <<'INNER'
set -u
bin=$1
base=$(mktemp -d)
trap 'umount "$base" 2>/dev/null; rm -rf "$base"' EXIT
mount -t tmpfs -o size=2m tmpfs "$base" || { echo "SKIPPED: cannot mount a tmpfs"; exit 77; }
export KQVXI_SHM_DIR=$base
ctl=71
fail() { echo "FAIL: $*"; exit 1; }

"$bin/kqvxi-server" $ctl &
server=$!
for _ in $(seq 1 100); do
  "$bin/kqvxi-ctl" -c $ctl -t 200 sweep >/dev/null 2>&1 && break
  sleep 0.05
done
"$bin/kqvxi-ctl" -c $ctl -t 500 sweep >/dev/null || fail "the server does not answer"

# A first client, registered while there is room: it keeps the request
# channel's objects of the controller open, so later requests need none.
"$bin/kqvxi-monitor" -c $ctl --class 0 --timeout 5 >"$base.first" 2>&1 &
first=$!
for _ in $(seq 1 100); do
  [ "$("$bin/kqvxi-ctl" -c $ctl -t 500 sweep 2>/dev/null | awk '{print $2}')" = 1 ] && break
  sleep 0.05
done

# Fill what is left, beside the object directory.
dd if=/dev/zero of="$base/filler" bs=4k >/dev/null 2>&1
echo "free after filling: $(df --output=avail -k "$base" | tail -1) KiB"

# A second client now: its register reaches the server (the channel's objects
# exist), but neither the server nor the client can create its block.
"$bin/kqvxi-monitor" -c $ctl --class 0 --count 1 --timeout 2 >"$base.out" 2>&1
mon=$?
echo "monitor exit $mon: $(head -c 300 "$base.out" | tr '\n' ' ')"
[ "$mon" -ne 135 ] && [ "$mon" -lt 128 ] || fail "the monitor was killed by a signal ($mon)"
[ "$mon" -ne 0 ] || fail "the monitor reported success without its objects"

for _ in $(seq 1 100); do
  kill -0 $server 2>/dev/null || break
  sleep 0.05
done
if kill -0 $server 2>/dev/null; then
  # The registration did not reach the server (the client failed first): it must
  # still serve, and stop cleanly once there is room again.
  rm -f "$base/filler"
  "$bin/kqvxi-ctl" -c $ctl -t 1000 stop >/dev/null || fail "the server does not answer after the fill"
  wait $server; code=$?
  echo "server exit $code after the stop"
  [ "$code" -eq 0 ] || fail "server exit $code"
else
  wait $server; code=$?
  echo "server exit $code"
  [ "$code" -ne 135 ] || fail "the server died of SIGBUS"
  [ "$code" -eq 253 ] || fail "server exit $code, expected 253 (a failed open at registration)"
fi
wait $first; firstCode=$?
echo "first monitor exit $firstCode"
[ "$firstCode" -lt 128 ] || fail "the first monitor was killed by a signal ($firstCode)"
echo "PASS"
INNER
