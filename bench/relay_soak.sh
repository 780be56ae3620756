#!/bin/sh
# Soak of the relay (not part of CI): CLIENTS clients (default 500) in host/viewer pairs log in,
# relay rows and log out in a loop for SECONDS (default 600) through a real gateway. Prints the
# gateway's resident memory every 10 s (it must level off) and the relay latency percentiles.
#   bench/relay_soak.sh [SECONDS] [CLIENTS] [BUILD_DIR]
# ENDED_IDS=N sets the gateway's --max-ended-ids (each cycle ends two ids, so a bound below
# twice the cycles of the run is reached and the memory must stay flat after it).
set -eu
seconds=${1:-600}
clients=${2:-500}
build=${3:-build/release}
ulimit -n 65536 2>/dev/null || true
if [ -n "${ENDED_IDS:-}" ]; then
  exec "$build/bench/bench_relay" --soak "$seconds" --clients "$clients" --ended-ids "$ENDED_IDS"
fi
exec "$build/bench/bench_relay" --soak "$seconds" --clients "$clients"
