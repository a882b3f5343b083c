#!/usr/bin/env bash
# Builds the Debian package with cpack and checks it with dpkg-deb: control fields, file list,
# the maintainer script that creates /opt/.touch_panel/, and that Depends names the package of
# every library the packaged programs link.
# Usage: check_deb.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
src=$2

if ! command -v dpkg-deb >/dev/null; then
  echo "SKIP: dpkg-deb is not installed"
  exit 77
fi

out=$(mktemp -d "${TMPDIR:-/tmp}/panelcfg-deb-XXXXXX")
trap 'rm -rf "$out"' EXIT

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1 || {
  cat "$out/cpack.log"
  echo "FAIL: cpack failed"
  exit 1
}
debs=("$out"/*.deb)
if [ "${#debs[@]}" -ne 1 ] || [ ! -f "${debs[0]}" ]; then
  echo "FAIL: cpack made ${#debs[@]} packages: ${debs[*]}"
  exit 1
fi
deb=${debs[0]}

fail=0
complain() {
  echo "FAIL: $*"
  fail=1
}

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
arch=$(dpkg --print-architecture)
[ "$(basename "$deb")" = "panelcfg_${version}_${arch}.deb" ] || complain "package file is named $(basename "$deb")"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = panelcfg ] || complain "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || complain "Version: $(field Version), want $version"
[ "$(field Architecture)" = "$arch" ] || complain "Architecture: $(field Architecture)"
[ "$(field Section)" = admin ] || complain "Section: $(field Section)"
[ -n "$(field Maintainer)" ] || complain "no Maintainer"
[ -n "$(field Description)" ] || complain "no Description"
depends=$(field Depends)
# The package names in Depends, one per line, without versions or alternatives' separators.
depnames=$(tr ',|' '\n\n' <<<"$depends" | sed 's/(.*)//; s/[[:space:]]//g; /^$/d')
grep -qx libusb-0.1-4 <<<"$depnames" || complain "Depends does not name libusb-0.1-4: $depends"

libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:[A-Z]*=//p' "$build/CMakeCache.txt")
expected=$(
  LC_ALL=C sort <<EOT
./usr/$libdir/libpanelsupport.so
./usr/$libdir/libpanelsupport.so.1
./usr/$libdir/libpanelsupport.so.1.0.0
./usr/bin/panelcfg-sim
./usr/sbin/panelcfg
./usr/share/bash-completion/completions/panelcfg
./usr/share/doc/panelcfg/options.ini.example
./usr/share/man/man8/panelcfg.8
EOT
)
listing=$(dpkg-deb -c "$deb")
files=$(awk '$1 !~ /^d/ { print $6 }' <<<"$listing" | LC_ALL=C sort)
if [ "$files" != "$expected" ]; then
  complain "packaged files differ from the expected list:"$'\n'"$(diff <(echo "$expected") <(echo "$files") || true)"
fi
if grep -q ' \./opt' <<<"$listing"; then
  complain "the package ships files under /opt; the postinst creates the directory"
fi
mode=$(awk '$6 == "./usr/sbin/panelcfg" { print $1 }' <<<"$listing")
[ "$mode" = "-rwxr-xr-x" ] || complain "usr/sbin/panelcfg has mode $mode"

# Control area: postinst creates the directory on configure, and only then.
dpkg-deb -e "$deb" "$out/control"
postinst=$out/control/postinst
if [ ! -x "$postinst" ]; then
  complain "no executable postinst"
else
  sh -n "$postinst" || complain "postinst is not valid sh"
  root=$out/root
  mkdir -p "$root"
  DPKG_ROOT=$root sh "$postinst" abort-upgrade 2>&1 || complain "postinst abort-upgrade failed"
  [ ! -e "$root/opt/.touch_panel" ] || complain "postinst abort-upgrade created the directory"
  DPKG_ROOT=$root sh "$postinst" configure 2>&1 || complain "postinst configure failed"
  [ -d "$root/opt/.touch_panel" ] || complain "postinst configure did not create /opt/.touch_panel"
  [ "$(stat -c %a "$root/opt/.touch_panel" 2>/dev/null)" = 755 ] ||
    complain "/opt/.touch_panel has mode $(stat -c %a "$root/opt/.touch_panel" 2>/dev/null)"
  touch "$root/opt/.touch_panel/options.ini"
  DPKG_ROOT=$root sh "$postinst" configure 2>&1 || complain "postinst configure failed the second time"
  [ -e "$root/opt/.touch_panel/options.ini" ] || complain "postinst configure emptied the directory"
fi
grep -qx 'activate-noawait ldconfig' "$out/control/triggers" 2>/dev/null ||
  complain "no ldconfig trigger for the support library"

# Every library the packaged programs link comes with the package or from a package in Depends.
dpkg-deb -x "$deb" "$out/data"
needed=$(find "$out/data" -type f -exec sh -c 'readelf -d "$1" 2>/dev/null' _ {} \; |
  sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | LC_ALL=C sort -u)
[ -n "$needed" ] || complain "readelf found no NEEDED entries"
if grep -Eq '^lib(a|ub|t|l|hwa)san\.' <<<"$needed"; then
  echo "note: sanitizer build, library dependencies not checked"
else
  for lib in $needed; do
    [ -n "$(find "$out/data" -name "$lib")" ] && continue
    owners=$(dpkg -S "*/$lib" 2>/dev/null | sed 's/: .*//' | tr ',' '\n' | sed 's/:.*//; s/[[:space:]]//g' | sort -u)
    if [ -z "$owners" ]; then
      complain "no installed package provides $lib"
      continue
    fi
    ok=0
    for o in $owners; do
      grep -qx "$o" <<<"$depnames" && ok=1
    done
    [ "$ok" -eq 1 ] || complain "$lib comes from $(tr '\n' ' ' <<<"$owners")which Depends does not name: $depends"
  done
fi

if [ "$fail" -ne 0 ]; then
  exit 1
fi
echo "package $(basename "$deb"): control fields, $(wc -l <<<"$files") files, postinst and dependencies as expected"
