#!/usr/bin/env bash
# The README's main job runs to completion and shows a line of every class, on a
# controller of its own (the demo's argument), leaving nothing behind.
bin=$1
out=$(mktemp)
ctlnum=63
objdir=$("$bin/kq-object-dir") || { echo "FAIL: no object directory"; exit 1; }
before=$(ls "$objdir" | sort)
KQVXI_BIN=$bin "$(dirname "$0")/../../scripts/demo" "$ctlnum" >"$out" 2>&1 || { cat "$out"; echo "FAIL: demo failed"; exit 1; }
grep -q "starting kqvxi-server $ctlnum\$" "$out" || { cat "$out"; echo "FAIL: the demo did not take controller $ctlnum"; exit 1; }
for name in class0 class1 class2 class3 class4 class5 source level source-level channel; do
  grep -qE "^ +[0-9.]+  $name |\"name\":\"$name\"" "$out" || { cat "$out"; echo "FAIL: no $name line"; exit 1; }
done
grep -q "exit code: 0" "$out" || { cat "$out"; echo "FAIL: server exit code"; exit 1; }
# Every process the demo started has ended and let go of its named objects. Only
# this build's programs of this test's namespace count: other builds and other
# tests on the machine may run their own servers meanwhile.
ours() {
  case "$(readlink -f "/proc/$1/exe" 2>/dev/null)" in
    "$(readlink -f "$bin")"/*) ;;
    *) return 1 ;;
  esac
  local ns
  ns=$(tr '\0' '\n' <"/proc/$1/environ" 2>/dev/null | sed -n 's/^KQVXI_NAMESPACE=//p')
  [ "$ns" = "${KQVXI_NAMESPACE:-}" ]
}
for p in $(pgrep -x kqvxi-server; pgrep -x kqvxi-monitor); do
  ours "$p" && { echo "FAIL: processes left: $p"; exit 1; }
done
left=$(comm -13 <(echo "$before") <(ls "$objdir" | sort))
[ -z "$left" ] || { echo "FAIL: named objects left behind in $objdir: $left"; exit 1; }
rm -f "$out"
echo "demo: ok"
