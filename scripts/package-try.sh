#!/usr/bin/env bash
# Tries the installed package end to end. Run by ci-package.sh inside
# `unshare --net --mount`, so that port 8000 and the mounts are its own:
# vellomar-setup in a temporary machine folder, one request blocked and one
# forwarded through 127.0.0.1:8000, Exit from the tray menu; then, where a
# systemd user manager can run, vellomar.service started, restarted and
# stopped, with port 8000 served and freed each time.
# Usage: package-try.sh WORK_FOLDER (inside a network namespace of its own)
set -euo pipefail
work=$1
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT
fail() {
  echo "package-try: $*" >&2
  exit 1
}
serves() { (exec 3<>/dev/tcp/127.0.0.1/8000) 2>/dev/null; }
wait_until() {
  for _ in $(seq 100); do "$@" && return 0; sleep 0.1; done
  return 1
}
freed() { ! serves; }

ip link set lo up
serves && fail "port 8000 is taken inside a fresh network namespace"

# An origin server for the forwarded request.
mkdir -p "$work/www"
echo "hello from the origin" >"$work/www/hello.txt"
python3 -m http.server 8081 --bind 127.0.0.1 --directory "$work/www" \
  >"$work/origin.log" 2>&1 &
pids+=($!)
wait_until curl -sf -o /dev/null http://127.0.0.1:8081/hello.txt || fail "no origin server"

export VELLOMAR_PREFIX="$work/machine"
export VELLOMAR_MSGBOX_LOG="$work/boxes.jsonl"
export EDITOR=true VISUAL=true
install_dir="$VELLOMAR_PREFIX/drive_c/Program Files/Vellomar"

# The activity log on, so that the blocked request leaves its line.
printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Vellomar\\Log]\n"Enabled"="1"\n' \
  >"$work/log-on.reg"
vmreg import "$work/log-on.reg"

check_requests() {
  local label=$1
  local forwarded blocked
  forwarded=$(curl -sS --max-time 10 -x http://127.0.0.1:8000 http://127.0.0.1:8081/hello.txt)
  [[ "$forwarded" == "hello from the origin" ]] || fail "$label: forwarded request got: $forwarded"
  curl -sS --max-time 10 -x http://127.0.0.1:8000 -o "$work/blocked.gif" \
    http://ad.doubleclick.net/banner/728x90.gif
  [[ "$(head -c 6 "$work/blocked.gif")" == "GIF89a" ]] || fail "$label: blocked request not a GIF"
  grep -q 'Blocked Ad: ad.doubleclick.net/banner/728x90.gif' "$install_dir/Vellomar.log" ||
    fail "$label: the log has no line for the blocked request"
  echo "$label: http://127.0.0.1:8081/hello.txt forwarded ($forwarded)," \
    "http://ad.doubleclick.net/banner/728x90.gif blocked ($(stat -c %s "$work/blocked.gif")-byte GIF)"
}

(cd / && VELLOMAR_MSGBOX_ANSWER=no vellomar-setup) || fail "vellomar-setup failed"
wait_until serves || fail "vellomar-setup: nothing serves 127.0.0.1:8000"
check_requests "vellomar-setup"
VELLOMAR_MSGBOX_ANSWER=yes vmtray choose "Exit Vellomar" >/dev/null
wait_until freed || fail "Exit Vellomar: port 8000 still served"
echo "Exit Vellomar: port 8000 freed"

# A systemd user manager, where one can run: it wants /run/systemd/system
# (a system booted with systemd), which this mount namespace may fake.
if [[ ! -d /run/systemd/system && -d /run/systemd ]]; then
  mkdir -p "$work/run-systemd/system"
  mount --bind "$work/run-systemd" /run/systemd
fi
export XDG_RUNTIME_DIR="$work/user-runtime"
mkdir -m 0700 "$XDG_RUNTIME_DIR"
/usr/lib/systemd/systemd --user >"$work/user-manager.log" 2>&1 &
manager=$!
pids+=("$manager")
if ! wait_until systemctl --user is-system-running --quiet 2>/dev/null; then
  echo "no systemd user manager can run here:"
  tail -n 5 "$work/user-manager.log"
  exit 0
fi
systemctl --user set-environment VELLOMAR_PREFIX="$VELLOMAR_PREFIX"
user=$(id -un)
show() { systemctl --user show -p ActiveState -p SubState -p MainPID -p ExecMainStatus vellomar; }

systemctl --user start vellomar
wait_until serves || fail "vellomar.service: nothing serves 127.0.0.1:8000"
echo "systemctl --user start vellomar ($user): $(show | tr '\n' ' ')"
check_requests "vellomar.service"
systemctl --user restart vellomar
wait_until serves || fail "vellomar.service restarted: nothing serves 127.0.0.1:8000"
echo "systemctl --user restart vellomar: $(show | tr '\n' ' ')"
systemctl --user stop vellomar
wait_until freed || fail "vellomar.service stopped: port 8000 still served"
state=$(show)
echo "systemctl --user stop vellomar: port 8000 freed; $(echo "$state" | tr '\n' ' ')"
grep -qx 'ExecMainStatus=0' <<<"$state" || fail "vellomar.service did not end with status 0"
[[ $(grep -c 'Vellomar Exiting' "$install_dir/Vellomar.log") -ge 3 ]] ||
  fail "the service's ends are not in the activity log"
systemctl --user exit || true
wait "$manager" 2>/dev/null || true
