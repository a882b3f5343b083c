#!/usr/bin/env bash
# Sources the bash completion of panelcfg and checks the words it offers for a command line,
# and that the first argument offers exactly the words of the program's usage text.
# Usage: test_completion.sh COMPLETION_FILE PROGRAM
set -uo pipefail
file=$1
prog=$2

# shellcheck source=/dev/null
source "$file"
spec=$(complete -p panelcfg 2>/dev/null) || {
  echo "FAIL: $file registers no completion for panelcfg"
  exit 1
}
func=$(sed -n 's/.*-F \([^ ]*\).*/\1/p' <<<"$spec")

passed=0
failed=0

# offered CWORD WORD... : the sorted words offered when completing word CWORD of the line.
offered() {
  local cword=$1
  shift
  COMP_WORDS=("$@")
  COMP_CWORD=$cword
  COMP_LINE="$*"
  COMP_POINT=${#COMP_LINE}
  COMPREPLY=()
  "$func" panelcfg "${COMP_WORDS[cword]}" "${COMP_WORDS[cword - 1]}"
  printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | LC_ALL=C sort | tr '\n' ' ' | sed 's/ $//'
}

# expect "WORDS OFFERED" CWORD WORD...
expect() {
  local want=$1
  shift
  local got
  got=$(offered "$@")
  if [ "$got" = "$want" ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL: completing word $1 of '${*:2}': got '$got', want '$want'"
  fi
}

all='--clean --device --digi-test --digitizer --help --hotplug --hybrid-d --hybrid-m --list --mouse --mouse-test --record --record-serials --recover --rotation --site-mode --sn --status --version -h getpos setpos'

# The operation word.
expect "$all" 1 panelcfg ''
expect '--mouse --mouse-test' 1 panelcfg --mo
expect '--help --hotplug --hybrid-d --hybrid-m' 1 panelcfg --h
expect '--digi-test --digitizer' 1 panelcfg --dig
expect 'setpos' 1 panelcfg se
expect 'getpos' 1 panelcfg g
expect '--list' 1 panelcfg --l
expect '--site-mode --sn --status' 1 panelcfg --s
expect '--record --record-serials --recover --rotation' 1 panelcfg --r
expect '--recover' 1 panelcfg --recov
expect '' 1 panelcfg mouse
expect '' 1 panelcfg --x

# The mode digit follows setpos, --json the two reports, and nothing else has a second word.
expect '1 2 3 4' 2 panelcfg setpos ''
expect '3' 2 panelcfg setpos 3
expect '' 2 panelcfg setpos 5
expect '' 2 panelcfg getpos ''
expect '' 2 panelcfg --mouse ''
expect '--json' 2 panelcfg --list ''
expect '--json' 2 panelcfg --status --j
expect '' 2 panelcfg --status x
expect '' 3 panelcfg --status --json ''
expect '' 2 panelcfg --recover ''
expect 'hybrid-d hybrid-m' 2 panelcfg --site-mode hy
expect '' 2 panelcfg setposx ''

# "not" comes third, after the placeholder, for the words that switch modes.
expect 'not' 3 panelcfg --mouse x ''
# A file name after --record, wherever it stands.
expect "$(cd / && compgen -f -- /e)" 2 panelcfg --record /e
expect "$(cd / && compgen -f -- /e)" 3 panelcfg --mouse --record /e
expect 'not' 3 panelcfg --hybrid-d x n
expect 'not' 3 panelcfg --digitizer x ''
expect 'not' 3 panelcfg --hybrid-m x ''
expect 'not' 3 panelcfg --mouse-test x ''
expect 'not' 3 panelcfg --digi-test x ''
expect '' 3 panelcfg --mouse x q
expect '' 3 panelcfg getpos x ''
expect '' 3 panelcfg --clean x ''
expect '' 4 panelcfg --mouse x not ''

# The words offered first are those of the usage text, no more and no fewer.
usage=$("$prog" --help | sed -n 's/^  \([-a-z][^ ,]*\(, [-a-z][^ ,]*\)*\).*/\1/p' | tr -d ',' |
  tr ' ' '\n' | LC_ALL=C sort | tr '\n' ' ' | sed 's/ $//')
if [ "$usage" = "$all" ]; then
  passed=$((passed + 1))
else
  failed=$((failed + 1))
  echo "FAIL: the usage text lists '$usage', the completion offers '$all'"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
