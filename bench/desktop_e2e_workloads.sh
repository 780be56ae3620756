#!/usr/bin/env bash
# The whole desktop path: each workload of the shared workload program (static, typing, scroll,
# video) on a private 1280x800x24 Xvfb, shared by "vtxtool host" through a real gateway on
# loopback to one console in session mode, at the default settings and at 32-bit colour. Prints
# a table: CPU seconds of host, gateway and console, bytes the console read per second, screen
# updates the console applied per second, and the frame-to-screen latency (median and 99th
# percentile, ms). For the latency a marker client (latency_marker.c) watches the screen's
# damage and, right after each workload frame, draws the next frame number into the title bar,
# logging when it saw the frame; the console logs when its image first shows each number
# (--latency-probe). A frame's latency is the time until the console shows it or a later one.
#   desktop_e2e_workloads.sh BUILD_DIR [SECONDS] [WORKLOAD_C]
# Environment: WORKLOADS (default "static typing scroll video"), HOST_TOOL (the vtxtool that
# hosts; default BUILD_DIR's, e.g. a baseline build's for before/after runs).
set -euo pipefail
build=$1
seconds=${2:-20}
source=${3:-$(dirname "$0")/../../shared/bench/workload.c}
dir=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT

cc -O2 -Wall -o "$dir/workload" "$source" -lX11
cc -O2 -Wall -o "$dir/marker" "$(dirname "$0")/latency_marker.c" -lX11 -lXdamage -lXfixes
probe=1176,8
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$dir/display" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do grep -q . "$dir/display" 2>/dev/null && break; sleep 0.1; done
export DISPLAY=":$(head -n1 "$dir/display")"
tck=$(getconf CLK_TCK)
cpu() { awk -v t="$tck" '{ printf "%.2f", ($14 + $15) / t }' "/proc/$1/stat"; }
# Bytes received so far on the process's open TCP connections.
rchar() {
  ss -tinpH state established 2>/dev/null | awk -v p="pid=$1," '
    index($0, p) { want = 1; next }
    want { for (i = 1; i <= NF; i++) if ($i ~ /^bytes_received:/) { split($i, a, ":"); n += a[2] } want = 0 }
    END { print n + 0 }'
}
sub() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }
rate() { awk -v a="$1" -v b="$2" -v s="$seconds" 'BEGIN { printf "%.0f", (b - a) / s }'; }
# Median and 99th percentile (ms) of the marker frames' latencies; "- -" without any.
latency() {
  awk 'NR == FNR { if ($1 == "marker") { k++; n[k] = $2; t[k] = $3 } next }
    $1 == "latency-probe" { m++; pt[m] = $2; pv[m] = $3 }
    END { j = 1
      for (i = 1; i <= k; i++) {
        while (j <= m && pv[j] < n[i]) j++
        if (j > m) break
        printf "%.3f\n", (pt[j] - t[i]) / 1e6 } }' "$dir/marker.log" "$dir/probe.log" | sort -n |
    awk '{ a[NR] = $1 } END { if (NR == 0) { print "- -"; exit }
      p = int(NR * 0.99); if (p < NR * 0.99) p++
      printf "%.0f %.0f\n", a[int((NR + 1) / 2)], a[p] }'
}
updates() { grep -o '"updates":[0-9]*' "$dir/console.out" | tail -n1 | cut -d: -f2; }

"$build/gateway/vorantelix-gateway" --listen 127.0.0.1:0 --threads 2 --login-password pw \
  --secure-key key --db :memory: --trust-shared-password >"$dir/gw.out" 2>/dev/null &
gpid=$!
pids+=($gpid)
for _ in $(seq 100); do grep -q ready "$dir/gw.out" 2>/dev/null && break; sleep 0.1; done
port=$(sed -n 's/.*127.0.0.1://p' "$dir/gw.out" | head -n1)
common=(--gateway "127.0.0.1:$port" --password pw --key key)

printf '| workload | colour | host CPU s | gateway CPU s | console CPU s | console bytes/s | updates/s | latency median ms | latency p99 ms |\n'
printf '|---|---|---|---|---|---|---|---|---|\n'
for colour in default 32-bit; do
  # The host runs until its standard input ends: a FIFO this script holds open.
  rm -f "$dir/host.in"
  mkfifo "$dir/host.in"
  exec 6<>"$dir/host.in"
  "${HOST_TOOL:-$build/tools/vtxtool/vtxtool}" host "${common[@]}" --user cust <"$dir/host.in" >"$dir/host.out" 2>/dev/null &
  hpid=$!
  pids+=($hpid)
  for _ in $(seq 100); do grep -q '"ready"' "$dir/host.out" 2>/dev/null && break; sleep 0.1; done
  if [ "$colour" = 32-bit ]; then
    "$build/analyst/vorantelix-analyst" "${common[@]}" --user ana settings cust color=9 >/dev/null
  fi
  for mode in ${WORKLOADS:-static typing scroll video}; do
    "$dir/workload" "$mode" "$seconds" --wait-signal >"$dir/ready" 2>/dev/null &
    wpid=$!
    for _ in $(seq 100); do grep -q ready "$dir/ready" 2>/dev/null && break; sleep 0.1; done
    "$dir/marker" "${probe%,*}" "${probe#*,}" "$seconds" >"$dir/marker.log" &
    mpid=$!
    pids+=($mpid)
    for _ in $(seq 100); do grep -q ready "$dir/marker.log" 2>/dev/null && break; sleep 0.1; done
    mkfifo "$dir/in"
    "$build/analyst/vorantelix-analyst" "${common[@]}" --user ana --latency-probe "$probe" session \
      <"$dir/in" >"$dir/console.out" 2>"$dir/probe.log" &
    cpid=$!
    exec 5>"$dir/in"
    echo "view cust $dir/first.png 1" >&5
    for _ in $(seq 300); do grep -q first.png "$dir/console.out" 2>/dev/null && break; sleep 0.1; done
    u0=$(updates); h0=$(cpu "$hpid"); g0=$(cpu "$gpid"); c0=$(cpu "$cpid"); r0=$(rchar "$cpid")
    kill -USR1 "$wpid" "$mpid"
    echo "view cust $dir/last.png $seconds" >&5
    for _ in $(seq $((seconds * 10 + 300))); do grep -q last.png "$dir/console.out" 2>/dev/null && break; sleep 0.1; done
    u1=$(updates); h1=$(cpu "$hpid"); g1=$(cpu "$gpid"); c1=$(cpu "$cpid"); r1=$(rchar "$cpid")
    echo quit >&5
    exec 5>&-
    wait "$cpid" || true
    rm -f "$dir/in"
    wait "$wpid" || true
    wait "$mpid" || true
    read -r lmed lp99 < <(latency)
    printf '| %s | %s | %s | %s | %s | %s | %s | %s | %s |\n' "$mode" "$colour" "$(sub "$h0" "$h1")" \
      "$(sub "$g0" "$g1")" "$(sub "$c0" "$c1")" "$(rate "$r0" "$r1")" \
      "$(awk -v a="$u0" -v b="$u1" -v s="$seconds" 'BEGIN { printf "%.1f", (b - a) / s }')" \
      "$lmed" "$lp99"
  done
  kill "$hpid" 2>/dev/null || true
  wait "$hpid" 2>/dev/null || true
  exec 6>&-
done
