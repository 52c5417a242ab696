#!/usr/bin/env bash
# Builds Vellomar (not its tests), installs it with its shipped defaults and starts it: setup
# runs from the distribution folder (its questions are asked on this terminal;
# without one the defaults answer: no browser changes), and the tray
# application it starts keeps serving 127.0.0.1:8000 after this script ends.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"
# Only what runs here: the distribution folder (the main program, setup and
# the remove program) and the two tools; the tests are left for test.sh.
cmake -S "$top" -B "$top/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$top/build" -j "$(nproc)" --target dist vmtray vmreg

bin="$top/build/bin"
prefix="${VELLOMAR_PREFIX:-${XDG_DATA_HOME:-$HOME/.local/share}/vellomar}"
install_dir="$prefix/drive_c/Program Files/Vellomar"
run_log="$top/build/run.log"

port_answers() { (exec 3<>/dev/tcp/127.0.0.1/8000) 2>/dev/null; }

# A Vellomar already running here holds its program open: end it first, so
# that setup can replace it.
if "$bin/vmtray" menu >/dev/null 2>&1; then
  echo "Stopping the Vellomar that is running now..."
  VELLOMAR_MSGBOX_ANSWER=yes "$bin/vmtray" choose "Exit Vellomar" >/dev/null || true
  for _ in $(seq 50); do port_answers || break; sleep 0.1; done
fi
if port_answers; then
  echo "run.sh: another program already uses 127.0.0.1:8000; stop it and run this again." >&2
  exit 1
fi

# A machine folder made anew gets what every desktop has: its C: drive and
# the start-up key (setup only opens that key, it never creates it). On a
# first installation the activity log starts switched on, so that "View Log"
# shows what was blocked; the General page switches it off.
mkdir -p "$prefix/drive_c"
has_key() { "$bin/vmreg" export "HKEY_LOCAL_MACHINE\\$1" >/dev/null 2>&1; }
machine_keys=$(mktemp)
echo REGEDIT4 >"$machine_keys"
if ! has_key 'Software\Microsoft\Windows\CurrentVersion\Run'; then
  printf '\n[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Run]\n' \
    >>"$machine_keys"
fi
if ! has_key 'Software\Vellomar'; then
  printf '\n[HKEY_LOCAL_MACHINE\\Software\\Vellomar\\Log]\n"Enabled"="1"\n' >>"$machine_keys"
fi
"$bin/vmreg" import "$machine_keys"
rm -f "$machine_keys"

# The tray application started by setup outlives this terminal; its own
# output goes to the run log.
trap '' HUP
cd "$top/build/dist"
status=0
if [[ -t 0 && -z "${VELLOMAR_MSGBOX_ANSWER:-}" ]]; then
  ./setup >"$run_log" 2>&1 || status=$?
else
  ./setup >"$run_log" 2>&1 </dev/null || status=$?
  cat "$run_log"
fi
if ((status != 0)); then
  echo "run.sh: setup failed (exit status $status); see $run_log" >&2
  exit "$status"
fi
for _ in $(seq 100); do port_answers && break; sleep 0.1; done
if ! port_answers; then
  echo "run.sh: Vellomar did not start serving 127.0.0.1:8000; see $run_log" >&2
  exit 1
fi

# A fresh installation subscribes to EasyList and EasyPrivacy. The first
# copies come from the ones Debian's packaged browser extension ships (no
# network needed); "vmlists update", and the running Vellomar once they
# expire, fetch fresh ones from the lists' own addresses.
shipped_list() {
  local package file
  for package in webext-ublock-origin-firefox webext-ublock-origin-chromium; do
    file=$(dpkg -L "$package" 2>/dev/null | grep "/$1\$" | head -n 1) || true
    if [[ -n "$file" && -r "$file" ]]; then
      echo "$file"
      return 0
    fi
  done
  return 1
}
if [[ ! -d "$install_dir/Lists" ]]; then
  for list in easylist easyprivacy; do
    address="https://easylist.to/easylist/$list.txt"
    if copy=$(shipped_list "$list.txt"); then
      "$bin/vmlists" "--copy=$copy" add "$address" "$list" || true
    else
      "$bin/vmlists" add "$address" "$list" ||
        echo "run.sh: could not subscribe to $list; try later: $bin/vmlists add $address" >&2
    fi
  done
fi

cat <<EOT

Vellomar is blocking ads on 127.0.0.1:8000 (machine folder: $prefix).

  Use it:        point your browser's HTTP and HTTPS proxy at 127.0.0.1 port 8000
                 (how, for each browser: $install_dir/Vellomar.txt)
  Setup pages:   http://127.0.0.1:8000/
  Ad lists:      $bin/vmlists list      (add, update, remove, report: vmlists --help)
  Tray menu:     $bin/vmtray menu
  Stop it:       $bin/vmtray choose "Exit Vellomar"      (answer yes)
  Remove it:     stop it, then run "$install_dir/VMRemove.exe"
EOT
