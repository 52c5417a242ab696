#!/usr/bin/env bash
# HTTPS keep-alive throughput, side by side in one run: straight to the
# origin over TLS ("direct"), through Vellomar's plain CONNECT tunnel
# ("tunnel", inspection off) and through Vellomar with HTTPS inspection
# ("inspected"), each at 1 and 32 connections, with bench/https_load as the
# client (it does the same TLS work in every mode: one handshake per
# connection, then GET /1k over and over).
#
#   bench/https/run.sh [--seconds S] [--rounds N] [--path /1k]
#
# The origin is nginx with TLS on 127.0.0.1:443 inside a network namespace
# of our own (scripts/lib/testnet.sh), with a certificate from a test
# authority that only this run trusts (Vellomar through
# VELLOMAR_EXTRA_CA_FILE). The modes take turns within each round and the
# table gives each one's median over the rounds. Inspection is switched
# with vmhttps, which asks the running Vellomar to reload.
#
# Environment: BUILD (default build), KEEP_TMP=1 keeps the temporary folder.
# Needs: a build with -DVELLOMAR_BENCHMARKS=ON, nginx (nginx-light), openssl.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
seconds=5
rounds=3
path=/1k
while (($#)); do
  case "$1" in
    --seconds) seconds=$2; shift ;;
    --rounds) rounds=$2; shift ;;
    --path) path=$2; shift ;;
    *) echo "usage: $0 [--seconds S] [--rounds N] [--path /1k]" >&2; exit 2 ;;
  esac
  shift
done
. "$top/scripts/lib/testnet.sh"
vm_own_network "$0" --seconds "$seconds" --rounds "$rounds" --path "$path"

build=${BUILD:-$top/build}
load=$build/bin/https_load
for program in "$load" "$build/bin/vellomar" "$build/bin/vmhttps"; do
  [[ -x $program ]] || { echo "missing $program: build with -DVELLOMAR_BENCHMARKS=ON" >&2; exit 1; }
done
export PATH="$PATH:/usr/sbin:/sbin"
command -v nginx >/dev/null || { echo "missing nginx: run scripts/install-deps.sh --bench" >&2; exit 1; }

tmp=$(mktemp -d /tmp/vellomar-https-bench.XXXXXX)
chmod 755 "$tmp"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  if [[ -z ${KEEP_TMP:-} ]]; then rm -rf "$tmp"; else echo "kept $tmp"; fi
}
trap cleanup EXIT

# --- the test authority and the origin's certificate ----------------------
pki=$tmp/pki
mkdir -p "$pki"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
  -subj "/CN=Benchmark test authority" -keyout "$pki/ca.key" -out "$pki/ca.crt" \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign 2>/dev/null
openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=127.0.0.1 \
  -keyout "$pki/origin.key" -out "$pki/origin.csr" 2>/dev/null
printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\nextendedKeyUsage=serverAuth\n' >"$pki/ext"
openssl x509 -req -in "$pki/origin.csr" -CA "$pki/ca.crt" -CAkey "$pki/ca.key" \
  -CAcreateserial -days 2 -extfile "$pki/ext" -out "$pki/origin.crt" 2>/dev/null

# --- the origin: nginx with TLS on 443 --------------------------------------
origin=$tmp/origin
mkdir -p "$origin/www"
head -c 1024 /dev/urandom | base64 -w 64 | head -c 1024 >"$origin/www/1k"
head -c $((256 * 1024)) /dev/urandom >"$origin/www/256k"
chmod -R a+rX "$origin"
cat >"$origin/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $origin/nginx.pid;
error_log $origin/error.log crit;
events { worker_connections 4096; }
http {
  access_log off;
  sendfile on;
  tcp_nodelay on;
  keepalive_timeout 300;
  keepalive_requests 100000000;
  default_type application/octet-stream;
  client_body_temp_path $origin/body;
  server {
    listen 127.0.0.1:443 ssl;
    ssl_certificate $pki/origin.crt;
    ssl_certificate_key $pki/origin.key;
    ssl_session_cache off;
    root $origin/www;
  }
}
CONF
nginx -c "$origin/nginx.conf" -p "$origin" 2>"$origin/stderr" &
pids+=($!)
vm_wait_port 443 "the origin (nginx)"

# --- Vellomar, with its authority made and inspection on ----------------------
export VELLOMAR_PREFIX=$tmp/vellomar
export HOME=$tmp/home
mkdir -p "$VELLOMAR_PREFIX/drive_c/Program Files/Vellomar" "$HOME"
printf '# blocks nothing the benchmark asks for\nF</ads/\n' \
  >"$VELLOMAR_PREFIX/drive_c/Program Files/Vellomar/vellomar.ini"
"$build/bin/vmhttps" on 2>/dev/null
VELLOMAR_EXTRA_CA_FILE=$pki/ca.crt "$build/bin/vellomar" </dev/null >"$tmp/vellomar.out" 2>&1 &
pids+=($!)
vm_wait_port 8000 vellomar
vellomar_ca=$VELLOMAR_PREFIX/https/ca.crt

measure() {  # MODE CONNECTIONS -> requests per second
  local mode=$1 connections=$2 args
  case $mode in
    direct) args=(--ca "$pki/ca.crt") ;;
    tunnel) "$build/bin/vmhttps" off 2>/dev/null; args=(--proxy 127.0.0.1:8000 --ca "$pki/ca.crt") ;;
    inspected) "$build/bin/vmhttps" on 2>/dev/null; args=(--proxy 127.0.0.1:8000 --ca "$vellomar_ca") ;;
  esac
  local line
  line=$("$load" --host 127.0.0.1 --port 443 --path "$path" --connections "$connections" \
    --seconds "$seconds" "${args[@]}") || { echo "$mode at $connections failed: $line" >&2; echo 0; return; }
  echo "$mode c=$connections: $line" >&2
  awk '{print $2}' <<<"$line"
}

median() { sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }

declare -A results
for ((round = 1; round <= rounds; round++)); do
  for connections in 1 32; do
    for mode in direct tunnel inspected; do
      results[$mode,$connections]+="$(measure "$mode" "$connections") "
    done
  done
done

echo
echo "HTTPS keep-alive GET $path, requests/s (median of $rounds rounds of ${seconds} s)"
printf '%-12s %12s %12s\n' mode "1 conn" "32 conn"
declare -A med
for mode in direct tunnel inspected; do
  for connections in 1 32; do
    med[$mode,$connections]=$(tr ' ' '\n' <<<"${results[$mode,$connections]}" | grep . | median)
  done
  printf '%-12s %12s %12s\n' "$mode" "${med[$mode,1]}" "${med[$mode,32]}"
done
for connections in 1 32; do
  awk -v i="${med[inspected,$connections]}" -v t="${med[tunnel,$connections]}" -v c="$connections" \
    'BEGIN { if (t > 0) printf "inspected / tunnel at %d connections: %.2f (aim: at least 0.50)\n", c, i / t }'
done
