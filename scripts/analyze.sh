#!/usr/bin/env bash
# Analysis of the release build: panelcfg-sim under valgrind's memcheck for several words, then
# clang-tidy (checks in .clang-tidy) and cppcheck (suppressions in
# scripts/cppcheck-suppressions.txt) over the utility and the virtual USB bus. Any error or
# finding fails the script. Usage: scripts/analyze.sh [BUILD_DIR], default build/release, which
# must be built already (scripts/test.sh does that first).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
sim="$build/src/app/src/sim/panelcfg-sim"
clang_tidy=clang-tidy-19
sources=(src/app/src/panelcfg src/app/src/vusb)

for tool in valgrind "$clang_tidy" cppcheck; do
  command -v "$tool" >/dev/null || {
    echo "analyze: $tool is missing (scripts/install-deps.sh installs it)" >&2
    exit 1
  }
done
[ -x "$sim" ] && [ -f "$build/compile_commands.json" ] || {
  echo "analyze: build $build first (cmake --preset release && cmake --build --preset release)" >&2
  exit 1
}

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failed=0

# --- memcheck -----------------------------------------------------------------------------------
# The built-in bus has two PCT controllers, and every word hands both to the configuration step,
# so a clean run exits with 2 (a status that read every controller with 0: expect=0); valgrind
# turns any error into status 1. The runs share one state and one directory, so later words find
# the controllers as the earlier ones left them.
expect=2
memcheck() {
  local status=0
  valgrind --tool=memcheck --error-exitcode=1 --leak-check=full --log-file="$tmp/memcheck.log" \
    "$sim" --instant --state "$tmp/state.json" --dir "$tmp/dir" "$@" >"$tmp/run.out" 2>&1 ||
    status=$?
  if [ "$status" -eq "$expect" ] && grep -q 'ERROR SUMMARY: 0 errors' "$tmp/memcheck.log"; then
    echo "memcheck: panelcfg-sim $*: no errors"
  else
    echo "memcheck: panelcfg-sim $*: exit status $status, $expect expected"
    cat "$tmp/memcheck.log" "$tmp/run.out"
    failed=1
  fi
}

memcheck --fresh
memcheck --mouse
memcheck getpos
memcheck --hybrid-d x not
memcheck setpos 4
memcheck --sn
memcheck --rotation
memcheck --clean
mkdir -p "$tmp/dir" && touch "$tmp/dir/enabledebug" # the level-3 traces and dumps as well
memcheck --digi-test
memcheck --trace --digitizer
expect=0
memcheck --status --json
memcheck --list --json
expect=2
rm "$tmp/dir/enabledebug"
# A run recorded, its replay, and a replay that diverges (status 124).
memcheck --record "$tmp/first.json" --hybrid-m
memcheck --replay "$tmp/first.json"
expect=124
memcheck --replay "$tmp/first.json" getpos
expect=2

# --- clang-tidy ---------------------------------------------------------------------------------
echo "clang-tidy: $($clang_tidy --version | grep -o 'version [0-9.]*') over ${sources[*]}"
status=0
find "${sources[@]}" -name '*.cpp' -print0 | sort -z |
  xargs -0 -P "$(nproc)" -n 2 "$clang_tidy" -p "$build" --quiet >"$tmp/tidy.out" 2>&1 || status=$?
if [ "$status" -ne 0 ] || grep -qE '(warning|error):' "$tmp/tidy.out"; then
  grep -v ' warnings\? generated\.$' "$tmp/tidy.out" || true
  echo "clang-tidy: findings above"
  failed=1
else
  echo "clang-tidy: no findings"
fi

# --- cppcheck -----------------------------------------------------------------------------------
filters=()
for dir in "${sources[@]}"; do filters+=("--file-filter=$dir/*"); done
echo "cppcheck: $(cppcheck --version) over ${sources[*]}"
if cppcheck --project="$build/compile_commands.json" "${filters[@]}" --std=c++20 \
  --enable=warning,style,performance,portability --inconclusive --library=posix \
  --inline-suppr --suppressions-list=scripts/cppcheck-suppressions.txt \
  --error-exitcode=1 --quiet -j "$(nproc)" \
  --template='{file}:{line}:{column}: {severity}: {message} [{id}]'; then
  echo "cppcheck: no findings"
else
  echo "cppcheck: findings above"
  failed=1
fi

exit "$failed"
