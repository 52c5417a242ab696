#!/usr/bin/env bash
# Side-by-side throughput of Vellomar and the proxies users would otherwise
# pick (tinyproxy, privoxy, squid), all against one local nginx origin and
# measured with wrk (one thread) in the same run.
#
#   bench/compare/run.sh [--quick] [--duration SECONDS] [--rounds N] [--out FILE] [--no-write]
#                        [--vellomar-only] [--tsv FILE]
#
# Scenarios, each at 1 and 32 connections:
#   ka-1k     keep-alive, 1 KiB reply
#   ka-256k   keep-alive, 256 KiB reply
#   close-1k  one connection per request ("Connection: close"), 1 KiB reply
#   blocked   a path Vellomar's rules block, keep-alive; Vellomar answers it
#             itself, the peers (which filter nothing) fetch it from nginx,
#             which serves a 54-byte file there, as direct does.
# Beside the peers runs a reference relay, not a peer: a second nginx worker
# that forwards every request to the origin over kept connections (epoll,
# no buffering). It filters nothing and shows what a tuned event-driven relay
# reaches on the same machine: a ceiling for any proxy's ratio to direct.
# Each scenario is measured in --rounds rounds (default 3), the five targets
# one after another within a round, so that a passing disturbance of the
# shared machine hits all of them alike; the table gives the median of the
# rounds. For every run it prints requests/s, p50 and p99 latency; at the end
# each proxy's ratio to direct and the peak RSS (VmHWM) of every proxy. The table
# goes to bench/RESULTS.md (or --out) with the date.
#
# --vellomar-only measures direct and Vellomar alone (no peers, no relay), and
# --tsv FILE keeps the medians as tab-separated lines (scenario, connections,
# target, req/s, p50, p99, errors, read errors), for bench/compare/ab.sh,
# which compares two builds of Vellomar.
#
# Everything runs inside a private network namespace when the machine allows
# one (scripts/lib/testnet.sh), so the fixed port 8000 never collides with
# anything else, not even a Vellomar serving this desktop;
# all configuration files are written into a temporary folder.
#
# Environment: VELLOMAR_BIN (default build/bin/vellomar), KEEP_TMP=1 keeps the
# temporary folder for inspection.
set -euo pipefail

top=$(cd "$(dirname "$0")/../.." && pwd)
here="$top/bench/compare"

duration=5
rounds=3
out="$top/bench/RESULTS.md"
write=1
only=0
tsv=""
while (($#)); do
  case "$1" in
    --quick) duration=2; rounds=1 ;;
    --rounds) rounds="$2"; shift ;;
    --duration) duration="$2"; shift ;;
    --out) out="$2"; shift ;;
    --no-write) write=0 ;;
    --vellomar-only) only=1 ;;
    --tsv) tsv="$2"; shift ;;
    *) echo "usage: $0 [--quick] [--duration SECONDS] [--rounds N] [--out FILE] [--no-write] [--vellomar-only] [--tsv FILE]" >&2; exit 2 ;;
  esac
  shift
done

# Into a network namespace of our own (loopback only), once.
. "$top/scripts/lib/testnet.sh"
args=(--duration "$duration" --rounds "$rounds" --out "$out")
((write)) || args+=(--no-write)
((only)) && args+=(--vellomar-only)
[[ -z "$tsv" ]] || args+=(--tsv "$tsv")
vm_own_network "$0" "${args[@]}"

vellomar_bin="${VELLOMAR_BIN:-$top/build/bin/vellomar}"
for tool in nginx wrk tinyproxy privoxy squid curl; do
  command -v "$tool" >/dev/null || [[ -x "/usr/sbin/$tool" ]] || {
    echo "missing $tool: run scripts/install-deps.sh --bench" >&2
    exit 1
  }
done
[[ -x "$vellomar_bin" ]] || { echo "missing $vellomar_bin: build it first (scripts/build.sh)" >&2; exit 1; }
export PATH="$PATH:/usr/sbin:/sbin"

ORIGIN_PORT=18080
VELLOMAR_PORT=8000
TINYPROXY_PORT=18888
PRIVOXY_PORT=18118
SQUID_PORT=13128
RELAY_PORT=18081
BLOCKED_PATH=/ads/banner.gif

tmp=$(mktemp -d /tmp/vellomar-compare.XXXXXX)
chmod 755 "$tmp"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  if [[ -z "${KEEP_TMP:-}" ]]; then rm -rf "$tmp"; else echo "kept $tmp"; fi
}
trap cleanup EXIT

wait_port() { vm_wait_port "$@"; }

# --- origin -----------------------------------------------------------------
vm_start_origin "$tmp/origin" $ORIGIN_PORT
pids+=("$VM_ORIGIN_PID")

# --- the reference relay --------------------------------------------------------
mkdir -p "$tmp/relay"
cat >"$tmp/relay/nginx.conf" <<EOF
daemon off;
master_process off;
worker_processes 1;
pid $tmp/relay/nginx.pid;
error_log $tmp/relay/error.log crit;
events { worker_connections 4096; }
http {
  access_log off;
  keepalive_timeout 300;
  keepalive_requests 100000000;
  client_body_temp_path $tmp/relay/body;
  proxy_temp_path $tmp/relay/proxy;
  upstream origin { server 127.0.0.1:$ORIGIN_PORT; keepalive 64; }
  server {
    listen 127.0.0.1:$RELAY_PORT default_server;
    location / {
      proxy_pass http://origin;
      proxy_http_version 1.1;
      proxy_set_header Connection "";
      proxy_set_header Host \$http_host;
      proxy_buffering off;
    }
  }
}
EOF
nginx -c "$tmp/relay/nginx.conf" -p "$tmp/relay" 2>"$tmp/relay/stderr" &
relay_pid=$!
pids+=($relay_pid)
wait_port $RELAY_PORT relay

# --- Vellomar -----------------------------------------------------------------
install_dir="$tmp/vellomar/drive_c/Program Files/Vellomar"
mkdir -p "$install_dir"
printf '# blocks the benchmark'"'"'s ad path\nF</ads/\n' >"$install_dir/vellomar.ini"
VELLOMAR_PREFIX="$tmp/vellomar" "$vellomar_bin" </dev/null >"$tmp/vellomar/stdout" 2>&1 &
vellomar_pid=$!
pids+=($vellomar_pid)
wait_port $VELLOMAR_PORT vellomar

# --- tinyproxy ----------------------------------------------------------------
mkdir -p "$tmp/tinyproxy"
chown nobody:nogroup "$tmp/tinyproxy" 2>/dev/null || true
cat >"$tmp/tinyproxy/tinyproxy.conf" <<EOF
User nobody
Group nogroup
Port $TINYPROXY_PORT
Listen 127.0.0.1
Timeout 600
MaxClients 512
LogFile "/dev/null"
LogLevel Critical
PidFile "$tmp/tinyproxy/tinyproxy.pid"
DisableViaHeader Yes
Allow 127.0.0.1
EOF
tinyproxy -d -c "$tmp/tinyproxy/tinyproxy.conf" >"$tmp/tinyproxy/stdout" 2>&1 &
tinyproxy_pid=$!
pids+=($tinyproxy_pid)

# --- privoxy ------------------------------------------------------------------
# No actions or filter files: it forwards without filtering. Upstream
# connections are kept per client connection, as Vellomar keeps them; its receive buffer is raised from the
# default 5000 bytes to Vellomar's 32 KiB piece size so that large replies are
# not penalised.
mkdir -p "$tmp/privoxy"
cat >"$tmp/privoxy/config" <<EOF
confdir /etc/privoxy
logdir $tmp/privoxy
listen-address 127.0.0.1:$PRIVOXY_PORT
toggle 0
enable-remote-toggle 0
enable-remote-http-toggle 0
enable-edit-actions 0
accept-intercepted-requests 0
buffer-limit 4096
keep-alive-timeout 60
default-server-timeout 60
connection-sharing 0
tolerate-pipelining 1
socket-timeout 300
max-client-connections 512
receive-buffer-size 32768
debug 0
EOF
privoxy --no-daemon "$tmp/privoxy/config" >"$tmp/privoxy/stdout" 2>&1 &
privoxy_pid=$!
pids+=($privoxy_pid)

# --- squid --------------------------------------------------------------------
mkdir -p "$tmp/squid"
chown proxy:proxy "$tmp/squid" 2>/dev/null || true
cat >"$tmp/squid/squid.conf" <<EOF
http_port 127.0.0.1:$SQUID_PORT
http_access allow all
cache deny all
cache_mem 0 MB
access_log none
cache_store_log none
cache_log /dev/null
logfile_rotate 0
debug_options ALL,0
pid_filename $tmp/squid/squid.pid
coredump_dir $tmp/squid
visible_hostname bench.local
via off
forwarded_for transparent
server_persistent_connections on
client_persistent_connections on
shutdown_lifetime 0 seconds
max_filedescriptors 4096
EOF
squid -N -f "$tmp/squid/squid.conf" >"$tmp/squid/stdout" 2>&1 &
squid_pid=$!
pids+=($squid_pid)

wait_port $TINYPROXY_PORT tinyproxy
wait_port $PRIVOXY_PORT privoxy
wait_port $SQUID_PORT squid

# Every proxy must actually forward, and Vellomar must block.
origin="http://127.0.0.1:$ORIGIN_PORT"
for port in $VELLOMAR_PORT $TINYPROXY_PORT $PRIVOXY_PORT $SQUID_PORT $RELAY_PORT; do
  size=$(curl -s -x "127.0.0.1:$port" -o /dev/null -w '%{size_download}' "$origin/256k")
  [[ "$size" == $((256 * 1024)) ]] || { echo "proxy on port $port did not forward (got $size bytes)" >&2; exit 1; }
done
blocked_type=$(curl -s -x "127.0.0.1:$VELLOMAR_PORT" -o /dev/null -w '%{content_type}' "$origin$BLOCKED_PATH")
[[ "$blocked_type" == image/gif ]] || { echo "Vellomar did not block $BLOCKED_PATH" >&2; exit 1; }

# --- measuring ----------------------------------------------------------------
declare -A port_of=([direct]=$ORIGIN_PORT [vellomar]=$VELLOMAR_PORT [tinyproxy]=$TINYPROXY_PORT
  [privoxy]=$PRIVOXY_PORT [squid]=$SQUID_PORT [relay]=$RELAY_PORT)
targets=(direct vellomar tinyproxy privoxy squid relay)
((only)) && targets=(direct vellomar)
scenarios=("ka-1k /1k 0" "ka-256k /256k 0" "close-1k /1k 1" "blocked $BLOCKED_PATH 0")
runs="$tmp/runs.tsv"
results="$tmp/results.tsv"
: >"$runs"

run_wrk() {  # target scenario path close connections round
  local target=$1 scenario=$2 path=$3 close=$4 connections=$5 round=$6 line
  local url_path="$path"
  [[ $target == direct ]] || url_path="$origin$path"
  line=$(BENCH_PATH="$url_path" BENCH_HOST="127.0.0.1:$ORIGIN_PORT" BENCH_CLOSE="$close" \
    wrk -t1 -c"$connections" -d"${duration}s" --timeout 10s -s "$here/request.lua" \
    "http://127.0.0.1:${port_of[$target]}/" 2>&1 | grep '^RESULT ' || true)
  if [[ -z "$line" ]]; then line="RESULT 0 1 0 0 0 0 0 0 0"; fi
  # RESULT requests duration_us p50_us p99_us connect read write status timeout
  read -r _ requests duration_us p50 p99 e_connect e_read e_write e_status e_timeout <<<"$line"
  local rps errors
  rps=$(awk -v r="$requests" -v d="$duration_us" 'BEGIN { printf "%.0f", r / (d / 1e6) }')
  errors=$((e_connect + e_write + e_status + e_timeout))
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$scenario" "$connections" "$target" "$rps" "$p50" "$p99" \
    "$errors" "$e_read" >>"$runs"
  printf 'round %s  %-9s c=%-3s %-10s %9s req/s  p50 %7s us  p99 %7s us  errors %s (read %s)\n' \
    "$round" "$scenario" "$connections" "$target" "$rps" "$p50" "$p99" "$errors" "$e_read"
}

echo "wrk, 1 thread, ${duration}s per run, $rounds rounds"
for entry in "${scenarios[@]}"; do
  read -r scenario path close <<<"$entry"
  for connections in 1 32; do
    for ((round = 1; round <= rounds; round++)); do
      for target in "${targets[@]}"; do
        run_wrk "$target" "$scenario" "$path" "$close" "$connections" "$round"
      done
    done
  done
done
# The median of the rounds for each scenario, connection count and target
# (requests/s, p50 and p99 each on its own); errors summed.
awk -F'\t' '
  function median(list,   n, a, i, j, t) {
    n = split(list, a, " ")
    for (i = 2; i <= n; i++) { t = a[i] + 0; for (j = i - 1; j >= 1 && a[j] + 0 > t; j--) a[j + 1] = a[j]; a[j + 1] = t }
    return (n % 2) ? a[(n + 1) / 2] : int((a[n / 2] + a[n / 2 + 1]) / 2)
  }
  { key = $1 "\t" $2 "\t" $3; if (!(key in rps)) order[++n] = key
    rps[key] = rps[key] " " $4; p50[key] = p50[key] " " $5; p99[key] = p99[key] " " $6
    errors[key] += $7; reads[key] += $8 }
  END { for (i = 1; i <= n; i++) { k = order[i]
    printf "%s\t%s\t%s\t%s\t%d\t%d\n", k, median(rps[k]), median(p50[k]), median(p99[k]), errors[k], reads[k] } }
' "$runs" >"$results"

declare -A rss
for target in vellomar tinyproxy privoxy squid relay; do
  pid_var="${target}_pid"
  pid=${!pid_var}
  if [[ -r /proc/$pid/status ]]; then
    rss[$target]=$(awk '/^VmHWM:/ { print $2 }' "/proc/$pid/status")
  else
    rss[$target]=0
  fi
done
# squid and tinyproxy may run helper processes or children: count the largest.
for target in tinyproxy squid; do
  pid_var="${target}_pid"
  for child in $(pgrep -P "${!pid_var}" 2>/dev/null || true); do
    hwm=$(awk '/^VmHWM:/ { print $2 }' "/proc/$child/status" 2>/dev/null || echo 0)
    ((hwm > rss[$target])) && rss[$target]=$hwm
  done
done
kill -0 "$vellomar_pid" 2>/dev/null || { echo "Vellomar died during the run" >&2; exit 1; }
if [[ -n "$tsv" ]]; then
  { cat "$results"; printf 'peak-rss	-	vellomar	%s	0	0	0	0
' "${rss[vellomar]}"; } >"$tsv"
fi
if ((only)); then
  cat "$results"
  exit 0
fi

# --- the table ----------------------------------------------------------------
report="$tmp/report.md"
{
  echo "## Side by side: Vellomar, tinyproxy, privoxy, squid ($(date -u '+%Y-%m-%d %H:%M UTC'))"
  echo
  echo "wrk 1 thread, ${duration} s per run, median of $rounds rounds (targets interleaved within each"
  echo "round), all in one go against one nginx origin on loopback;"
  echo "$(nproc) cores shared by origin, proxy and wrk. Ratio = proxy req/s divided by direct req/s"
  echo "in the same scenario. Latencies in microseconds."
  echo "Peers: $(tinyproxy -v 2>&1 | head -1), privoxy $(privoxy --version 2>&1 | awk '{ print $3 }'),"
  echo "squid $(squid -v 2>&1 | awk '/Version/ { print $4 }'), origin nginx $(nginx -v 2>&1 | sed 's/.*\///')."
  echo
  echo "| scenario | conns | target | req/s | p50 us | p99 us | ratio to direct | errors |"
  echo "|---|---:|---|---:|---:|---:|---:|---:|"
  awk -F'\t' '
    $3 == "direct" { direct[$1 " " $2] = $4 }
    { row[NR] = $0 }
    END {
      for (i = 1; i <= NR; i++) {
        split(row[i], f, "\t")
        d = direct[f[1] " " f[2]]
        ratio = (f[3] == "direct") ? "1.00" : (d > 0 ? sprintf("%.2f", f[4] / d) : "-")
        printf "| %s | %s | %s | %s | %s | %s | %s | %s |\n", f[1], f[2], f[3], f[4], f[5], f[6], ratio, f[7]
      }
    }' "$results"
  echo
  echo "Goal: Vellomar ratio at least 1.5 times the best peer ratio in every scenario. The"
  echo "reference relay (relay) is no peer: its ratio is what a tuned event-driven relay reaches."
  echo
  echo "| scenario | conns | Vellomar ratio | best peer | best peer ratio | Vellomar / best peer | goal | relay ratio |"
  echo "|---|---:|---:|---|---:|---:|---|---:|"
  awk -F'\t' '
    { key = $1 " " $2; if (!(key in seen)) { seen[key] = 1; order[++n] = key; sc[key] = $1; cn[key] = $2 }
      rps[key, $3] = $4 }
    END {
      for (i = 1; i <= n; i++) {
        k = order[i]; d = rps[k, "direct"]
        if (d <= 0) continue
        v = rps[k, "vellomar"] / d
        best = ""; bestr = -1
        split("tinyproxy privoxy squid", peers, " ")
        for (p = 1; p <= 3; p++) { r = rps[k, peers[p]] / d; if (r > bestr) { bestr = r; best = peers[p] } }
        rel = bestr > 0 ? v / bestr : 0
        printf "| %s | %s | %.2f | %s | %.2f | %.2f | %s | %.2f |\n", sc[k], cn[k], v, best, bestr, rel, (rel >= 1.5 ? "met" : "NOT met"), rps[k, "relay"] / d
      }
    }' "$results"
  echo
  echo "Peak resident memory (VmHWM) of each proxy after all runs:"
  echo
  echo "| proxy | peak RSS KiB | peak RSS MiB |"
  echo "|---|---:|---:|"
  for target in vellomar tinyproxy privoxy squid relay; do
    awk -v t="$target" -v k="${rss[$target]}" 'BEGIN { printf "| %s | %d | %.1f |\n", t, k, k / 1024 }'
  done
  echo
  echo "Blocked path: Vellomar answers it from its rules (blocked-image answer, 268 bytes);"
  echo "direct and the peers fetch the 54-byte file nginx serves at that path."
  echo "\"errors\" counts connect, write, status and timeout errors; read errors (a server"
  echo "closing a kept connection) are not counted."
} >"$report"
echo
cat "$report"
if ((write)); then
  {
    echo "# Benchmark results"
    echo
    cat "$report"
    if [[ -f "$out" ]]; then
      echo
      # Keep every other section of the file (other benchmarks' tables).
      awk '/^## Side by side/ { skip = 1; next } /^## / { keep = 1; skip = 0 } keep && !skip' "$out"
    fi
  } >"$out.new"
  mv "$out.new" "$out"
  echo "written to $out"
fi
