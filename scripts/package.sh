#!/usr/bin/env bash
# Builds the Debian packages panelcfg and panelcfg-sim (and their -dbgsym packages) from the
# working tree: installs the build dependencies that debian/control names, copies the tree
# (without build/ and .git) into a temporary directory, runs dpkg-buildpackage there and leaves
# the packages, the .buildinfo, the .changes and the build log in build/deb/ (emptied first).
# packaging/check_deb.sh checks them. Usage: scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$root/build/deb

bash scripts/install-deps.sh --package
if ! dpkg-checkbuilddeps >/dev/null 2>&1; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  apt=(apt-get -o DPkg::Lock::Timeout=600) # waits for another apt or dpkg, as install-deps.sh
  $SUDO "${apt[@]}" update
  DEBIAN_FRONTEND=noninteractive $SUDO "${apt[@]}" build-dep -y --no-install-recommends ./
fi
dpkg-checkbuilddeps

version=$(dpkg-parsechangelog -S Version)
arch=$(dpkg --print-architecture)
tmp=$(mktemp -d "${TMPDIR:-/tmp}/panelcfg-package-XXXXXX")
trap 'rm -rf "$tmp"' EXIT
tree=$tmp/panelcfg-$version
mkdir "$tree"
tar -C "$root" --exclude=./build --exclude='./build-*' --exclude=./.git -cf - . |
  tar -C "$tree" -xf -

log=$tmp/panelcfg_${version}_${arch}.build
echo "package: building panelcfg $version in $tree (log: build/deb/$(basename "$log"))"
status=0
(cd "$tree" && DEB_BUILD_OPTIONS=${DEB_BUILD_OPTIONS:-parallel=2} dpkg-buildpackage -us -uc -b) \
  >"$log" 2>&1 || status=$?

rm -rf "$out"
mkdir -p "$out"
shopt -s nullglob
results=("$tmp"/*.deb "$tmp"/*.ddeb "$tmp"/*.buildinfo "$tmp"/*.changes "$log")
mv "${results[@]}" "$out/"
if [ "$status" -ne 0 ]; then
  tail -n 40 "$out/$(basename "$log")"
  echo "package: dpkg-buildpackage failed (exit status $status)" >&2
  exit "$status"
fi
(cd "$out" && ls -1)
