#!/usr/bin/env bash
# Throughput and p99 latency of the proxy beside the same load straight to
# the origin, in one run: 1 KiB and 256 KiB replies, 1 and 32 connections,
# keep-alive and one connection per request, plus requests that the proxy
# answers itself (blocked). The origin is nginx on a free loopback port;
# Vellomar runs on a machine folder of its own on 127.0.0.1:8000, which must
# be free.
#
# Reading p99: wrk corrects its latencies for coordinated omission, so a few
# requests that stall for a second (a connection whose handshake the kernel
# dropped because Vellomar's listen queue of 5 was full, retried after 1 s)
# weigh heavily at 32 connections; `nstat TcpExtListenDrops` shows them.
#
# Usage: bench/run_wrk.sh [build-dir]   (default: build)
# Environment: BENCH_SECONDS (default 5) per measurement.
# Needs: scripts/install-deps.sh --bench (nginx-light, wrk).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
seconds=${BENCH_SECONDS:-5}
vellomar=$build/bin/vellomar
lua=$top/bench/wrk/request.lua
for tool in nginx wrk; do
  command -v "$tool" >/dev/null || [[ -x /usr/sbin/$tool ]] || {
    echo "missing $tool: run scripts/install-deps.sh --bench" >&2
    exit 1
  }
done
[[ -x $vellomar ]] || { echo "missing $vellomar: build first" >&2; exit 1; }
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)

work=$(mktemp -d /tmp/vellomar-bench-XXXXXX)
nginx_pid=""
vellomar_pid=""
cleanup() {
  [[ -n $vellomar_pid ]] && kill "$vellomar_pid" 2>/dev/null && wait "$vellomar_pid" 2>/dev/null
  [[ -n $nginx_pid ]] && kill "$nginx_pid" 2>/dev/null
  sleep 0.2
  rm -rf "$work"
}
trap cleanup EXIT

# --- the origin -----------------------------------------------------------
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
mkdir -p "$work/www" "$work/nginx"
printf '%*s' 1024 '' | tr ' ' 'a' >"$work/www/1k"
printf '%*s' 262144 '' | tr ' ' 'b' >"$work/www/256k"
# nginx's worker runs unprivileged: the files must be readable by anyone.
chmod 755 "$work" "$work/www"
chmod 644 "$work/www/"*
cat >"$work/nginx/nginx.conf" <<CONF
daemon off;
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 4096; }
http {
  access_log off;
  keepalive_requests 1000000;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  default_type application/octet-stream;
  server {
    listen 127.0.0.1:$port;
    root $work/www;
  }
}
CONF
"$nginx_bin" -c "$work/nginx/nginx.conf" -e "$work/nginx/error.log" &
nginx_pid=$!

# --- Vellomar -------------------------------------------------------------
install="$work/machine/drive_c/Program Files/Vellomar"
mkdir -p "$install"
printf 'Aads.blocked.test\n' >"$install/vellomar.ini"
VELLOMAR_PREFIX=$work/machine VELLOMAR_MSGBOX_LOG=$work/boxes.log "$vellomar" &
vellomar_pid=$!

ready() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
for _ in $(seq 100); do ready "$port" && ready 8000 && break; sleep 0.1; done
ready "$port" || { echo "nginx did not start" >&2; exit 1; }
ready 8000 || { echo "vellomar did not start (is port 8000 taken?)" >&2; cat "$work/boxes.log" 2>/dev/null; exit 1; }

# --- measurements -----------------------------------------------------------
# measure CONNECTIONS TARGET_URL CLOSE SERVER_URL -> "requests/s p99_ms errors"
measure() {
  local line
  line=$(TARGET_URL=$2 CLOSE=$3 wrk -t1 -c"$1" -d"${seconds}s" -s "$lua" "$4" | grep '^RESULT')
  awk '{ printf "%s %s %s", $3, $4, $5 }' <<<"$line"
}

printf '%-8s %-5s %-10s | %12s %9s | %12s %9s | %7s %7s\n' \
  size conns mode "direct r/s" "p99 ms" "proxy r/s" "p99 ms" "r/s" "p99"
printf '%s\n' "---------------------------------------------------------------------------------------------"
for size in 1k 256k; do
  for conns in 1 32; do
    for close in 0 1; do
      mode=keepalive
      [[ $close == 1 ]] && mode=close
      read -r d_rate d_p99 d_err <<<"$(measure "$conns" "/$size" "$close" "http://127.0.0.1:$port")"
      read -r p_rate p_p99 p_err <<<"$(measure "$conns" "http://127.0.0.1:$port/$size" "$close" "http://127.0.0.1:8000")"
      printf '%-8s %-5s %-10s | %12s %9s | %12s %9s | %7s %7s' "$size" "$conns" "$mode" \
        "$d_rate" "$d_p99" "$p_rate" "$p_p99" \
        "$(awk -v a="$p_rate" -v b="$d_rate" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')" \
        "$(awk -v a="$p_p99" -v b="$d_p99" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')"
      [[ $d_err != 0 || $p_err != 0 ]] && printf '  (errors: direct %s, proxy %s)' "$d_err" "$p_err"
      printf '\n'
    done
  done
done
echo
echo "Blocked requests answered by Vellomar itself (8x8 GIF, keep-alive):"
for conns in 1 32; do
  read -r b_rate b_p99 b_err <<<"$(measure "$conns" "http://ads.blocked.test/banner.gif" 0 "http://127.0.0.1:8000")"
  printf '  %2s connections: %12s r/s   p99 %s ms   errors %s\n' "$conns" "$b_rate" "$b_p99" "$b_err"
done
echo
echo "ratios are Vellomar/direct (r/s: higher is better; p99: lower is better)"
