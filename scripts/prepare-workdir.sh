#!/usr/bin/env bash
# Prepares a working directory for velmor-central: the configuration file,
# a commented example of the access rules (velmorTAVR.access),
# BIN/version, BIN/numerator, the DISK/ folders, the six empty journals of
# DISK/LIST and the letter folders of DISK/UID32BASE and DISK/START with their
# "name" markers -- the skeleton restore_files_local lays down. Existing files
# and folders are left as they are.
#
#   prepare-workdir.sh [--version-file FILE] [--numerator PROGRAM] DIR
#
# Without options BIN/version is written ("1.0.0" and the system) and
# BIN/numerator is a copy of build/velmor-numerator when that has been built.
# An installed server passes the package's version file and numerator: BIN/
# then holds links to them, which follow every upgrade of the package.
set -euo pipefail
version_file=
numerator=
while [ $# -gt 1 ]; do
  case $1 in
    --version-file) version_file=${2:?}; shift 2 ;;
    --numerator) numerator=${2:?}; shift 2 ;;
    *) break ;;
  esac
done
[ $# -eq 1 ] || { echo "usage: prepare-workdir.sh [--version-file FILE] [--numerator PROGRAM] DIR" >&2; exit 2; }
dir=$1
root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$dir/BIN" "$dir/DISK/UID32BASE" "$dir/DISK/PESEL" "$dir/DISK/LIST" "$dir/DISK/START"
cd "$dir"
# A link, even a dangling one, is something already there.
present() { [ -e "$1" ] || [ -L "$1" ]; }
present velmorTAVR.config || cat > velmorTAVR.config <<'CFG'
# velmor central server configuration; every value ends with '&'.
PORT_CENTRAL=8809&
UIDBASE=null&DIR=UID32BASE&
PESELBASE=null&DIR=PESEL&
LISTBASE=null&DIR=LIST&
STARTBASE=null&DIR=START&
TEST=0&
# No reply acknowledges a record before it is on the disk.
SYNC=1&
CFG
# Access rules: all commented out, so the server behaves as without the file
# until the operator takes a line in.
present velmorTAVR.access || cat > velmorTAVR.access <<'RULES'
# velmor access rules, read once at start. Each line that is not blank or a
# comment is one rule:  ALLOW=<names>&FROM=<networks>&
#   names:    operations or groups, joined by ','. Groups:
#             register  get_UID64 get_start_code get_special_pesel add_department
#                       add_usr add_pesel_obj add_ip_node
#             block     block_department block_user block_user_by_central_admin
#             query     chk_scode get_dep_data check_user get_nlines_pesel
#                       get_line_pesel_obj get_node versionTAVR
#             admin     get_tavr_config chg_tavr_config log_adm get_last_log
#                       restore_files_local
#   networks: IPv4 or IPv6 addresses with an optional /prefix, joined by ','.
# An operation that some rule names may be called only from the networks of
# the rules naming it; an operation no rule names stays open to everyone. A
# malformed line stops the start, naming the line.
#
# A typical deployment: departments register and block from their network,
# administrators work from two hosts, anyone may ask.
#ALLOW=register,block&FROM=10.20.0.0/16&
#ALLOW=admin&FROM=10.0.0.5,10.0.0.6&
#ALLOW=query&FROM=0.0.0.0/0,::/0&
RULES
if ! present BIN/version; then
  if [ -n "$version_file" ]; then
    ln -s "$version_file" BIN/version
  else
    printf '%s\n%s\n' "1.0.0" "$(uname -s)" > BIN/version
  fi
fi
if ! present BIN/numerator; then
  if [ -n "$numerator" ]; then
    ln -s "$numerator" BIN/numerator
  elif [ -x "$root/build/velmor-numerator" ]; then
    cp "$root/build/velmor-numerator" BIN/numerator
  fi
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
