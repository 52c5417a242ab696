#!/usr/bin/env bash
# Memory of Vellomar with 100 idle HTTPS connections, inspected and (for
# comparison) tunnelled, in one run: the resident set size of the program
# before and after the connections are open. Each connection has carried
# one request and then waits. Runs in a network namespace of its own (the
# origin listens on port 443 of loopback), on a machine folder of its own.
#
# Usage: bench/inspection_rss.sh [build-dir]   (default: build)
# Environment: CONNECTIONS (default 100).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
if [[ ${VELLOMAR_RSS_INSIDE:-} != 1 ]]; then
  exec env VELLOMAR_RSS_INSIDE=1 unshare -rn "$0" "$build"
fi
ip link set lo up
connections=${CONNECTIONS:-100}
work=$(mktemp -d /tmp/vellomar-rss-XXXXXX)
vellomar_pid=""
cleanup() {
  [[ -n $vellomar_pid ]] && kill "$vellomar_pid" 2>/dev/null && wait "$vellomar_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
export VELLOMAR_PREFIX=$work/machine
install_dir="$VELLOMAR_PREFIX/drive_c/Program Files/Vellomar"
mkdir -p "$install_dir"
: >"$install_dir/vellomar.ini"

# The origin's certificate, from a test authority only the proxy trusts.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
  -subj /CN=test-ca -keyout "$work/ca.key" -out "$work/ca.crt" 2>/dev/null
openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=localhost \
  -keyout "$work/origin.key" -out "$work/origin.csr" 2>/dev/null
printf 'subjectAltName=DNS:localhost\n' >"$work/san"
openssl x509 -req -in "$work/origin.csr" -CA "$work/ca.crt" -CAkey "$work/ca.key" \
  -CAcreateserial -days 2 -extfile "$work/san" -out "$work/origin.crt" 2>/dev/null
export VELLOMAR_EXTRA_CA_FILE=$work/ca.crt

python3 "$top/bench/inspection_rss.py" origin "$work/origin.crt" "$work/origin.key" &
origin_pid=$!
trap 'kill $origin_pid 2>/dev/null; cleanup' EXIT

measure() {  # $1: label
  "$build/bin/vellomar" &
  vellomar_pid=$!
  for _ in $(seq 50); do
    python3 -c 'import socket; socket.create_connection(("127.0.0.1", 8000)).close()' \
      2>/dev/null && break
    sleep 0.1
  done
  python3 "$top/bench/inspection_rss.py" clients "$vellomar_pid" "$connections" \
    "$VELLOMAR_PREFIX/https/ca.crt" "$work/ca.crt" "$1"
  kill "$vellomar_pid"
  wait "$vellomar_pid" 2>/dev/null || true
  vellomar_pid=""
}

"$build/bin/vmhttps" on >/dev/null 2>&1
measure inspected
"$build/bin/vmhttps" off >/dev/null 2>&1
measure tunnelled
