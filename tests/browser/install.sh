#!/usr/bin/env bash
# Installs the browser tests' node packages exactly as locked.
set -euo pipefail
cd "$(dirname "$0")"
npm ci --no-audit --no-fund
