#!/usr/bin/env bash
# cmake --install puts a usable tree in place: a consumer builds and runs against it
# through find_package(kqvxi) and through pkg-config.
build=$1
src=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
cmake --install "$build" --prefix "$work/prefix" >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "install"; }
for f in bin/kqvxi-server bin/kqvxi-monitor bin/kqvxi-inject bin/kqvxi-ctl include/kqvxi/client.h \
         lib/pkgconfig/kqvxi.pc lib/cmake/kqvxi/kqvxiConfig.cmake "lib/systemd/system/kqvxi-server@.service"; do
  [ -e "$work/prefix/$f" ] || fail "missing $f"
done
cmake -S "$src/consumer" -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >"$work/c.log" 2>&1 \
  && cmake --build "$work/consumer" >>"$work/c.log" 2>&1 || { cat "$work/c.log"; fail "find_package consumer build"; }
"$work/consumer/consumer" || fail "find_package consumer run"
PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig" cc "$src/consumer/main.c" -o "$work/pc-consumer" \
  $(PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig" pkg-config --cflags --libs kqvxi) || fail "pkg-config build"
"$work/pc-consumer" || fail "pkg-config consumer run"
"$work/prefix/bin/kqvxi-ctl" --help >/dev/null || fail "installed tool does not run"
echo "install: ok"
