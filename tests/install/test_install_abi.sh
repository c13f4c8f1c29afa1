#!/usr/bin/env bash
# The client library's ABI as built: libkqvxi.so.1 (SONAME libkqvxi.so.1, reached
# through libkqvxi.so) exports kqvxi_* and nothing else, so no symbol of the
# archives linked into it can collide with a program's own; the Windows legs'
# kqvxi.dll (when build/win64 or build/win32 holds one) likewise, beside its
# import library libkqvxi.dll.a.
# Arguments: the built library (the real file), the source root.
lib=$1
root=$2
fail() { echo "FAIL: $*"; exit 1; }
dir=$(dirname "$lib")
[ -f "$lib" ] || fail "no library $lib"
soname=$(readelf -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = libkqvxi.so.1 ] || fail "SONAME is '$soname', not libkqvxi.so.1"
[ "$(readlink "$dir/libkqvxi.so.1")" = "$(basename "$lib")" ] || fail "libkqvxi.so.1 does not name $(basename "$lib")"
[ "$(readlink "$dir/libkqvxi.so")" = libkqvxi.so.1 ] || fail "libkqvxi.so does not name libkqvxi.so.1"

# Only kqvxi_*; the calls every client needs are among them.
check_names() {
  local what=$1 names=$2
  [ -n "$names" ] || fail "$what exports nothing"
  local stray
  stray=$(grep -v '^kqvxi_' <<<"$names")
  [ -z "$stray" ] || fail "$what exports more than kqvxi_*: $(head -n 10 <<<"$stray" | tr '\n' ' ')"
  for f in kqvxi_request kqvxi_queue_open kqvxi_server_status; do
    grep -qx "$f" <<<"$names" || fail "$what does not export $f"
  done
  echo "abi: $what exports $(wc -l <<<"$names") symbols, all kqvxi_*"
}
check_names "$(basename "$lib")" "$(nm -D --defined-only "$lib" | awk 'NF >= 3 { print $3 }')"

# The DLLs' export tables, read with the cross objdump (names after the
# "[Ordinal/Name Pointer] Table" heading, up to the blank line that ends it).
found=0
for leg in win64=x86_64-w64-mingw32-objdump win32=i686-w64-mingw32-objdump; do
  dll=$root/build/${leg%%=*}/bin/kqvxi.dll
  objdump=${leg#*=}
  [ -f "$dll" ] || continue
  command -v "$objdump" >/dev/null || { echo "abi: $objdump not installed, $dll not checked"; continue; }
  found=1
  [ -f "$root/build/${leg%%=*}/lib/libkqvxi.dll.a" ] || fail "no import library libkqvxi.dll.a beside $dll"
  names=$("$objdump" -p "$dll" | awk '/\[Ordinal\/Name Pointer\] Table/ { on = 1; next }
                                      on && NF == 0 { on = 0 }
                                      on { print $NF }')
  check_names "${leg%%=*} kqvxi.dll" "$names"
done
[ "$found" = 1 ] || echo "abi: no Windows build found (build/win64, build/win32), DLLs not checked"
echo "abi: ok"
