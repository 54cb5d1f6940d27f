#!/usr/bin/env bash
# Installs, with apt, whatever the build and the tests need and this machine
# lacks. Safe to run again: it installs nothing that is already there.
set -euo pipefail
needed=(g++ cmake make libgtest-dev libgmock-dev)
missing=()
for p in "${needed[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
fi
