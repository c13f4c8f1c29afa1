#!/usr/bin/env bash
# Bad arguments give exit status 2 and a usage hint, never a crash; --help shows examples.
source "$(dirname "$0")/lib.sh" "$1" 62
expect2() {
  "$@" >"$work/out" 2>&1; local rc=$?
  [ $rc -eq 2 ] || fail "'$*' exited $rc, not 2: $(cat "$work/out")"
  grep -qiE 'usage|--help' "$work/out" || fail "'$*' printed no usage hint"
}
expect2 "$bin/kqvxi-monitor" --bogus
expect2 "$bin/kqvxi-monitor" --level 300:1
expect2 "$bin/kqvxi-monitor" --level 3
expect2 "$bin/kqvxi-monitor" --class 11
expect2 "$bin/kqvxi-monitor" -c 70000
expect2 "$bin/kqvxi-inject"
expect2 "$bin/kqvxi-inject" level x 1 1
expect2 "$bin/kqvxi-inject" class 9 1
expect2 "$bin/kqvxi-inject" channel 0 1 70000
expect2 "$bin/kqvxi-ctl"
expect2 "$bin/kqvxi-ctl" raw 1 2
expect2 "$bin/kqvxi-ctl" raw --force 2 0xDEAD0007
expect2 "$bin/kqvxi-ctl" status --bogus
for t in kqvxi-monitor kqvxi-inject kqvxi-ctl; do
  "$bin/$t" --help >"$work/out" 2>&1 || fail "$t --help failed"
  grep -q Examples "$work/out" || fail "$t --help shows no examples"
done
# --version names the tool and the release, and exits 0 even where a subcommand
# would be required.
release=$(sed -n 's/^#define KQVXI_VERSION_STRING "\(.*\)"$/\1/p' "$bin/../include/kqvxi/version.h")
[ -n "$release" ] || fail "no release in $bin/../include/kqvxi/version.h"
for t in kqvxi-monitor kqvxi-inject kqvxi-ctl; do
  out=$("$bin/$t" --version) || fail "$t --version failed"
  [ "$out" = "$t $release" ] || fail "$t --version printed '$out', not '$t $release'"
done
echo "tools usage: ok"
