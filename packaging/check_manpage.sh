#!/usr/bin/env bash
# The manual page renders without a single warning, carries the program's version, has an
# entry for every word of the program's usage text (printed by HELP_OPTION, default --help) and
# the given sections (default: those of panelcfg.8).
# Usage: check_manpage.sh PAGE PROGRAM [HELP_OPTION [SECTION...]]
set -euo pipefail
page=$1
prog=$2
help=${3:---help}
sections=("${@:4}")
[ "${#sections[@]}" -gt 0 ] ||
  sections=(NAME SYNOPSIS DESCRIPTION OPERATIONS LISTING "EXIT STATUS" FILES DIAGNOSTICS EXAMPLES)

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

# The title line names the page (panelcfg.8: PANELCFG 8) and the version --version prints.
name=$(basename "$page")
title="${name%.*}"
title="${title^^} ${name##*.}"
version=$("$prog" --version)
grep -q "^\.TH $title [0-9-]* \"$version\" " "$page" ||
  complain "the .TH line does not name $title and \"$version\""

# Rendered on one long line per paragraph, so that nothing is broken or hyphenated.
text=$(groff -man -Tascii -rLL=1000n -P-cbou "$page")

# Every word of the usage text is the tag of an entry: at the start of an indented line,
# possibly after other tags ("-h, --help").
words=$("$prog" "$help" | sed -n 's/^  \([-a-z][^ ,]*\(, [-a-z][^ ,]*\)*\).*/\1/p' | tr -d ',')
[ -n "$words" ] || complain "no words found in the usage text"
for w in $words; do
  grep -Eq "^ {7}([^ ]+, )*${w}( |,|$)" <<<"$text" || complain "no entry for $w"
done

for s in "${sections[@]}"; do
  grep -qx "$s" <<<"$text" || complain "no section $s"
done

if [ "$fail" -ne 0 ]; then
  exit 1
fi
echo "manual page: no warnings, version $version, $(wc -w <<<"$words") words documented"
