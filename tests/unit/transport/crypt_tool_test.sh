#!/usr/bin/env bash
# Black-box checks of "vtxtool crypt" and "vtxtool decrypt". Argument: the vtxtool binary.
set -euo pipefail
tool=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

printf 'abcdef' | "$tool" crypt --key-hex 736563726574 | od -An -tx1 | tr -d ' \n' >"$tmp/out"
[ "$(cat "$tmp/out")" = e5b813655b5f ] || fail "known vector: $(cat "$tmp/out")"

head -c 5000 /dev/urandom >"$tmp/plain"
"$tool" crypt --key-hex 00ff10 <"$tmp/plain" >"$tmp/whole"
"$tool" crypt --key-hex 00FF10 --chunks 1,0,7,100,3 <"$tmp/plain" >"$tmp/split"
cmp -s "$tmp/whole" "$tmp/split" || fail "chunking changed the output"
"$tool" decrypt --key-hex 00ff10 --chunks 9,9 <"$tmp/whole" >"$tmp/back"
cmp -s "$tmp/plain" "$tmp/back" || fail "decrypt(crypt(x)) != x"
cmp -s "$tmp/plain" "$tmp/whole" && fail "ciphertext equals plaintext"
"$tool" crypt --key-hex "" <"$tmp/plain" >"$tmp/same"
cmp -s "$tmp/plain" "$tmp/same" || fail "empty key changed the data"

expect_usage_error() {
  local status=0
  "$tool" "$@" </dev/null >/dev/null 2>"$tmp/err" || status=$?
  [ "$status" -eq 2 ] || fail "'$*' exited $status, expected 2"
  [ -s "$tmp/err" ] || fail "'$*' printed no error"
}
expect_usage_error crypt --key-hex abc
expect_usage_error crypt --key-hex zz
expect_usage_error crypt
expect_usage_error decrypt --key-hex 00 --chunks 1,,2
expect_usage_error decrypt --key-hex 00 --chunks -1
expect_usage_error crypt --key-hex 00 --chunks
expect_usage_error crypt --key-hex 00 --bogus
echo ok
