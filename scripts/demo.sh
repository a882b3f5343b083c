#!/usr/bin/env bash
# Installs what the build needs, builds, and runs panelcfg on the bundled simulated panels.
# Arguments are passed to the utility (for example: scripts/demo.sh --mouse).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh >/dev/null
cmake --preset demo >/dev/null
cmake --build --preset demo >/dev/null
exec ./build/demo/src/app/src/sim/panelcfg-sim "$@"
