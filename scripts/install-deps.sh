#!/usr/bin/env bash
# Installs the build dependencies (with --test those of the tests, with --package the tools
# that build and check the Debian packages, with --cross the cross compilers and the user-mode
# emulator of scripts/cross-test.sh) from Debian's packages.
# Safe to run again: it installs only what is missing.
set -euo pipefail
# What building panelcfg and its simulator needs.
packages=(g++ cmake make pkg-config libusb-dev libinih-dev nlohmann-json3-dev)
# What scripts/package.sh and packaging/check_deb.sh need besides the Build-Depends of
# debian/control, which scripts/package.sh installs with apt-get build-dep.
package_tools=(dpkg-dev lintian blhc binutils man-db)
case "${1:-}" in
--test)
  # What the tests, the analysis and the fuzz targets need as well, and the packaging step; the
  # VM bed (src/app/tests/vmbed) boots Debian's kernel in qemu, with udev; it downloads and
  # unpacks those two packages itself, for the VM only.
  packages+=(libgtest-dev man-db groff-base binutils umockdev libumockdev-dev
    valgrind clang-tidy-19 cppcheck clang-14 libclang-rt-14-dev "${package_tools[@]}"
    qemu-system-x86 busybox-static kmod cpio)
  # The Ansible collection's tests: ansible-core (ansible-galaxy, ansible-doc, ansible-playbook
  # and ansible-test's checkers), pytest, and what the checkers run with.
  packages+=(ansible-core python3-pytest python3-yaml yamllint python3-pycodestyle
    python3-voluptuous)
  ;;
--package) packages=("${package_tools[@]}") ;;
--cross)
  # The target's libraries are not installed: scripts/cross-test.sh unpacks them into a sysroot
  # of its own. The static emulator comes with the binfmt entries that run a test's children.
  packages=(g++-aarch64-linux-gnu g++-arm-linux-gnueabihf g++-s390x-linux-gnu qemu-user-static
    cmake make pkg-config dpkg-dev binutils)
  ;;
esac
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  # Another apt or dpkg that holds the package lock (an unattended upgrade, a second build) is
  # waited for, up to ten minutes, instead of failing at once.
  apt=(apt-get -o DPkg::Lock::Timeout=600)
  $SUDO "${apt[@]}" update
  DEBIAN_FRONTEND=noninteractive $SUDO "${apt[@]}" install -y --no-install-recommends "${missing[@]}"
fi
