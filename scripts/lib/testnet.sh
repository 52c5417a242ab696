# Shell helpers for the scripts that run Vellomar against local servers
# (bench/compare/run.sh, scripts/soak.sh, scripts/crash_safety.sh). Source it:
#
#   . "$top/scripts/lib/testnet.sh"
#   vm_own_network "$0" "$@"        # first: re-runs the script in its own network
#   vm_start_origin "$work/origin" 18080 [18443]
#   pids+=("$VM_ORIGIN_PID")
#
# vm_own_network re-runs the calling script in a private network namespace
# (loopback only) when the machine allows one: as root with `unshare -n`,
# otherwise in a user namespace (`unshare -rn`). Port 8000 and the servers'
# fixed ports then meet no other program, not even a Vellomar that serves
# this desktop. Where neither is allowed it says so and goes on in the
# machine's network.

# Re-executes SCRIPT with ARGS in a network namespace of its own, once; in the
# re-executed copy brings loopback up and returns.
vm_own_network() {
  local script=$1
  shift
  if [[ -n "${VELLOMAR_OWN_NETNS:-}" ]]; then
    ip link set lo up
    return 0
  fi
  local flags
  for flags in -n -rn; do
    if unshare "$flags" true 2>/dev/null; then
      exec unshare "$flags" env VELLOMAR_OWN_NETNS=1 bash "$script" "$@"
    fi
  done
  echo "note: no network namespace here; $(basename "$script") shares the machine's network" >&2
}

# Waits until something accepts on 127.0.0.1:PORT; fails naming NAME.
vm_wait_port() {
  local port=$1 name=${2:-"a server"}
  for _ in $(seq 1 100); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then return 0; fi
    sleep 0.1
  done
  echo "$name did not start listening on port $port" >&2
  exit 1
}

# Starts nginx as the origin server in DIR (created) on 127.0.0.1:PORT, and
# with TLS_PORT also over HTTPS there with a fresh self-signed certificate.
# It serves DIR/www: /1k (1 KiB of text), /256k (256 KiB of random bytes) and
# /ads/banner.gif (a 54-byte file). Sets VM_ORIGIN_PID; the caller stops it.
vm_start_origin() {
  local dir=$1 port=$2 tls_port=${3:-}
  mkdir -p "$dir/www/ads" "$dir/nginx"
  head -c 1024 /dev/urandom | base64 -w 64 | head -c 1024 >"$dir/www/1k"
  head -c $((256 * 1024)) /dev/urandom >"$dir/www/256k"
  printf 'GIF89a%048d' 0 >"$dir/www/ads/banner.gif"
  local tls_server=""
  if [[ -n "$tls_port" ]]; then
    openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -days 2 \
      -keyout "$dir/nginx/key.pem" -out "$dir/nginx/cert.pem" 2>/dev/null
    tls_server="server {
    listen 127.0.0.1:$tls_port ssl;
    ssl_certificate $dir/nginx/cert.pem;
    ssl_certificate_key $dir/nginx/key.pem;
    root $dir/www;
  }"
  fi
  cat >"$dir/nginx/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $dir/nginx/nginx.pid;
error_log $dir/nginx/error.log crit;
events { worker_connections 4096; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  tcp_nodelay on;
  keepalive_timeout 300;
  keepalive_requests 100000000;
  default_type application/octet-stream;
  client_body_temp_path $dir/nginx/body;
  proxy_temp_path $dir/nginx/proxy;
  server {
    listen 127.0.0.1:$port default_server;
    root $dir/www;
  }
  $tls_server
}
CONF
  nginx -c "$dir/nginx/nginx.conf" -p "$dir/nginx" 2>"$dir/nginx/stderr" &
  VM_ORIGIN_PID=$!
  vm_wait_port "$port" "the origin (nginx)"
  if [[ -n "$tls_port" ]]; then vm_wait_port "$tls_port" "the origin's TLS port (nginx)"; fi
}
