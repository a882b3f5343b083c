#!/usr/bin/env bash
# The manual page renders without a single warning, carries the program's version, and has an
# entry for every word of the program's usage text.
# Usage: check_manpage.sh PAGE PROGRAM
set -euo pipefail
page=$1
prog=$2

if ! command -v man >/dev/null || ! command -v groff >/dev/null; then
  echo "SKIP: man or groff is not installed"
  exit 77
fi

fail=0
complain() {
  echo "FAIL: $*"
  fail=1
}

warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null) || true
[ -z "$warnings" ] || complain "man --warnings reports:"$'\n'"$warnings"
warnings=$(groff -ww -z -man "$page" 2>&1) || true
[ -z "$warnings" ] || complain "groff -ww reports:"$'\n'"$warnings"

# The title line names the version that --version prints.
version=$("$prog" --version)
grep -q "^\.TH PANELCFG 8 [0-9-]* \"$version\" " "$page" ||
  complain "the .TH line does not name \"$version\""

# Rendered on one long line per paragraph, so that nothing is broken or hyphenated.
text=$(groff -man -Tascii -rLL=1000n -P-cbou "$page")

# Every word of the usage text is the tag of an entry: at the start of an indented line,
# possibly after other tags ("-h, --help").
words=$("$prog" --help | sed -n 's/^  \([-a-z][^ ,]*\(, [-a-z][^ ,]*\)*\).*/\1/p' | tr -d ',')
[ -n "$words" ] || complain "no words found in the usage text"
for w in $words; do
  grep -Eq "^ {7}([^ ]+, )*${w}( |,|$)" <<<"$text" || complain "no entry for $w"
done

sections=(NAME SYNOPSIS DESCRIPTION OPERATIONS LISTING "EXIT STATUS" FILES DIAGNOSTICS EXAMPLES)
for s in "${sections[@]}"; do
  grep -qx "$s" <<<"$text" || complain "no section $s"
done

if [ "$fail" -ne 0 ]; then
  exit 1
fi
echo "manual page: no warnings, version $version, $(wc -w <<<"$words") words documented"
