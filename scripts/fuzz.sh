#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer) and
# runs each of them for the given number of seconds (default 60), starting from its seed corpus
# in fuzz/corpus/. Fails when any target finds a crash, a sanitizer report, a broken rule or a
# hang; the input that did it is kept under build/fuzz/findings/.
# Usage: scripts/fuzz.sh [seconds] [target...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
shift || true
targets=("$@")
[ "${#targets[@]}" -gt 0 ] || targets=(fuzz_answers fuzz_cmdline fuzz_options fuzz_lists)

build=build/fuzz
cxx="${CXX_FUZZ:-clang++-14}"
cmake -S fuzz -B "$build" -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build "$build" -j 2 >/dev/null

findings="$build/findings"
mkdir -p "$findings"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failed=()
for t in "${targets[@]}"; do
  mkdir -p "$work/$t"
  [ -d "fuzz/corpus/$t" ] && cp -r "fuzz/corpus/$t/." "$work/$t/"
  log="$build/$t.log"
  echo "== $t: ${seconds} s"
  # A single input that runs for ten seconds is a hang: the bus is virtual, nothing waits.
  mkdir -p "$work/tmp"
  if TMPDIR="$work/tmp" "$build/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -close_fd_mask=3 \
    -print_final_stats=1 -artifact_prefix="$findings/$t-" "$work/$t" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "   ${runs:-?} inputs, no finding"
  else
    failed+=("$t")
    echo "   FINDING (log: $log)"
    grep -E 'FINDING|ERROR|SUMMARY|runtime error|Test unit written' "$log" | head -20 | sed 's/^/   /'
  fi
done
if [ "${#failed[@]}" -gt 0 ]; then
  echo "fuzzing found problems in: ${failed[*]}"
  exit 1
fi
echo "fuzzing: no finding in ${#targets[@]} targets"
