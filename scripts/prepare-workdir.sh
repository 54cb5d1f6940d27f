#!/usr/bin/env bash
# Prepares a working directory for velmor-central: the configuration file,
# BIN/version and the DISK/ folders. Existing files are left as they are.
set -euo pipefail
dir=${1:?usage: prepare-workdir.sh DIR}
mkdir -p "$dir/BIN" "$dir/DISK/UID32BASE" "$dir/DISK/PESEL" "$dir/DISK/LIST" "$dir/DISK/START"
cd "$dir"
[ -e velmorTAVR.config ] || cat > velmorTAVR.config <<'CFG'
# velmor central server configuration; every value ends with '&'.
PORT_CENTRAL=8809&
UIDBASE=null&DIR=UID32BASE&
PESELBASE=null&DIR=PESEL&
LISTBASE=null&DIR=LIST&
STARTBASE=null&DIR=START&
TEST=0&
CFG
[ -e BIN/version ] || printf '%s\n%s\n' "1.0.0" "$(uname -s)" > BIN/version
