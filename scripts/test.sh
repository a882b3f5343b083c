#!/usr/bin/env bash
# Installs what the build and the tests need, builds, and runs every test: the release build, the
# Ansible collection on the release build's simulator, the Debian packages built and checked
# (lintian, contents, and as root an install and purge), the VM bed on the package's program,
# the analysis of the release build (memcheck, clang-tidy, cppcheck), the fuzz targets for a
# bounded time, the whole suite again (the VM bed aside) under AddressSanitizer and
# UndefinedBehaviorSanitizer, and last the release build for arm64, armhf and s390x with its
# suite under qemu-user (cross-test.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/check-layers.sh
bash scripts/install-deps.sh --test
cmake --preset release
cmake --build --preset release
ctest --preset release -LE vmbed
bash ansible/tests/run.sh build/release/src/app/src/sim/panelcfg-sim
bash scripts/package.sh
bash packaging/check_deb.sh build/deb .
ctest --preset release -L vmbed # the VM bed runs the package's panelcfg
bash scripts/analyze.sh build/release
bash scripts/fuzz.sh 60 # about a minute per fuzz target
cmake --preset debug
cmake --build --preset debug
ctest --preset debug -LE vmbed
bash scripts/cross-test.sh # about 4 to 5 minutes per architecture on 2 cores
