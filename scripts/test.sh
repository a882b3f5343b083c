#!/usr/bin/env bash
# Installs what the build needs, builds, and runs every test: once in the release build and
# once under AddressSanitizer and UndefinedBehaviorSanitizer; then the analysis of the release
# build (memcheck, clang-tidy, cppcheck) and the fuzz targets for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
for preset in release debug; do
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
bash scripts/analyze.sh build/release
bash scripts/fuzz.sh 60 # about a minute per fuzz target
