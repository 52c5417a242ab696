#!/usr/bin/env bash
# Soak test (not part of CI): DURATION seconds (default 3600) of mixed
# traffic through Vellomar while its resident memory is sampled every
# SAMPLE_SECONDS (default 10) into a CSV.
#
# Traffic, all at once:
#   - wrk, 8 connections, paced (DELAY_MS between requests per connection):
#     keep-alive 1 KiB and 256 KiB replies, one-connection-per-request 1 KiB,
#     and blocked requests answered by Vellomar itself;
#   - an HTTPS request through a CONNECT tunnel to the local nginx (TLS on a
#     port of its own) every half second;
#   - a reload through http://vellomar.reload/ every second;
#   - a setup page visit every second (General, Ad Definitions, Proxy Server,
#     About in turn).
# Activity logging is on. At the end it prints (and writes to OUT_DIR/summary.txt)
# the RSS trend after the first minute, the error lines of the activity log,
# the failures each client saw, whether Vellomar was still alive, and an ASCII
# plot of the RSS curve.
#
#   DURATION=3600 OUT_DIR=build-soak scripts/soak.sh
#
# Runs in a private network namespace when the machine allows one, so port
# 8000 stays free for everything else.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
DURATION="${DURATION:-3600}"
SAMPLE_SECONDS="${SAMPLE_SECONDS:-10}"
DELAY_MS="${DELAY_MS:-10}"
OUT_DIR="${OUT_DIR:-$top/build-soak}"
VELLOMAR_BIN="${VELLOMAR_BIN:-$top/build/bin/vellomar}"
VMREG_BIN="${VMREG_BIN:-$top/build/bin/vmreg}"

. "$top/scripts/lib/testnet.sh"
vm_own_network "$0" "$@"
export PATH="$PATH:/usr/sbin:/sbin"
for tool in nginx wrk curl openssl; do
  command -v "$tool" >/dev/null || { echo "missing $tool: run scripts/install-deps.sh --bench" >&2; exit 1; }
done
for program in "$VELLOMAR_BIN" "$VMREG_BIN"; do
  [[ -x "$program" ]] || { echo "missing $program: build it first" >&2; exit 1; }
done

ORIGIN_PORT=18080
TLS_PORT=18443
PROXY=127.0.0.1:8000
mkdir -p "$OUT_DIR"
work="$OUT_DIR/work"
rm -rf "$work"
csv="$OUT_DIR/rss.csv"
summary="$OUT_DIR/summary.txt"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT

wait_port() { vm_wait_port "$@"; }

# Origin, over HTTP and HTTPS.
vm_start_origin "$work/origin" $ORIGIN_PORT $TLS_PORT
pids+=("$VM_ORIGIN_PID")

# Vellomar, with logging on.
export VELLOMAR_PREFIX="$work/prefix"
install_dir="$VELLOMAR_PREFIX/drive_c/Program Files/Vellomar"
mkdir -p "$install_dir"
printf '# soak rules\nA$doubleclick\nF</ads/\nU<127.0.0.1/never/\n' >"$install_dir/vellomar.ini"
printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Vellomar\\Log]\n"Enabled"="1"\n' >"$work/log-on.reg"
"$VMREG_BIN" import "$work/log-on.reg"
"$VELLOMAR_BIN" </dev/null >"$work/vellomar.out" 2>&1 &
vellomar=$!
pids+=($vellomar)
wait_port 8000

# wrk's request mix.
cat >"$work/mix.lua" <<EOF
local origin = "http://127.0.0.1:$ORIGIN_PORT"
local host = "127.0.0.1:$ORIGIN_PORT"
local requests = {}
local function add(path, close, weight)
  local headers = { ["Host"] = host }
  if close then headers["Connection"] = "close" end
  local text = wrk.format("GET", origin .. path, headers)
  for _ = 1, weight do table.insert(requests, text) end
end
add("/1k", false, 5)
add("/256k", false, 1)
add("/1k", true, 2)
add("/ads/banner.gif", false, 2)
request = function() return requests[math.random(#requests)] end
delay = function() return $DELAY_MS end
done = function(summary, latency, _)
  local e = summary.errors
  io.write(string.format("RESULT requests=%d connect=%d read=%d write=%d status=%d timeout=%d p99_us=%d\n",
    summary.requests, e.connect, e.read, e.write, e.status, e.timeout, latency:percentile(99)))
end
EOF
wrk -t1 -c8 -d"${DURATION}s" --timeout 10s -s "$work/mix.lua" "http://$PROXY/" >"$work/wrk.out" 2>&1 &
wrk_pid=$!
pids+=($wrk_pid)

end_time=$((SECONDS + DURATION))
# CONNECT tunnels.
(
  ok=0 bad=0
  while ((SECONDS < end_time)); do
    size=$(curl -s -k -m 10 -x "$PROXY" -o /dev/null -w '%{size_download}' \
      "https://127.0.0.1:$TLS_PORT/256k" || true)
    if [[ "$size" == 262144 ]]; then ok=$((ok + 1)); else bad=$((bad + 1)); fi
    sleep 0.5
  done
  echo "https through CONNECT ok=$ok failed=$bad" >"$work/connect.out"
) &
pids+=($!)
# Reloads.
(
  ok=0 bad=0
  while ((SECONDS < end_time)); do
    if curl -s -m 10 --http0.9 -x "$PROXY" http://vellomar.reload/ | grep -q 'Reloaded'; then
      ok=$((ok + 1))
    else
      bad=$((bad + 1))
    fi
    sleep 1
  done
  echo "reload ok=$ok failed=$bad" >"$work/reload.out"
) &
pids+=($!)
# Setup pages.
(
  ok=0 bad=0 i=0
  pages=("" "definitions/" "proxy/" "about/")
  while ((SECONDS < end_time)); do
    page=${pages[$((i % 4))]}
    i=$((i + 1))
    if curl -s -m 10 --http0.9 "http://$PROXY/$page" | grep -q '</html>'; then
      ok=$((ok + 1))
    else
      bad=$((bad + 1))
    fi
    sleep 1
  done
  echo "setup ok=$ok failed=$bad" >"$work/setup.out"
) &
pids+=($!)

# Samples.
echo "seconds,rss_kib,hwm_kib,threads,fds" >"$csv"
crashed=""
started=$SECONDS
while ((SECONDS < end_time)); do
  if ! kill -0 "$vellomar" 2>/dev/null; then
    crashed="Vellomar ended after $((SECONDS - started)) s"
    break
  fi
  status=$(cat "/proc/$vellomar/status")
  rss=$(awk '/^VmRSS:/ { print $2 }' <<<"$status")
  hwm=$(awk '/^VmHWM:/ { print $2 }' <<<"$status")
  threads=$(awk '/^Threads:/ { print $2 }' <<<"$status")
  fds=$(ls "/proc/$vellomar/fd" | wc -l)
  echo "$((SECONDS - started)),$rss,$hwm,$threads,$fds" >>"$csv"
  sleep "$SAMPLE_SECONDS"
done
wait "$wrk_pid" || true
sleep 2
exit_status="(killed)"
if [[ -z "$crashed" ]]; then
  kill -TERM "$vellomar"
  wait "$vellomar" && exit_status=0 || exit_status=$?
else
  wait "$vellomar" && exit_status=0 || exit_status=$?
fi
sleep 1

log="$install_dir/vellomar.log"
{
  echo "Soak: ${DURATION} s of mixed traffic, RSS sampled every ${SAMPLE_SECONDS} s ($(date -u '+%Y-%m-%d %H:%M UTC'))"
  echo "wrk: $(grep '^RESULT' "$work/wrk.out" || echo 'no result')"
  cat "$work/connect.out" "$work/reload.out" "$work/setup.out" 2>/dev/null || true
  echo "crash: ${crashed:-none}; exit status after SIGTERM: $exit_status"
  if [[ -f "$log" ]]; then
    echo "activity log: $(wc -l <"$log") lines, $(grep -c 'Blocked Ad' "$log" || true) blocked," \
      "$(grep -c 'ERROR' "$log" || true) error lines"
    grep 'ERROR' "$log" | sed 's/^[^:]*:[^:]*:[^:]*: //' | sort | uniq -c | sort -rn | head -10 || true
  else
    echo "activity log: none written"
  fi
  awk -F, -v skip=60 'NR > 1 && $1 >= skip { n++; x += $1; y += $2; xx += $1 * $1; xy += $1 * $2
      if (min == "" || $2 < min) min = $2; if ($2 > max) max = $2 }
    NR == 2 { first = $2 } END {
      if (n < 2) { print "too few samples for a trend"; exit }
      slope = (n * xy - x * y) / (n * xx - x * x)
      printf "RSS after the first minute: %d samples, min %d KiB, max %d KiB, first sample %d KiB;\n", n, min, max, first
      printf "trend %.2f KiB per minute (least squares), %.0f KiB over the run\n", slope * 60, slope * ($1 - skip)
    }' "$csv"
  echo
  echo "RSS (KiB) by minute:"
  awk -F, 'NR > 1 { m = int($1 / 60); rss[m] = $2; if (m > last) last = m; if ($2 > max) max = $2 }
    END { for (m = 0; m <= last; m++) if (m in rss) {
      bar = ""; for (i = 0; i < int(50 * rss[m] / max); i++) bar = bar "#"
      printf "%4d min %7d %s\n", m, rss[m], bar } }' "$csv"
} | tee "$summary"
