#!/usr/bin/env bash
# Installs the Debian packages listed in scripts/packages.txt (and, with
# --bench, scripts/bench-packages.txt) that are not installed yet.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
lists=("$here/packages.txt")
if [[ "${1:-}" == "--bench" && -f "$here/bench-packages.txt" ]]; then
  lists+=("$here/bench-packages.txt")
fi
wanted=$(grep -hv '^\s*\(#\|$\)' "${lists[@]}" | tr -s ' \n' '\n' | sort -u)
missing=()
for package in $wanted; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
if ((${#missing[@]})); then
  sudo=""
  [[ $(id -u) -eq 0 ]] || sudo=sudo
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
