#!/usr/bin/env bash
# Builds the server and starts it in the default working directory run/
# (configuration, BIN/ and DISK/ are prepared on first use, never overwritten).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -ne 0 ]; then
  echo "run.sh: run as root (sudo scripts/run.sh): the server runs only as root, and missing packages come from apt" >&2
  exit 1
fi
scripts/deps.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)"
scripts/prepare-workdir.sh run
cd run
exec ../build/velmor-central
