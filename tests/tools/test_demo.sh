#!/usr/bin/env bash
# The README's main job runs to completion and shows a line of every class.
bin=$1
out=$(mktemp)
before=$(ls /dev/shm | grep '^kqvxi\.' | sort)
KQVXI_BIN=$bin "$(dirname "$0")/../../scripts/demo" >"$out" 2>&1 || { cat "$out"; echo "FAIL: demo failed"; exit 1; }
for name in class0 class1 class2 class3 class4 class5 source level source-level channel; do
  grep -qE "^ +[0-9.]+  $name |\"name\":\"$name\"" "$out" || { cat "$out"; echo "FAIL: no $name line"; exit 1; }
done
grep -q "exit code: 0" "$out" || { cat "$out"; echo "FAIL: server exit code"; exit 1; }
# Every process the demo started has ended and let go of its named objects. Only
# this build's programs count: other builds on the machine may run their own.
for p in $(pgrep -x kqvxi-server; pgrep -x kqvxi-monitor); do
  case "$(readlink -f "/proc/$p/exe" 2>/dev/null)" in
    "$(readlink -f "$bin")"/*) echo "FAIL: processes left"; exit 1 ;;
  esac
done
left=$(comm -13 <(echo "$before") <(ls /dev/shm | grep '^kqvxi\.' | sort))
[ -z "$left" ] || { echo "FAIL: named objects left behind: $left"; exit 1; }
rm -f "$out"
echo "demo: ok"
