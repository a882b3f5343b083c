#!/usr/bin/env bash
# Installs the build into a staging directory (DESTDIR, prefix /usr) and checks the tree: each
# file in its place with the content of the source tree, nothing else, nothing under /opt, an
# installed program that finds the private support library through its RUNPATH and prints the
# version of debian/changelog, and a simulator that needs no support library at all.
# A build for another architecture (scripts/cross-test.sh) is run under qemu-user, its libraries
# taken from the sysroot in QEMU_LD_PREFIX, and its loader lists what the program loads.
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
usr/$libdir/panelcfg/libpanelsupport.so.1
usr/$libdir/panelcfg/libpanelsupport.so.1.0.0
usr/bin/panelcfg-sim
usr/lib/systemd/system/panelcfg-hotplug@.service
usr/lib/udev/rules.d/60-panelcfg.rules
usr/sbin/panelcfg
usr/share/bash-completion/completions/panelcfg
usr/share/doc/panelcfg/examples/options.ini.example
usr/share/man/man1/panelcfg-sim.1
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
same "$src/docs/panelcfg-sim.1" "$stage/usr/share/man/man1/panelcfg-sim.1"
same "$src/completion/panelcfg" "$stage/usr/share/bash-completion/completions/panelcfg"
same "$src/packaging/systemd/panelcfg-hotplug@.service" \
  "$stage/usr/lib/systemd/system/panelcfg-hotplug@.service"
same "$build/src/app/src/udevrule/60-panelcfg.rules" "$stage/usr/lib/udev/rules.d/60-panelcfg.rules"
same "$src/docs/options.ini.example" "$stage/usr/share/doc/panelcfg/examples/options.ini.example"

prog=$stage/usr/sbin/panelcfg
[ -x "$prog" ] || complain "$prog is not executable"
[ "$(readlink "$stage/usr/$libdir/panelcfg/libpanelsupport.so.1")" = libpanelsupport.so.1.0.0 ] ||
  complain "libpanelsupport.so.1 does not point at libpanelsupport.so.1.0.0"

# The utility finds the private library through a RUNPATH relative to itself, so it loads the
# one of the staged tree, not the build tree's; the simulator carries the library's code.
runpath=$(readelf -d "$prog" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
[ "$runpath" = "\$ORIGIN/../$libdir/panelcfg" ] || complain "usr/sbin/panelcfg has RUNPATH '$runpath'"
# A program of another architecture runs under qemu-user, and its own loader lists the libraries
# (the machine's ldd knows only the machine's).
machine() { readelf -h "$1" | sed -n 's/^ *Machine: *//p'; }
run=()
list=(ldd "$prog")
if [ "$(machine "$prog")" != "$(machine "$(command -v readelf)")" ]; then
  case "$(machine "$prog")" in
  AArch64) qemu=aarch64 ;;
  ARM) qemu=arm ;;
  "IBM S/390") qemu=s390x ;;
  *) qemu=unknown ;;
  esac
  [ -n "${QEMU_LD_PREFIX:-}" ] || {
    echo "FAIL: usr/sbin/panelcfg is for $(machine "$prog"): QEMU_LD_PREFIX names no sysroot"
    exit 1
  }
  emulator=$(command -v "qemu-$qemu-static" || command -v "qemu-$qemu") || {
    echo "FAIL: usr/sbin/panelcfg is for $(machine "$prog"): no qemu-$qemu"
    exit 1
  }
  run=("$emulator" -L "$QEMU_LD_PREFIX")
  interp=$(readelf -l "$prog" | sed -n 's/.*Requesting program interpreter: \(.*\)\]$/\1/p')
  list=("${run[@]}" "$QEMU_LD_PREFIX$interp" --list "$prog")
fi
lib=$(env -u LD_LIBRARY_PATH "${list[@]}" | sed -n 's/^[[:space:]]*libpanelsupport\.so\.1 => \([^ ]*\).*/\1/p')
[ "$(realpath -ms "$lib")" = "$stage/usr/$libdir/panelcfg/libpanelsupport.so.1" ] ||
  complain "usr/sbin/panelcfg loads libpanelsupport.so.1 from '${lib:-nowhere}'"
sim=$stage/usr/bin/panelcfg-sim
if readelf -d "$sim" | grep -Eq 'libpanelsupport|RPATH|RUNPATH'; then
  complain "usr/bin/panelcfg-sim needs the support library or has a search path"
fi

# The version comes from the newest entry of debian/changelog, and from nowhere else.
changelog=$(sed -n '1s/^panelcfg (\([^)]*\)).*/\1/p' "$src/debian/changelog")
[ -n "$changelog" ] || complain "no version on the first line of debian/changelog"
for p in "$prog" "$sim"; do
  version=$(env -u LD_LIBRARY_PATH "${run[@]}" "$p" --version 2>&1) || complain "$p --version failed: $version"
  [ "$version" = "panelcfg $changelog" ] ||
    complain "$p --version printed '$version', debian/changelog has $changelog"
done

if [ "$fail" -ne 0 ]; then
  exit 1
fi
echo "installed tree: $(wc -l <<<"$actual") files as expected"
