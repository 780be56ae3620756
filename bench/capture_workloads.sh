#!/usr/bin/env bash
# The desktop host's figures: each workload of the shared workload program (static, typing,
# scroll, video) on a private 1280x800x24 Xvfb while "vtxtool capture --stream" runs, with the
# program's default settings (8-bit colour, one block, no budget, 16 ms pacing) and with 32-bit
# colour. Prints a table: CPU seconds of the capture process and of Xvfb, update bytes per
# second, updates per second.
#   capture_workloads.sh VTXTOOL [SECONDS] [WORKLOAD_C]
set -euo pipefail
tool=$1
seconds=${2:-20}
source=${3:-$(dirname "$0")/../../shared/bench/workload.c}
dir=$(mktemp -d)
xpid=
cleanup() {
  [ -n "$xpid" ] && kill "$xpid" 2>/dev/null && wait "$xpid" 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT

cc -O2 -Wall -o "$dir/workload" "$source" -lX11
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$dir/display" 2>/dev/null &
xpid=$!
for _ in $(seq 100); do grep -q . "$dir/display" 2>/dev/null && break; sleep 0.1; done
export DISPLAY=":$(head -n1 "$dir/display")"
tck=$(getconf CLK_TCK)
cpu() { awk -v t="$tck" '{ printf "%.2f", ($14 + $15) / t }' "/proc/$1/stat"; }

printf '| workload | colour | capture CPU s | Xvfb CPU s | update bytes/s | updates/s |\n'
printf '|---|---|---|---|---|---|\n'
for mode in static typing scroll video; do
  for bpp in 1 4; do
    "$dir/workload" "$mode" "$seconds" --wait-signal >"$dir/ready" 2>/dev/null &
    wpid=$!
    for _ in $(seq 100); do grep -q ready "$dir/ready" 2>/dev/null && break; sleep 0.1; done
    x0=$(cpu "$xpid")
    kill -USR1 "$wpid"
    /usr/bin/time -f "%U %S" -o "$dir/time" "$tool" capture --bpp-limit "$bpp" --stream "$seconds" \
      >/dev/null 2>"$dir/stats"
    x1=$(cpu "$xpid")
    wait "$wpid" || true
    capcpu=$(awk '{ printf "%.2f", $1 + $2 }' "$dir/time")
    line=$(grep "screen updates" "$dir/stats")
    ups=$(sed -E 's/.*screen updates \(([0-9.]+)\/s\).*/\1/' <<<"$line")
    bps=$(sed -E 's/.* bytes \(([0-9.]+)\/s\).*/\1/' <<<"$line")
    colour=$([ "$bpp" = 1 ] && echo 8-bit || echo 32-bit)
    xcpu=$(awk -v a="$x0" -v b="$x1" 'BEGIN { printf "%.2f", b - a }')
    printf '| %s | %s | %s | %s | %s | %s |\n' "$mode" "$colour" "$capcpu" "$xcpu" "$bps" "$ups"
  done
done
