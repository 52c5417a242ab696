#!/usr/bin/env bash
# Configures and builds Vellomar into build/ (programs in build/bin, the
# distribution folder in build/dist). Extra arguments go to cmake.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cmake -S "$top" -B "$top/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
cmake --build "$top/build" -j "$(nproc)"
