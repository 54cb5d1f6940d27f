#!/usr/bin/env bash
# Builds the Debian package and tries it the way an operator uses it: its
# metadata and contents, lintian, the units through systemd-analyze, then in a
# fresh minimal Debian 12 root: installing, the first start from the unit's
# own command lines, the health check, backups while the server runs, a
# restore, an upgrade that keeps an edited configuration and every data file,
# removal and purge. Everything the server does there happens in a network
# namespace of its own, on its loopback.
#
# Needs root. The debootstrap root is cached in /var/cache/velmor-test; with
# no cache it is made from the configured Debian mirror.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

failures=0
pass() { echo "  ok   $*"; }
fail() { echo "  FAIL $*"; failures=$((failures + 1)); }
check() { local what=$1; shift; if "$@" >/dev/null 2>&1; then pass "$what"; else fail "$what"; fi; }
finish() {
  if [ "$failures" -eq 0 ]; then echo "package-test: PASS${1:+ ($1)}"; exit 0; fi
  echo "package-test: FAIL ($failures failed checks)"
  exit 1
}

# --------------------------------------------------------------------------
# Second half: in the root, inside a network namespace made by the first half.
# --------------------------------------------------------------------------
if [ "${1:-}" = --in-root ]; then
  root=$2 deb=$3 deb2=$4 version2=$5
  failures=$6
  ip link set lo up
  mount --make-rprivate /
  mount -t proc proc "$root/proc"
  server_pid=
  cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
    umount "$root/proc" 2>/dev/null || true
  }
  trap cleanup EXIT
  inroot() { chroot "$root" /bin/bash -c "$1"; }

  # The unit's own lines, so what is tried is what systemd would run.
  unit_value() { sed -n "s/^$1=//p" "$root/lib/systemd/system/$2"; }
  workdir=$(unit_value WorkingDirectory velmor-central.service)
  statedir=/var/lib/$(unit_value StateDirectory velmor-central.service)
  mapfile -t pre < <(unit_value ExecStartPre velmor-central.service)
  start=$(unit_value ExecStart velmor-central.service)
  backup_cmd=$(unit_value ExecStart velmor-backup.service)
  echo "unit: WorkingDirectory=$workdir ExecStart=$start"
  [ -n "$workdir" ] && [ -n "$start" ] && [ ${#pre[@]} -gt 0 ] || { fail "the unit names its working directory and commands"; finish; }
  config=$root$workdir/velmorTAVR.config

  port=18809
  cli() { chroot "$root" velmor-cli -p "$port" -t 10 "$@"; }
  first_start() {
    mkdir -p "$root$statedir"  # systemd's StateDirectory=
    local c
    for c in "${pre[@]}"; do inroot "cd $workdir && exec $c" || return 1; done
  }
  start_server() {
    first_start || { fail "ExecStartPre ran"; return 1; }
    chroot "$root" /bin/bash -c "cd $workdir && exec $start" >"$root/tmp/server.log" 2>&1 &
    server_pid=$!
    local i
    for i in $(seq 1 50); do
      cli 'TEST=H00&' 2>/dev/null | grep -q '^REPLY=velmorTAVR_CENTRAL$' && return 0
      kill -0 "$server_pid" 2>/dev/null || break
      sleep 0.2
    done
    cat "$root/tmp/server.log"
    return 1
  }
  stop_server() { kill "$server_pid"; wait "$server_pid" 2>/dev/null || true; server_pid=; }
  field() { sed -n "s/^$1=//p" | head -n 1; }
  data_sums() { (cd "$root$workdir" && find velmorTAVR.config DISK -type f ! -name '*.lock' -print0 | LC_ALL=C sort -z | xargs -0 sha256sum); }

  echo "== first start"
  first_start && pass "the unit's ExecStartPre prepares $workdir" || fail "the unit's ExecStartPre prepares $workdir"
  check "configuration laid down" grep -q '^PORT_CENTRAL=8809&$' "$config"
  check "BIN/version holds the package version" bash -c "chroot $root cat $workdir/BIN/version | grep -qx '$(dpkg-deb -f "$deb" Version)'"
  check "BIN/numerator is the installed numerator" test "$(readlink "$root$workdir/BIN/numerator")" = /usr/sbin/velmor-numerator
  check "six empty journals" test "$(find "$root$workdir/DISK/LIST" -type f -empty | wc -l)" -eq 6
  check "letter levels and markers" test -d "$root$workdir/DISK/UID32BASE/Z/Z/Z" -a -d "$root$workdir/DISK/START/A/B/C" -a -f "$root$workdir/DISK/START/name"
  echo "# an operator's note" >> "$config"
  sed -i "s/^PORT_CENTRAL=.*/PORT_CENTRAL=$port\&/" "$config"
  sums=$(sha256sum "$config")
  first_start
  check "a second preparation changes nothing" test "$(sha256sum "$config")" = "$sums"

  echo "== serving"
  if start_server; then pass "the unit's ExecStart serves; velmor-cli health check answers"; else fail "the server starts and answers"; finish; fi
  check "the health check exits 0" cli 'TEST=H00&'
  check "versionTAVR reports the package version" bash -c "chroot $root velmor-cli -p $port versionTAVR | grep -qx 'VER=$(dpkg-deb -f "$deb" Version)'"
  dep=$(cli add_department NAME=Warehouse DEP=7 NIP=N1234567883 REGON=RN123456785 PUID=9001 PORTP=9002 PORTQ=9003 NODES=2)
  uid=$(field UID32 <<< "$dep")
  check "add_department is done" grep -q '^STATUS=done$' <<< "$dep"
  check "add_ip_node is done" bash -c "chroot $root velmor-cli -p $port add_ip_node UID32=$uid IPNODE=192.168.1.20 | grep -q STATUS=done"
  check "log_adm is done" bash -c "chroot $root velmor-cli -p $port log_adm PESEL=44051401359 NICK=adam | grep -q STATUS=done"
  cli get_special_pesel >/dev/null
  check "get_special_pesel uses the installed numerator" bash -c "chroot $root velmor-cli -p $port get_special_pesel | grep -qx PESEL=RS000000002"

  echo "== backups while the server runs"
  # Requests keep coming while the archives are taken: the address list is
  # rewritten in place and the counter grows.
  ( for i in $(seq 1 40); do
      chroot "$root" velmor-cli -p "$port" add_ip_node UID32="$uid" IPNODE=10.0.0.$((i % 9 + 1)) >/dev/null
      chroot "$root" velmor-cli -p "$port" get_special_pesel >/dev/null
    done ) &
  load=$!
  inroot "$backup_cmd" >/dev/null && pass "the backup unit's command runs" || fail "the backup unit's command runs"
  wait "$load"
  # One more, quiet, and the one the restore below uses; and the number it
  # will have to continue after.
  cli add_ip_node UID32="$uid" IPNODE=192.168.1.20 >/dev/null
  sleep 1
  archive=$(inroot "$backup_cmd") && pass "a second backup" || fail "a second backup"
  counter=$(cat "$root$workdir/DISK/rs_last_number.txt")
  check "archives in /var/backups/velmor, private" test "$(stat -c %a "$root$archive")" = 600
  x=$(mktemp -d)
  tar -C "$x" -xzf "$root$archive"
  check "the archive holds its checksums and they hold" bash -c "cd $x && sha256sum --quiet -c SHA256SUMS"
  check "the archive holds the log and the counter" test -s "$x/DISK/log.q" -a -s "$x/DISK/rs_last_number.txt"
  ok=1
  for j in list_pesel_usr.q list_pesel_obj.q list_pesel_nod.q list_uid32base.q list_ip.nq list_start_base.q; do
    [ -f "$x/DISK/LIST/$j" ] || { ok=0; continue; }
    n=$(stat -c %s "$x/DISK/LIST/$j")
    cmp -s -n "$n" "$x/DISK/LIST/$j" "$root$workdir/DISK/LIST/$j" || ok=0
  done
  check "every journal archived, each a prefix of the live one" test "$ok" = 1
  check "the archived counter copy is the counter" cmp -s "$x/DISK/LIST/rs_last_number.txt" "$x/DISK/rs_last_number.txt"
  check "list_ip.nq archived whole records" test $(( $(stat -c %s "$x/DISK/LIST/list_ip.nq") % 65 )) -eq 0
  rm -rf "$x"
  # Only the newest KEEP archives stay; older dated names go first.
  touch "$root/var/backups/velmor/velmor-20000101-000000.tar.gz"
  newest=$(VELMOR_BACKUP_KEEP=2 chroot "$root" /usr/sbin/velmor-backup)
  check "KEEP=2 keeps exactly the two newest" test "$(cd "$root/var/backups/velmor" && ls velmor-*.tar.gz | LC_ALL=C sort | tr '\n' ' ')" = "$(basename "$archive") $(basename "$newest") "

  echo "== restore"
  check "restore refuses while the server runs" bash -c "! chroot $root velmor-backup --restore $archive"
  check "... and changes nothing" test -s "$root$workdir/DISK/LIST/list_pesel_nod.q"
  late=$(cli add_department NAME=Late DEP=Qx NIP=N1234567883 REGON=RN123456785 PUID=9101 PORTP=9102 PORTQ=9103 NODES=1)
  check "a department added after the backup" grep -q '^STATUS=done$' <<< "$late"
  stop_server
  rm -rf "$root$workdir/DISK"   # the disk is lost
  inroot "velmor-backup --restore $archive" >/dev/null && pass "velmor-backup --restore" || fail "velmor-backup --restore"
  if start_server; then pass "the server starts on the restored journals"; else fail "the server starts on the restored journals"; finish; fi
  check "restore_files_local rebuilds the trees" bash -c "chroot $root velmor-cli -p $port restore_files_local | grep -qx STATUS=done"
  got=$(cli get_dep_data UID32="$uid" DEP=7)
  check "the department and its address are back" bash -c "grep -qx STATUS=done <<< '$got' && grep -qx LIP=192.168.1.20 <<< '$got'"
  check "the administrator log is back" bash -c "chroot $root velmor-cli -p $port get_last_log PESEL=null NICK=adam | grep -qx PESEL=44051401359"
  check "what came after the backup is not" bash -c "! grep -q 'NAME=Late' $root$workdir/DISK/LIST/list_pesel_nod.q"
  next=$(printf 'RS%09d' $((10#${counter#RS} + 1)))
  check "the counter continues after the archived one ($next)" bash -c "chroot $root velmor-cli -p $port get_special_pesel | grep -qx PESEL=$next"
  check "the replaced files were kept aside" bash -c "ls -d $root$workdir/pre-restore-*"

  echo "== upgrade"
  check "chg_tavr_config edits the configuration" bash -c "chroot $root velmor-cli -p $port chg_tavr_config PORTTAVR=18810 | grep -qx STATUS=done"
  stop_server
  before=$(data_sums)
  check "the upgrade installs" chroot "$root" dpkg -i "/tmp/$(basename "$deb2")"
  first_start
  check "configuration and every data file unchanged by the upgrade" test "$(data_sums)" = "$before"
  port=18810
  if start_server; then pass "the upgraded server listens on the edited port"; else fail "the upgraded server listens on the edited port"; fi
  check "versionTAVR reports the new version" bash -c "chroot $root velmor-cli -p $port versionTAVR | grep -qx VER=$version2"
  check "the data still answers" bash -c "chroot $root velmor-cli -p $port get_dep_data UID32=$uid DEP=7 | grep -qx LIP=192.168.1.20"
  stop_server
  check "installing the same package over itself" chroot "$root" dpkg -i "/tmp/$(basename "$deb2")"
  first_start
  check "... keeps configuration and data" test "$(data_sums)" = "$before"

  echo "== manual pages"
  for page in velmor-central.8 velmor-cli.1 velmor-local.1 velmor-numerator.8 velmor-backup.8; do
    check "man ${page%.*} opens" bash -c "chroot $root env MANWIDTH=80 man -P cat ${page##*.} ${page%.*} | grep -q '^NAME'"
  done

  echo "== removal"
  check "apt-get remove" chroot "$root" apt-get remove -y -qq velmor-central
  check "the programs are gone" test ! -e "$root/usr/sbin/velmor-central" -a ! -e "$root/usr/bin/velmor-cli"
  check "remove keeps the working directory and its data" test -s "$root$workdir/DISK/LIST/list_pesel_nod.q" -a -f "$config"
  check "remove keeps the backup settings" test -f "$root/etc/default/velmor-backup"
  check "apt-get purge" chroot "$root" apt-get purge -y -qq velmor-central
  check "purge removes the settings" test ! -e "$root/etc/default/velmor-backup"
  check "purge removes the working directory" test ! -e "$root$workdir"
  check "purge keeps the archives" bash -c "ls $root/var/backups/velmor/velmor-*.tar.gz"
  finish
fi

# --------------------------------------------------------------------------
# First half: build, look at the package, make the root.
# --------------------------------------------------------------------------
[ "$(id -u)" -eq 0 ] || { echo "package-test: needs root"; exit 1; }
needed=(dpkg-dev debhelper fakeroot lintian debootstrap systemd iproute2 util-linux)
missing=()
for p in "${needed[@]}"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi

echo "== build"
deb=$top/$(scripts/package.sh | tail -n 1)
check "scripts/package.sh leaves the package in dist/" test -f "$deb"
[ -f "$deb" ] || finish
version=$(dpkg-deb -f "$deb" Version)
check "named velmor-central_<version>_amd64.deb" test "$(basename "$deb")" = "velmor-central_${version}_amd64.deb"

echo "== metadata and contents"
dpkg-deb -I "$deb" | sed -n '/Package:/,$p'
check "Architecture amd64" test "$(dpkg-deb -f "$deb" Architecture)" = amd64
check "Depends computed from the binaries" bash -c "dpkg-deb -f '$deb' Depends | grep -q 'libc6 (>=' && dpkg-deb -f '$deb' Depends | grep -q 'libstdc++6'"
check "a description" bash -c "dpkg-deb -f '$deb' Description | grep -q 'identifier registry'"
contents=$(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|')
for path in /usr/sbin/velmor-central /usr/sbin/velmor-numerator /usr/sbin/velmor-backup /usr/bin/velmor-cli /usr/bin/velmor-local \
  /usr/lib/velmor/prepare-workdir /usr/lib/velmor/version /lib/systemd/system/velmor-central.service \
  /lib/systemd/system/velmor-backup.service /lib/systemd/system/velmor-backup.timer /etc/default/velmor-backup \
  /usr/share/man/man8/velmor-central.8.gz /usr/share/man/man1/velmor-cli.1.gz /usr/share/man/man1/velmor-local.1.gz \
  /usr/share/man/man8/velmor-numerator.8.gz /usr/share/man/man8/velmor-backup.8.gz; do
  check "contains $path" grep -qx "$path" <<< "$contents"
done
check "ships no configuration in the working directory" bash -c "! grep -q '^/var/lib' <<< '$contents'"
check "/etc/default/velmor-backup is a conffile" bash -c "dpkg-deb --ctrl-tarfile '$deb' | tar -xO ./conffiles | grep -qx /etc/default/velmor-backup"

echo "== lintian"
lint=$(lintian "$deb" 2>&1 || true)
[ -n "$lint" ] && echo "$lint"
check "lintian reports no errors" bash -c "! grep -q '^E:' <<< '$lint'"

echo "== systemd-analyze verify"
x=$(mktemp -d)
dpkg-deb -x "$deb" "$x"
cp -an /lib/systemd/system/. "$x/lib/systemd/system/"  # the targets the units name
if systemd-analyze verify --man=no --root="$x" "$x"/lib/systemd/system/velmor-{central.service,backup.service,backup.timer}; then
  pass "units verify"
else
  fail "units verify"
fi
rm -rf "$x"

echo "== fresh Debian 12 root"
cache=/var/cache/velmor-test
tarball=$cache/bookworm-minbase.tar
mirror=$(sed -n 's/^URIs: *\(http[^ ]*debian\)$/\1/p; s/^deb \(http[^ ]*debian\) bookworm .*/\1/p' /etc/apt/sources.list /etc/apt/sources.list.d/* 2>/dev/null | head -n 1 || true)
mirror=${mirror:-http://deb.debian.org/debian}
if [ ! -f "$tarball" ]; then
  mkdir -p "$cache"
  tmp_root=$(mktemp -d "$cache/root.XXXXXX")
  echo "debootstrap --variant=minbase bookworm from $mirror"
  if debootstrap --variant=minbase --include=man-db bookworm "$tmp_root" "$mirror" >"$cache/debootstrap.log" 2>&1; then
    tar -C "$tmp_root" -cf "$tarball.part" . && mv "$tarball.part" "$tarball"
  else
    tail -n 5 "$cache/debootstrap.log"
  fi
  rm -rf "$tmp_root"
fi
if [ ! -f "$tarball" ] || ! unshare --net true 2>/dev/null; then
  echo "SKIPPED: the installation test (no debootstrap root, or no network namespaces here)"
  finish "installation test skipped"
fi
root=$(mktemp -d /var/tmp/velmor-root.XXXXXX)
trap 'rm -rf --one-file-system "$root"' EXIT
tar -C "$root" -xf "$tarball"
cp "$deb" "$root/tmp/"

# A second, later version of the same package, for the upgrade: the same
# files, a higher version.
version2=$version+upgrade1
y=$(mktemp -d)
dpkg-deb -R "$deb" "$y"
sed -i "s/^Version: .*/Version: $version2/" "$y/DEBIAN/control"
printf '%s\nLinux\n' "$version2" > "$y/usr/lib/velmor/version"
(cd "$y" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | LC_ALL=C sort -z | xargs -0 md5sum > DEBIAN/md5sums)
deb2=$root/tmp/velmor-central_${version2}_amd64.deb
dpkg-deb --root-owner-group -b "$y" "$deb2" >/dev/null
rm -rf "$y"

check "apt installs the package in the fresh root" chroot "$root" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "/tmp/$(basename "$deb")"
check "installed: velmor-cli in the user path" chroot "$root" sh -c 'command -v velmor-cli'
unshare --net --mount --propagation private -- "$0" --in-root "$root" "$deb" "$deb2" "$version2" "$failures" || exit 1
