#!/usr/bin/env bash
# Black-box check of "vtxtool pack" and "vtxtool unpack" on small inputs.
set -euo pipefail
tool=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

hex() { od -An -tx1 -v | tr -d ' \n'; }
expect() {  # expect NAME ACTUAL WANTED
  if [ "$2" != "$3" ]; then echo "$1: got '$2', want '$3'" >&2; exit 1; fi
}

printf '\x11\x22\x33\x44\x11\x22\x33\x44' >"$dir/run"
expect "pack image" "$("$tool" pack image <"$dir/run" | hex)" "f60211223344"

head -c 42 /dev/zero >"$dir/prev"
{ head -c 41 /dev/zero; printf '\x05'; } >"$dir/cur"
expect "pack delta" "$("$tool" pack delta "$dir/prev" <"$dir/cur" | hex)" "0a00020005"
expect "pack delta unchanged" "$("$tool" pack delta "$dir/prev" <"$dir/prev" | wc -c)" "0"
expect "pack linedelta unchanged" "$("$tool" pack linedelta "$dir/prev" <"$dir/prev" | wc -c)" "0"
expect "pack linedelta" "$("$tool" pack linedelta "$dir/prev" <"$dir/cur" | hex)" "03030002000a00020005"

printf '\x01\x02\x03\x04\x05\x06\x07\x08\x0a\x0b\x0c\x0d\x0a\x0b\x0c\x0d' >"$dir/line"
printf '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x34\x34\x34\x34\x34\x34\x34\xab' >>"$dir/line"
expect "pack line" "$("$tool" pack line <"$dir/line" | hex)" \
  "0009000f00fd0202fa02fa0200010102030405060708""0a0b0c0d0034ab"

# Unpacking gives the packed bytes back, over any previous content.
head -c 33 /dev/urandom >"$dir/noise"
"$tool" pack image <"$dir/line" >"$dir/full"
expect "unpack image" "$("$tool" unpack image "$dir/noise" <"$dir/full" | hex)" "$(hex <"$dir/line")"
"$tool" pack line <"$dir/line" >"$dir/rec"
expect "unpack line" "$("$tool" unpack line "$dir/noise" <"$dir/rec" | hex)" "$(hex <"$dir/line")"
"$tool" pack delta "$dir/prev" <"$dir/cur" >"$dir/delta"
expect "unpack delta" "$("$tool" unpack image "$dir/prev" <"$dir/delta" | hex)" "$(hex <"$dir/cur")"
"$tool" pack linedelta "$dir/prev" <"$dir/cur" >"$dir/ldelta"
expect "unpack linedelta" "$("$tool" unpack line "$dir/prev" <"$dir/ldelta" | hex)" "$(hex <"$dir/cur")"

# A stream that writes outside the image is refused with a message and a failure status.
printf '\xfd\x02\x01\x02\x03\x04\x05\x06\x07\x08' >"$dir/bad"
head -c 4 /dev/zero >"$dir/small"
if "$tool" unpack image "$dir/small" <"$dir/bad" >"$dir/out" 2>"$dir/err"; then
  echo "unpack accepted a stream that overruns the image" >&2; exit 1
fi
grep -q "runs past the end" "$dir/err" || { cat "$dir/err" >&2; exit 1; }
echo "vtxtool pack/unpack: ok"
