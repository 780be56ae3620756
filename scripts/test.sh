#!/usr/bin/env bash
# Builds and runs the whole test suite: the default build, the sanitizer build, then a short
# run of every fuzz target. Exits non-zero on any failure.
#   VTX_SKIP_ASAN=1      skip the sanitizer build (quicker local runs)
#   VTX_SKIP_TSAN=1      skip the thread-sanitizer run of the util, transport, gateway, portal and capture tests
#   VTX_FUZZ_SECONDS=N   seconds per fuzz target (default 20; 0 skips fuzzing)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/deps.sh

jobs=$(nproc)
export VORANTELIX_HOME=${VORANTELIX_HOME:-$(mktemp -d /tmp/vtx-home.XXXXXX)}

step() { echo; echo "=== $*"; }

step "default build"
cmake --preset default >/dev/null
cmake --build --preset default -j"$jobs"
step "default tests"
ctest --preset default

if [ "${VTX_SKIP_ASAN:-0}" != 1 ]; then
  step "sanitizer build"
  cmake --preset asan >/dev/null
  cmake --build --preset asan -j"$jobs"
  step "sanitizer tests"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --preset asan
fi

if [ "${VTX_SKIP_TSAN:-0}" != 1 ]; then
  step "thread sanitizer build (util, transport, gateway, portal)"
  cmake --preset tsan >/dev/null
  cmake --build --preset tsan -j"$jobs" --target vtx_util_tests vtx_transport_tests vtx_client_module_tests vtx_gateway_tests vtx_portal_tests vtx_e2e_portal_tests vtx_desktop_tests vtx_desktop_host_tests
  step "thread sanitizer tests"
  TSAN_OPTIONS=halt_on_error=1 ctest --preset tsan -R '^(LogTest|Exceptions|RtcThread|MainLoopTest|TimerTest|TimerServiceTest|ConnectionTest|ConnectionThreads|SocketTcp|SocketBlocking|TlsFixture|DataClientTest|DataClientThreads|HttpClientTest|HttpClientThreads|HttpClientLoopback|ResultHandlers|RequestCore|GatewayProcess|HostileLoad|HostileRelay|HostileLimits|LoginRoles|RelayPolicy|AuditTrail|AccessProcess|HostileSessions|ValueCount|LogLineTest|GatewayTls|UserStore|LoginGuard|RelayThreads|RelayFunctions|RelayProcess|ClientModule|Portal[A-Za-z]*|EncoderWorker|ScreenCapture|ScreenCaptureCursor|ScreenInput|DesktopHostThreads)\.'
fi

seconds=${VTX_FUZZ_SECONDS:-20}
if [ "$seconds" -gt 0 ]; then
  step "fuzz build"
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz -j"$jobs"
  shopt -s nullglob
  for fuzzer in build/fuzz/fuzz/fuzz_*; do
    [ -x "$fuzzer" ] || continue
    name=$(basename "$fuzzer"); subject=${name#fuzz_}
    corpus=$(mktemp -d /tmp/vtx-corpus.XXXXXX)
    [ -d "fuzz/corpus/$subject" ] && cp -r "fuzz/corpus/$subject/." "$corpus/"
    step "fuzz $subject (${seconds}s)"
    "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=0 \
      "$corpus" 2>"$corpus.log" || { tail -n 60 "$corpus.log"; exit 1; }
    # Recoverable sanitizer reports print and let the run go on: any of them fails the step.
    if grep -qE "runtime error:|ERROR: (Address|Leak|Memory|Thread|UndefinedBehavior)Sanitizer" \
      "$corpus.log"; then
      grep -m 5 -A 20 -E "runtime error:|ERROR: [A-Za-z]+Sanitizer" "$corpus.log"
      echo "fuzz $subject: sanitizer report"
      exit 1
    fi
    tail -n 1 "$corpus.log"
    rm -rf "$corpus" "$corpus.log"
  done
fi

step "all tests passed"
