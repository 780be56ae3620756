#!/usr/bin/env bash
# Demo: builds the program and the support stand-in, starts the stand-in (and the gateway when
# it is part of the build) on loopback, walks the program's first screens with a scripted
# company lookup and writes one screenshot per screen to demo-out/. Runs under Xvfb when there
# is no display. Every process started here is stopped at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash scripts/deps.sh

cmake --preset default >/dev/null
targets="vorantelix vorantelix-supportd"
if cmake --build --preset default --target help 2>/dev/null | grep -q '^vorantelix-gateway:'; then
  targets="$targets vorantelix-gateway"
fi
cmake --build --preset default -j2 --target $targets

work=$(mktemp -d /tmp/vtx-demo.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# Starts a program whose stdout announces readiness with a line matching $2; waits up to 20 s.
start() {
  local log=$1 ready=$2; shift 2
  "$@" >"$log" 2>&1 &
  pids+=($!)
  for _ in $(seq 200); do
    grep -q "$ready" "$log" && return 0
    kill -0 "${pids[-1]}" 2>/dev/null || break
    sleep 0.1
  done
  echo "demo.sh: $1 did not start:"; cat "$log"; exit 1
}

start "$work/supportd.log" pronto build/default/supportd/vorantelix-supportd \
  --listen 127.0.0.1:0 --tls-listen 127.0.0.1:0 --db :memory: --cert-dir "$work"
gateway_addr=""
gateway_port=""
if [ -x build/default/gateway/vorantelix-gateway ]; then
  start "$work/gateway.log" "127.0.0.1:" build/default/gateway/vorantelix-gateway \
    --listen 127.0.0.1:0
  gateway_addr=127.0.0.1
  gateway_port=$(grep -m1 -o 'ready 127.0.0.1:[0-9]*' "$work/gateway.log" | sed 's/.*://')
  echo "demo.sh: gateway: $(grep -m1 '127.0.0.1:' "$work/gateway.log")"
else
  echo "demo.sh: vorantelix-gateway is not in the build; skipping it"
fi

export VORANTELIX_HOME="$work/home"
python3 - "$work/vorantelix-config.json" "$work/program-config.json" "$work/prog" "$gateway_port" <<'PY'
import json, sys
c = json.load(open(sys.argv[1])); c["pastaPrograma"] = sys.argv[3]
if sys.argv[4]: c["portaGateway"] = sys.argv[4]
json.dump(c, open(sys.argv[2], "w"))
PY
export VORANTELIX_CONFIG="$work/program-config.json"
rm -rf demo-out && mkdir -p demo-out
run=(build/default/src/app/vorantelix --demo-script assets/demo.roteiro --demo-out "$root/demo-out")
[ -n "$gateway_addr" ] && run+=("$gateway_addr")
if [ -z "${DISPLAY:-}" ]; then
  xvfb-run -a -s "-screen 0 1280x1024x24" timeout 60 "${run[@]}"
else
  timeout 60 "${run[@]}"
fi
echo "demo.sh: screenshots:"; ls -1 demo-out
