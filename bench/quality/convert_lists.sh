#!/usr/bin/env bash
# Converts the copies of EasyList and EasyPrivacy that Debian's packaged
# browser extension ships, with a built vmlists, as scripts/run.sh does on a
# fresh installation, and leaves the converted files (and their reports) in
# OUT_DIR.
#
#   bench/quality/convert_lists.sh BUILD_DIR OUT_DIR
# (BUILD_DIR holds bin/vmlists.)
set -euo pipefail
build=$1 out=$2
prefix=$(mktemp -d /tmp/vellomar-lists-XXXXXX)
trap 'rm -rf "$prefix"' EXIT
install="$prefix/drive_c/Program Files/Vellomar"
mkdir -p "$install" "$out"
for list in easylist easyprivacy; do
  copy=""
  for package in webext-ublock-origin-firefox webext-ublock-origin-chromium; do
    copy=$(dpkg -L "$package" 2>/dev/null | grep "/$list.txt\$" | head -n 1) || true
    [[ -n "$copy" && -r "$copy" ]] && break
  done
  if [[ -z "$copy" ]]; then
    echo "convert_lists.sh: no shipped copy of $list.txt (install webext-ublock-origin-firefox)" >&2
    exit 1
  fi
  VELLOMAR_PREFIX=$prefix "$build/bin/vmlists" "--copy=$copy" add \
    "https://easylist.to/easylist/$list.txt" "$list"
done
VELLOMAR_PREFIX=$prefix "$build/bin/vmlists" list
cp "$install/Lists/"* "$out/"
