#!/usr/bin/env bash
# Crash safety (not part of CI): kills programs with SIGKILL in the middle of
# writes, ROUNDS times each (default 200), and checks that nothing stored was
# left half-written.
#
#   definitions  Vellomar saves a large definitions text again and again
#                (GET /definitions/?settings=..., two texts in turn) and is
#                killed at a random moment: the file must hold the old or the
#                new text exactly.
#   general      Vellomar takes General page submissions that switch logging
#                on and off in turn (registry writes) and is killed at a
#                random moment: the registry must open and "Enabled" must read
#                "1" or "0".
#   import       vmreg imports two files in turn, each setting the same 100
#                values (all "x…" or all "y…"), and is killed at a random
#                moment: the registry must open and hold one file's values
#                entirely.
# Leftover temporary files next to the definitions file are counted too.
#
#   ROUNDS=200 scripts/crash_safety.sh [definitions|general|import]...
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
ROUNDS="${ROUNDS:-200}"
VELLOMAR_BIN="${VELLOMAR_BIN:-$top/build/bin/vellomar}"
VMREG_BIN="${VMREG_BIN:-$top/build/bin/vmreg}"
experiments=("$@")
((${#experiments[@]})) || experiments=(definitions general import)

. "$top/scripts/lib/testnet.sh"
vm_own_network "$0" "${experiments[@]}"
for program in "$VELLOMAR_BIN" "$VMREG_BIN"; do
  [[ -x "$program" ]] || { echo "missing $program: build it first" >&2; exit 1; }
done

work=$(mktemp -d /tmp/vellomar-crash.XXXXXX)
export VELLOMAR_PREFIX="$work/prefix"
install_dir="$VELLOMAR_PREFIX/drive_c/Program Files/Vellomar"
mkdir -p "$install_dir"
vellomar=""
writer=""
cleanup() {
  [[ -n "$writer" ]] && kill -9 "$writer" 2>/dev/null
  [[ -n "$vellomar" ]] && kill -9 "$vellomar" 2>/dev/null
  wait 2>/dev/null || true
  [[ -n "${KEEP_TMP:-}" ]] || rm -rf "$work"
}
trap cleanup EXIT

# A random pause of 0 to $1 milliseconds.
random_pause() { sleep "$(awk -v r="$RANDOM" -v max="$1" 'BEGIN { printf "%.3f", r / 32768 * max / 1000 }')"; }

start_vellomar() {
  "$VELLOMAR_BIN" </dev/null >/dev/null 2>&1 &
  vellomar=$!
  for _ in $(seq 1 200); do
    (exec 3<>/dev/tcp/127.0.0.1/8000) 2>/dev/null && return 0
    sleep 0.02
  done
  echo "Vellomar did not start" >&2
  exit 1
}

# Sends one request to the setup pages and reads the answer to its end.
setup_request() {  # target-without-slash
  exec 3<>/dev/tcp/127.0.0.1/8000 || return 0
  printf 'GET /%s HTTP/1.0\r\nHost: 127.0.0.1:8000\r\n\r\n' "$1" >&3 || true
  cat <&3 >/dev/null || true
  exec 3<&-
}

# Stops the writer loop and Vellomar, both with SIGKILL, Vellomar first.
kill_all() {
  [[ -n "$vellomar" ]] && { kill -9 "$vellomar" 2>/dev/null || true; wait "$vellomar" 2>/dev/null || true; }
  vellomar=""
  if [[ -n "$writer" ]]; then
    for child in $(pgrep -P "$writer" 2>/dev/null || true); do kill -9 "$child" 2>/dev/null || true; done
    kill -9 "$writer" 2>/dev/null || true
    wait "$writer" 2>/dev/null || true
  fi
  writer=""
}

# Two definitions texts of about 10 KB each (decoded), URL-encoded for the
# form, and the bytes each leaves in the file (LF written as CR LF).
make_text() {  # letter
  local letter=$1 i
  for ((i = 0; i < 300; i++)); do
    printf 'A%s%04d.example.com rule text\n' "$letter" "$i"
  done
}
encode() { sed 's/ /+/g' | awk 'BEGIN { ORS = "%0A" } { print }'; }

experiment_definitions() {
  local text_a text_b enc_a enc_b round old=0 new=0 other=0 leftovers=0
  make_text a | sed 's/$/\r/' >"$work/expect-a"
  make_text b | sed 's/$/\r/' >"$work/expect-b"
  enc_a=$(make_text a | encode)
  enc_b=$(make_text b | encode)
  cp "$work/expect-a" "$install_dir/vellomar.ini"
  for ((round = 1; round <= ROUNDS; round++)); do
    start_vellomar
    (
      while :; do
        setup_request "definitions/?settings=$enc_b"
        setup_request "definitions/?settings=$enc_a"
      done
    ) 2>/dev/null &
    writer=$!
    random_pause 300
    kill_all
    if cmp -s "$install_dir/vellomar.ini" "$work/expect-a"; then
      old=$((old + 1))
    elif cmp -s "$install_dir/vellomar.ini" "$work/expect-b"; then
      new=$((new + 1))
    else
      other=$((other + 1))
      cp "$install_dir/vellomar.ini" "$work/mixed-$round.ini"
      cp "$work/expect-a" "$install_dir/vellomar.ini"
    fi
  done
  leftovers=$(find "$install_dir" -maxdepth 1 -type f ! -iname vellomar.ini ! -iname vellomar.log | wc -l)
  echo "definitions: $ROUNDS kills during saves: text a $old, text b $new, neither $other;" \
    "leftover temporary files: $leftovers"
  ((other == 0))
}

registry_value() {  # key value-name: prints the value's data, fails when the registry cannot be read
  local out
  out=$("$VMREG_BIN" export "$1") || return 1
  awk -v name="\"$2\"" -F= 'tolower($1) == tolower(name) { sub(/^[^=]*=/, ""); print; exit }' <<<"$out"
}

experiment_general() {
  local round on=0 off=0 missing=0 broken=0 value
  for ((round = 1; round <= ROUNDS; round++)); do
    start_vellomar
    (
      while :; do
        setup_request "?log=log&save=Save"
        setup_request "?save=Save"
      done
    ) 2>/dev/null &
    writer=$!
    random_pause 300
    kill_all
    if ! value=$(registry_value 'HKEY_LOCAL_MACHINE\Software\Vellomar\Log' Enabled); then
      broken=$((broken + 1))
      continue
    fi
    case "$value" in
      '"1"') on=$((on + 1)) ;;
      '"0"') off=$((off + 1)) ;;
      '') missing=$((missing + 1)) ;;
      *) broken=$((broken + 1)); echo "round $round: Enabled=$value" >&2 ;;
    esac
  done
  echo "general: $ROUNDS kills during General submissions: Enabled \"1\" $on, \"0\" $off," \
    "not yet written $missing, unreadable or other $broken"
  ((broken == 0))
}

experiment_import() {
  local round x=0 y=0 broken=0 out letter i
  for letter in x y; do
    {
      printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Vellomar\\CrashTest]\n'
      for ((i = 0; i < 100; i++)); do printf '"Value%03d"="%s%03d"\n' "$i" "$letter" "$i"; done
    } >"$work/$letter.reg"
  done
  "$VMREG_BIN" import "$work/x.reg"
  for ((round = 1; round <= ROUNDS; round++)); do
    (
      while :; do
        "$VMREG_BIN" import "$work/y.reg"
        "$VMREG_BIN" import "$work/x.reg"
      done
    ) 2>/dev/null &
    writer=$!
    random_pause 200
    kill_all
    if ! out=$("$VMREG_BIN" export 'HKEY_LOCAL_MACHINE\Software\Vellomar\CrashTest'); then
      broken=$((broken + 1))
      continue
    fi
    xs=$(grep -c '^"Value[0-9]*"="x' <<<"$out" || true)
    ys=$(grep -c '^"Value[0-9]*"="y' <<<"$out" || true)
    if ((xs == 100 && ys == 0)); then
      x=$((x + 1))
    elif ((ys == 100 && xs == 0)); then
      y=$((y + 1))
    else
      broken=$((broken + 1))
      echo "round $round: $xs x values, $ys y values" >&2
    fi
  done
  echo "import: $ROUNDS kills during vmreg import: all x $x, all y $y, mixed or unreadable $broken"
  ((broken == 0))
}

status=0
for experiment in "${experiments[@]}"; do
  "experiment_$experiment" || status=1
done
exit $status
