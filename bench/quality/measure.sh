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
started=$(date +%s%N)
"$build/bin/vellomar" >/dev/null 2>&1 &
pid=$!
until (exec 3<>/dev/tcp/127.0.0.1/8000) 2>/dev/null; do sleep 0.005; done
serving=$(date +%s%N)
echo "start to serving: $(((serving - started) / 1000000)) ms"
grep VmRSS "/proc/$pid/status"
for i in 1 2 3; do
  t0=$(date +%s%N)
  printf 'GET http://vellomar.reload/ HTTP/1.0\r\n\r\n' |
    python3 -c 'import socket,sys; s=socket.create_connection(("127.0.0.1",8000)); s.sendall(sys.stdin.buffer.read()); s.recv(4096)'
  t1=$(date +%s%N)
  echo "reload $i: $(((t1 - t0) / 1000000)) ms"
done
grep VmRSS "/proc/$pid/status"
python3 "$here/replay.py" <"$verdicts"
