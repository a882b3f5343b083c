#!/usr/bin/env bash
# Keeps the utility's folders layered: a module may include headers of its own folder and of the
# folders below it, never of one above. The layers, bottom first:
layers=(support base transport pct resistive policy lists scan run)
# pct and resistive are two protocols side by side: neither includes the other.
set -euo pipefail
root=${1:-"$(dirname "$0")/../src/app/src/panelcfg"}
cd "$root"

rank() {
  local i
  for i in "${!layers[@]}"; do
    if [ "${layers[$i]}" = "$1" ]; then
      # The two protocols share a rank.
      if [ "$1" = resistive ]; then echo $((i - 1)); else echo "$i"; fi
      return
    fi
  done
  echo -1
}

fail=0
for dir in */; do
  dir=${dir%/}
  if [ "$(rank "$dir")" -lt 0 ]; then
    echo "check-layers: folder $dir/ has no layer; add it to scripts/check-layers.sh"
    fail=1
  fi
done

while IFS= read -r hit; do
  file=${hit%%:*}
  rest=${hit#*:}
  line=${rest%%:*}
  target=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]*)".*/\1/' <<<"${rest#*:}")
  from=${file%%/*}
  resolved=$(realpath -m --relative-to=. "$(dirname "$file")/$target")
  case $resolved in
  ../* | /*)
    echo "check-layers: $file:$line includes $target, outside the utility"
    fail=1
    continue
    ;;
  */*) to=${resolved%%/*} ;;
  *) to=. ;;
  esac
  [ "$to" = "$from" ] && continue
  if [ "$to" = . ]; then
    echo "check-layers: $file:$line includes $target, which belongs to no layer"
    fail=1
    continue
  fi
  rf=$(rank "$from")
  rt=$(rank "$to")
  if [ "$rt" -lt 0 ] || [ "$rt" -ge "$rf" ]; then
    echo "check-layers: $file:$line: $from/ includes $target from $to/, which is not below it"
    fail=1
  fi
done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' --include='*.h' --include='*.cpp' . | sed 's#^\./##')

if [ "$fail" -ne 0 ]; then
  echo "check-layers: layers, bottom first: ${layers[*]}"
  exit 1
fi
echo "check-layers: every include goes down (${layers[*]})"
