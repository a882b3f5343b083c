#!/usr/bin/env bash
# Installs what the build needs, builds the release preset and runs the benchmarks: the pauses
# of every run against the protocol's, wall time with real pauses, CPU time of a run over many
# devices, peak memory. Prints Markdown (BENCHMARKS.md holds a recorded run).
# Usage: scripts/bench.sh [--no-wall]   (--no-wall skips the minute of real pauses)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh >/dev/null
cmake --preset release >/dev/null
cmake --build --preset release --target panelcfg-bench >/dev/null
exec ./build/release/bench/panelcfg-bench "$@"
