#!/usr/bin/env bash
# Demo: builds the program, the support stand-in and the gateway, starts both companions on
# loopback, walks the program's first screens with a scripted company lookup up to the opening
# of a ticket (whose portal session logs into the gateway over TLS, checking the certificate
# this script makes for it) and writes one screenshot per screen to demo-out/. Runs under Xvfb when there is no display. Every process started here is stopped
# at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash scripts/deps.sh

cmake --preset default >/dev/null
cmake --build --preset default -j2 --target vorantelix vorantelix-supportd vorantelix-gateway

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

# The program's fixed gateway key and login password, given to both sides; the gateway's TLS
# certificate, made for 127.0.0.1 and trusted by the program.
secure_key=kgQWdXnb5mVpW
login_password=fyduzAKrpRQdnnwXjRM
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 \
  -keyout "$work/gateway-key.pem" -out "$work/gateway-cert.pem" -subj /CN=127.0.0.1 \
  -addext subjectAltName=IP:127.0.0.1 2>/dev/null
# The support team's account on this gateway: the shared password only makes a customer
# program (a host); an analyst logs in with its own password.
analyst_name=ana
analyst_password=$(openssl rand -hex 12)
printf '%s\n' "$analyst_password" |
  build/default/gateway/vorantelix-gateway --db "$work/gateway.db" --add-analyst "$analyst_name"
start "$work/gateway.log" "ready 127.0.0.1:" build/default/gateway/vorantelix-gateway \
  --listen 127.0.0.1:0 --db "$work/gateway.db" --secure-key "$secure_key" --force-encryption \
  --login-password "$login_password" \
  --tls-cert "$work/gateway-cert.pem" --tls-key "$work/gateway-key.pem"
gateway_port=$(grep -m1 -o 'ready 127.0.0.1:[0-9]*' "$work/gateway.log" | sed 's/.*://')
echo "demo.sh: gateway on 127.0.0.1:$gateway_port (TLS, certificate $work/gateway-cert.pem)"
echo "demo.sh: analyst account $analyst_name, password $analyst_password; while the demo runs:"
echo "  build/default/analyst/vorantelix-analyst --gateway 127.0.0.1:$gateway_port" \
  "--tls-ca $work/gateway-cert.pem --user $analyst_name --password $analyst_password hosts"
# Every demo company is served from that gateway.
start "$work/supportd.log" pronto build/default/supportd/vorantelix-supportd \
  --listen 127.0.0.1:0 --tls-listen 127.0.0.1:0 --db :memory: --cert-dir "$work" \
  --gateway "127.0.0.1:$gateway_port"

export VORANTELIX_HOME="$work/home"
python3 - "$work/vorantelix-config.json" "$work/program-config.json" "$work/prog" \
  "$gateway_port" "$secure_key" "$login_password" "$work/gateway-cert.pem" <<'PY'
import json, sys
c = json.load(open(sys.argv[1])); c["pastaPrograma"] = sys.argv[3]
c["portaGateway"], c["chaveDados"], c["senhaLogin"] = sys.argv[4], sys.argv[5], sys.argv[6]
c["gatewayTls"], c["arquivoCAGateway"] = "1", sys.argv[7]
c["gatewayPadrao"] = "127.0.0.1"  # the companies' gateway must be a configured one
json.dump(c, open(sys.argv[2], "w"))
PY
export VORANTELIX_CONFIG="$work/program-config.json"
rm -rf demo-out && mkdir -p demo-out
run=(build/default/src/app/vorantelix --demo-script assets/demo.roteiro --demo-out "$root/demo-out")
if [ -z "${DISPLAY:-}" ]; then
  xvfb-run -a -s "-screen 0 1280x1024x24" timeout 60 "${run[@]}"
else
  timeout 60 "${run[@]}"
fi
echo "demo.sh: the gateway's sessions:"
grep "event=user-" "$work/gateway.log" || echo "  (no login reached the gateway)"
echo "demo.sh: the gateway's audit trail:"
build/default/gateway/vorantelix-gateway --db "$work/gateway.db" --audit
echo "demo.sh: screenshots:"; ls -1 demo-out
