#!/usr/bin/env bash
# Builds Vellomar, installs it with its shipped defaults and starts it.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"
"$top/scripts/build.sh"
