#!/usr/bin/env bash
# Builds the Debian package from the committed tree and leaves
# velmor-central_<version>_amd64.deb in dist/. The build runs on a copy of
# HEAD (git archive) under build-deb/, so the checkout stays clean and what
# is packaged is exactly what is committed; uncommitted changes are included
# only with --worktree.
set -euo pipefail
cd "$(dirname "$0")/.."
src_mode=head
[ "${1:-}" = --worktree ] && src_mode=worktree

needed=(g++ cmake make dpkg-dev debhelper fakeroot)
missing=()
for p in "${needed[@]}"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  [ "$(id -u)" -eq 0 ] || { echo "missing packages: ${missing[*]} (run as root to install them)" >&2; exit 1; }
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
fi

top=$(pwd)
work=$top/build-deb
rm -rf "$work"
mkdir -p "$work/src" "$top/dist"
if [ "$src_mode" = head ] && git rev-parse --git-dir >/dev/null 2>&1; then
  git archive HEAD | tar -x -C "$work/src"
else
  tar -C "$top" --exclude=./build\* --exclude=./dist --exclude=./run --exclude=./.git -cf - . | tar -x -C "$work/src"
fi
(
  cd "$work/src"
  # The tests run in CI on the same tree; the package build makes only the
  # programs it installs.
  DEB_BUILD_OPTIONS="nocheck parallel=2 ${DEB_BUILD_OPTIONS:-}" dpkg-buildpackage -b -uc -us >"$work/build.log" 2>&1 ||
    { tail -n 40 "$work/build.log" >&2; echo "package.sh: dpkg-buildpackage failed, see $work/build.log" >&2; exit 1; }
)
version=$(dpkg-parsechangelog -l "$work/src/debian/changelog" -SVersion)
deb=velmor-central_${version}_amd64.deb
mv -f "$work/$deb" "dist/$deb"
echo "dist/$deb"
