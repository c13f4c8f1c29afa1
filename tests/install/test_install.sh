#!/usr/bin/env bash
# cmake --install puts a usable tree in place: the client library as
# libkqvxi.so.1 with its links and the public headers; a consumer builds and runs
# against it through find_package(kqvxi) (kqvxi::kqvxi, and the older
# kqvxi::client) and through pkg-config (-lkqvxi; the file names the absolute
# prefix and forces no run path); the systemd units name the prefix installed to,
# pass `systemd-analyze verify` and keep their exposure under 3.0; the exit-status
# helper puts each exit code into words; the manual pages render.
build=$1
src=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "install"; }
units=$prefix/lib/systemd/system
for f in bin/kqvxi-server bin/kqvxi-monitor bin/kqvxi-inject bin/kqvxi-ctl include/kqvxi/client.h \
         include/kqvxi/kqvxi.h include/kqvxi/api.h lib/libkqvxi.so lib/libkqvxi.so.1 \
         include/kqvxi/version.h lib/pkgconfig/kqvxi.pc lib/cmake/kqvxi/kqvxiConfig.cmake \
         "lib/systemd/system/kqvxi-server@.service" "lib/systemd/system/kqvxi-sweep@.service" \
         "lib/systemd/system/kqvxi-sweep@.timer" lib/sysusers.d/kqvxi.conf libexec/kqvxi/kqvxi-exit-status \
         share/doc/kqvxi/LICENSE share/doc/kqvxi/CHANGELOG.md share/doc/kqvxi/operator-guide.md \
         share/doc/kqvxi/client-guide.md; do
  [ -e "$prefix/$f" ] || fail "missing $f"
done

# pkg-config: the absolute prefix, nothing relative, no forced run path.
pc=$prefix/lib/pkgconfig/kqvxi.pc
grep -qx "prefix=$prefix" "$pc" || fail "kqvxi.pc: prefix is not $prefix: $(grep '^prefix=' "$pc")"
! grep -q '\.\.' "$pc" || fail "kqvxi.pc has a '..' segment"
! grep -q 'rpath' "$pc" || fail "kqvxi.pc forces a run path"
grep -qx 'Libs: -L${libdir} -lkqvxi' "$pc" || fail "kqvxi.pc: Libs is $(grep '^Libs:' "$pc")"
soname=$(readelf -d "$prefix/lib/libkqvxi.so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = libkqvxi.so.1 ] || fail "installed SONAME is '$soname'"

cmake -S "$src/consumer" -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >"$work/c.log" 2>&1 \
  && cmake --build "$work/consumer" >>"$work/c.log" 2>&1 || { cat "$work/c.log"; fail "find_package consumer build"; }
"$work/consumer/consumer" || fail "find_package consumer run"
"$work/consumer/consumer_old_name" || fail "find_package consumer through kqvxi::client run"
readelf -d "$work/consumer/consumer" | grep -q 'NEEDED.*\[libkqvxi\.so\.1\]' \
  || fail "the consumer does not need libkqvxi.so.1: $(readelf -d "$work/consumer/consumer" | grep NEEDED)"
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
cc "$src/consumer/main.c" -o "$work/pc-consumer" $(pkg-config --cflags --libs kqvxi) || fail "pkg-config build"
LD_LIBRARY_PATH="$(pkg-config --variable=libdir kqvxi)" "$work/pc-consumer" || fail "pkg-config consumer run"
"$prefix/bin/kqvxi-ctl" --help >/dev/null || fail "installed tool does not run"

# The units name the prefix installed to, not the one configured.
grep -qx "ExecStart=$prefix/bin/kqvxi-server %i" "$units/kqvxi-server@.service" \
  || fail "unit: $(grep '^ExecStart=' "$units/kqvxi-server@.service")"
grep -qx "ExecStopPost=$prefix/libexec/kqvxi/kqvxi-exit-status %i" "$units/kqvxi-server@.service" \
  || fail "unit: $(grep '^ExecStopPost=' "$units/kqvxi-server@.service")"
grep -qx "ExecStart=$prefix/bin/kqvxi-ctl -c %i sweep" "$units/kqvxi-sweep@.service" || fail "sweep unit's ExecStart"
grep -q '^User=.' "$units/kqvxi-server@.service" || fail "unit has no User="
grep -qx 'LimitRTPRIO=99' "$units/kqvxi-server@.service" || fail "unit does not allow real-time priority"
! grep -qE '^(PrivateDevices|PrivateIPC|RestrictRealtime)=yes' "$units/kqvxi-server@.service" \
  || fail "unit takes away /dev/shm, IPC or real-time priority, which the server needs"

# The manual pages are built when pandoc was found at configure time.
pages=yes
if [ ! -d "$build/man" ]; then
  echo "install: manual pages not built (no pandoc at configure time), not checked"
  pages=no
elif ! command -v man >/dev/null; then
  echo "install: man not installed, manual pages not rendered"
  pages=no
fi

if command -v systemd-analyze >/dev/null; then
  # Offline checks of the files themselves; the manual pages the units name are
  # looked up in the installed tree.
  MANPATH="$prefix/share/man" systemd-analyze verify --man=$pages "$units/kqvxi-server@.service" \
    "$units/kqvxi-sweep@.service" "$units/kqvxi-sweep@.timer" >"$work/verify.log" 2>&1 \
    || { cat "$work/verify.log"; fail "systemd-analyze verify"; }
  for u in kqvxi-server kqvxi-sweep; do
    cp "$units/$u@.service" "$work/$u@0.service"
    out=$(systemd-analyze security --offline=true "$work/$u@0.service" 2>&1)
    exposure=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p' <<<"$out")
    echo "install: $u@0.service exposure $exposure"
    [ -n "$exposure" ] || { echo "$out"; fail "no exposure figure for $u"; }
    awk -v e="$exposure" 'BEGIN { exit !(e < 3.0) }' || { echo "$out"; fail "$u exposure $exposure is not under 3.0"; }
  done
else
  echo "install: systemd-analyze not found, units not verified"
fi

# The exit-status helper, as systemd runs it (environment) and by hand (arguments).
say() { "$prefix/libexec/kqvxi/kqvxi-exit-status" "$@"; }
expect() {
  local text=$1; shift
  local got; got=$(say "$@") || fail "helper exited non-zero for $*"
  [[ "$got" == *"$text"* ]] || fail "helper for $*: '$got' lacks '$text'"
}
expect "kqvxi-server@3: stopped on request" 3 exited 0
expect "start-up failure" 0 exited 255
expect "wake event" 0 exited 255
expect "request channel failure" 0 exited 254
expect "a client command failed" 0 exited 253
expect "unexpected exit status 7" 0 exited 7
expect "killed by signal SIGKILL" 0 killed KILL
expect "core dumped" 0 dumped SEGV
got=$(EXIT_CODE=exited EXIT_STATUS=254 say 1) || fail "helper with systemd's environment"
[[ "$got" == "kqvxi-server@1: request channel failure"* ]] || fail "helper from the environment: '$got'"

# The manual pages render from the installed tree, by file and through MANPATH.
if [ "$pages" = yes ]; then
  for t in kqvxi-server kqvxi-monitor kqvxi-inject kqvxi-ctl; do
    page=$prefix/share/man/man1/$t.1
    [ -f "$page" ] || fail "no manual page $page"
    man -l "$page" 2>/dev/null | grep -q "^NAME" || fail "man -l $page does not render"
    MANPATH="$prefix/share/man" man -P cat "$t" 2>/dev/null | grep -q "$t" || fail "man $t through MANPATH"
    # man finds the pages beside the programs on PATH, as a user of the tree would.
    [ "$(env -u MANPATH PATH="$prefix/bin:$PATH" man -w "$t" 2>/dev/null)" = "$page" ] || fail "man $t through PATH"
  done
  # The client library's page, in section 3.
  page=$prefix/share/man/man3/kqvxi.3
  man -l "$page" 2>/dev/null | grep -q "kqvxi_client_open" || fail "man -l $page does not render"
  MANPATH="$prefix/share/man" man -P cat 3 kqvxi 2>/dev/null | grep -q "kqvxi_client_read" || fail "man 3 kqvxi through MANPATH"
fi
echo "install: ok"
