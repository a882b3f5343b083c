#!/usr/bin/env bash
# Installs the build into a staging directory (DESTDIR, prefix /usr) and checks the tree: each
# file in its place with the content of the source tree, nothing else, nothing under /opt, and
# an installed program that finds the installed support library and runs.
# Usage: check_install.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
src=$2

stage=$(mktemp -d "${TMPDIR:-/tmp}/panelcfg-install-XXXXXX")
trap 'rm -rf "$stage"' EXIT

DESTDIR=$stage cmake --install "$build" --prefix /usr >"$stage.log" 2>&1 || {
  cat "$stage.log"
  rm -f "$stage.log"
  echo "FAIL: cmake --install failed"
  exit 1
}
rm -f "$stage.log"

fail=0
complain() {
  echo "FAIL: $*"
  fail=1
}

libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:[A-Z]*=//p' "$build/CMakeCache.txt")
[ -n "$libdir" ] || libdir=lib

expected=$(
  LC_ALL=C sort <<EOT
usr/$libdir/libpanelsupport.so
usr/$libdir/libpanelsupport.so.1
usr/$libdir/libpanelsupport.so.1.0.0
usr/bin/panelcfg-sim
usr/sbin/panelcfg
usr/share/bash-completion/completions/panelcfg
usr/share/doc/panelcfg/options.ini.example
usr/share/man/man8/panelcfg.8
EOT
)
actual=$(cd "$stage" && find . \( -type f -o -type l \) | sed 's|^\./||' | LC_ALL=C sort)
if [ "$actual" != "$expected" ]; then
  complain "installed files differ from the expected list:"$'\n'"$(diff <(echo "$expected") <(echo "$actual") || true)"
fi

[ ! -e "$stage/opt" ] || complain "something was installed under /opt"

same() {
  cmp -s "$1" "$2" || complain "$2 is not $1"
}
same "$src/docs/panelcfg.8" "$stage/usr/share/man/man8/panelcfg.8"
same "$src/completion/panelcfg" "$stage/usr/share/bash-completion/completions/panelcfg"
same "$src/docs/options.ini.example" "$stage/usr/share/doc/panelcfg/options.ini.example"

prog=$stage/usr/sbin/panelcfg
[ -x "$prog" ] || complain "$prog is not executable"
[ "$(readlink "$stage/usr/$libdir/libpanelsupport.so.1")" = libpanelsupport.so.1.0.0 ] ||
  complain "libpanelsupport.so.1 does not point at libpanelsupport.so.1.0.0"

# The installed programs load the support library of the staged tree, not the build tree's.
for p in usr/sbin/panelcfg usr/bin/panelcfg-sim; do
  [ -x "$stage/$p" ] || continue
  lib=$(env -u LD_LIBRARY_PATH ldd "$stage/$p" | sed -n 's/^[[:space:]]*libpanelsupport\.so\.1 => \([^ ]*\).*/\1/p')
  case $lib in
  "$stage"/*) ;;
  *) complain "$p loads libpanelsupport.so.1 from '${lib:-nowhere}'" ;;
  esac
done
if [ -x "$prog" ]; then
  version=$(env -u LD_LIBRARY_PATH "$prog" --version 2>&1) || complain "$prog --version failed: $version"
  [ "$version" = "panelcfg $(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")" ] ||
    complain "$prog --version printed '$version'"
fi

if [ "$fail" -ne 0 ]; then
  exit 1
fi
echo "installed tree: $(wc -l <<<"$actual") files as expected"
