#!/usr/bin/env bash
# Runs Vellomar with imported lists in a network namespace of its own and
# measures: the time from start to serving (the definitions and lists are
# loaded before the first connection is taken), the resident memory, the time
# of a reload, and the blocking quality against the reference's verdicts.
#
#   bench/quality/measure.sh BUILD_DIR LISTS_DIR VERDICTS.jsonl
# (run as root: it needs "unshare -n"; BUILD_DIR holds bin/vellomar and
# dist/Vellomar.ini; LISTS_DIR holds the converted *.ini lists, may be empty.)
set -euo pipefail
if [[ "${1:-}" != --inside ]]; then
  exec unshare -n "$0" --inside "$@"
fi
shift
build=$1 lists=$2 verdicts=$3
here=$(cd "$(dirname "$0")" && pwd)
ip link set lo up
prefix=$(mktemp -d /tmp/vellomar-measure-XXXXXX)
trap 'kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; rm -rf "$prefix"' EXIT
install="$prefix/drive_c/Program Files/Vellomar"
mkdir -p "$install/Lists"
cp "$build/dist/Vellomar.ini" "$install/"
if compgen -G "$lists/*.ini" >/dev/null; then cp "$lists"/*.ini "$install/Lists/"; fi
export VELLOMAR_PREFIX=$prefix
# The port takes connections once bound, before the lists are loaded; the
# first answer (a setup page) comes only once connections are accepted. The
# probe starts first, so that its own start is not counted.
coproc probe {
  python3 -c '
import socket, sys, time
print("ready", flush=True)
sys.stdin.readline()
while True:
    try:
        s = socket.create_connection(("127.0.0.1", 8000))
        s.sendall(b"GET / HTTP/1.0\r\n\r\n")
        if s.recv(16):
            break
    except OSError:
        time.sleep(0.002)
print(time.time_ns(), flush=True)'
}
read -r _ <&"${probe[0]}"
started=$(date +%s%N)
"$build/bin/vellomar" >/dev/null 2>&1 &
pid=$!
echo go >&"${probe[1]}"
read -r serving <&"${probe[0]}"
echo "start to serving: $(((serving - started) / 1000000)) ms"
grep -E "VmRSS|RssAnon" "/proc/$pid/status" | tr -s " \t" " " | paste -sd " "
# Timed from one Python process, so that its start is not counted.
python3 - <<'PY'
import socket, time
for i in (1, 2, 3):
    t0 = time.monotonic()
    s = socket.create_connection(("127.0.0.1", 8000))
    s.sendall(b"GET http://vellomar.reload/ HTTP/1.0\r\n\r\n")
    s.recv(4096)
    print("reload %d (lists unchanged): %d ms" % (i, (time.monotonic() - t0) * 1000))
PY
grep -E "VmRSS|RssAnon" "/proc/$pid/status" | tr -s " \t" " " | paste -sd " "
# A changed list is built again.
for f in "$install"/Lists/*.ini; do echo "# changed" >>"$f"; done
python3 - <<'PY'
import socket, time
t0 = time.monotonic()
s = socket.create_connection(("127.0.0.1", 8000))
s.sendall(b"GET http://vellomar.reload/ HTTP/1.0\r\n\r\n")
s.recv(4096)
print("reload (lists changed): %d ms" % ((time.monotonic() - t0) * 1000))
PY
grep -E "VmRSS|RssAnon" "/proc/$pid/status" | tr -s " \t" " " | paste -sd " "
python3 "$here/replay.py" <"$verdicts"
