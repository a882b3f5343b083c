#!/usr/bin/env bash
# Installs the build and test dependencies from Debian's packages. Safe to run again.
set -euo pipefail
packages=(g++ cmake make pkg-config libusb-dev libgtest-dev libinih-dev nlohmann-json3-dev
  man-db groff-base binutils umockdev libumockdev-dev
  valgrind clang-tidy-19 cppcheck
  clang-14 libclang-rt-14-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
