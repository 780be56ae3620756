#!/usr/bin/env bash
# Black-box check of "vtxtool capture" on a private Xvfb.
set -euo pipefail
tool=$1
dir=$(mktemp -d)
pid=
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT
fail() { echo "$*" >&2; exit 1; }

Xvfb -displayfd 3 -screen 0 200x120x24 -nolisten tcp 3>"$dir/display" 2>/dev/null &
pid=$!
for _ in $(seq 100); do grep -q . "$dir/display" 2>/dev/null && break; sleep 0.1; done
export DISPLAY=":$(head -n1 "$dir/display")"
[ "$DISPLAY" != ":" ] || fail "Xvfb did not start"

"$tool" capture --bpp-limit 4 --blocks 3 --png "$dir/screen.png"
[ "$(head -c 8 "$dir/screen.png" | od -An -tx1 | tr -d ' \n')" = "89504e470d0a1a0a" ] ||
  fail "not a PNG file"
"$tool" capture --stream 1 --pacing 50 >"$dir/stream" 2>"$dir/stats"
grep -q "screen updates" "$dir/stats" || fail "no statistics: $(cat "$dir/stats")"
[ -s "$dir/stream" ] || fail "no updates streamed"
grep -q "desk" "$dir/stream" || fail "the stream holds no desk messages"

# Bad settings and a missing display are clear errors.
for bad in "--blocks 13" "--budget -1" "--bpp-limit x" "--stream" "--frobnicate"; do
  # shellcheck disable=SC2086
  if "$tool" capture $bad --png "$dir/x.png" 2>"$dir/err"; then fail "accepted: $bad"; fi
  [ -s "$dir/err" ] || fail "no message for: $bad"
done
if DISPLAY=:65000 "$tool" capture --png "$dir/x.png" 2>"$dir/err"; then fail "no display accepted"; fi
grep -q "cannot read the display" "$dir/err" || fail "message: $(cat "$dir/err")"
echo "vtxtool capture: ok"
