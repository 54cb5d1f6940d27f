#!/usr/bin/env bash
# Prepares a working directory for velmor-central: the configuration file,
# BIN/version, BIN/numerator (when it has been built), the DISK/ folders, the
# six empty journals of DISK/LIST and the letter folders of DISK/UID32BASE and
# DISK/START with their "name" markers -- the skeleton restore_files_local
# lays down. Existing files and folders are left as they are.
set -euo pipefail
dir=${1:?usage: prepare-workdir.sh DIR}
root=$(cd "$(dirname "$0")/.." && pwd)
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
if [ ! -e BIN/numerator ] && [ -x "$root/build/velmor-numerator" ]; then
  cp "$root/build/velmor-numerator" BIN/numerator
fi
# A restore refuses while any journal is missing, so all six exist, empty at first.
for j in list_pesel_usr.q list_pesel_obj.q list_pesel_nod.q list_uid32base.q list_ip.nq list_start_base.q; do
  [ -e "DISK/LIST/$j" ] || : > "DISK/LIST/$j"
done
# The letter levels are made by no operation but the restore; folders 0777
# and markers 0666, as the restore makes them.
(
  umask 0
  mkdir -p DISK/UID32BASE/{A..Z}/{A..Z}/{A..Z} DISK/START/{A..Z}/{A..Z}/{A..Z}
  [ -e DISK/UID32BASE/name ] || echo UID32BASE > DISK/UID32BASE/name
  [ -e DISK/START/name ] || echo START > DISK/START/name
)
