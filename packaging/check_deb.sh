#!/usr/bin/env bash
# Checks the Debian packages that scripts/package.sh left in DEB_DIR: lintian --pedantic finds no
# error and no warning; the build log shows Debian's build flags (blhc) and no warning; control
# fields, exact file lists and contents; panelcfg finds its private library through its RUNPATH
# and prints the version of debian/changelog; Depends covers every library linked; the
# maintainer scripts, run against a scratch root. As root, on a machine where no panelcfg package
# is installed, it also installs both packages, tries them, and purges them again.
# Usage: check_deb.sh DEB_DIR SOURCE_DIR
set -euo pipefail
dir=$(realpath "$1")
src=$2

version=$(dpkg-parsechangelog -l "$src/debian/changelog" -S Version)
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
deb=$dir/panelcfg_${version}_${arch}.deb
simdeb=$dir/panelcfg-sim_${version}_${arch}.deb
changes=$dir/panelcfg_${version}_${arch}.changes
log=$dir/panelcfg_${version}_${arch}.build
for f in "$deb" "$simdeb" "$dir/panelcfg-dbgsym_${version}_${arch}.deb" \
  "$dir/panelcfg-sim-dbgsym_${version}_${arch}.deb" "$changes" "$log"; do
  [ -f "$f" ] || {
    echo "FAIL: no $f (scripts/package.sh builds it)"
    exit 1
  }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/panelcfg-deb-XXXXXX")
trap 'rm -rf "$work"' EXIT
fail=0
complain() {
  echo "FAIL: $*"
  fail=1
}

# --- lintian and the build log ------------------------------------------------------------------
status=0
lintian --pedantic --display-info --fail-on error,warning "$changes" >"$work/lintian" 2>&1 ||
  status=$?
grep -v 'running with root privileges' "$work/lintian" | sed 's/^/lintian: /' || true
if [ "$status" -ne 0 ] || grep -Eq '^[EW]: ' "$work/lintian"; then
  complain "lintian reports errors or warnings (exit status $status)"
fi
blhc --arch="$arch" "$log" >"$work/blhc" 2>&1 || complain "blhc: build flags missing:"$'\n'"$(cat "$work/blhc")"
if grep -n 'warning:' "$log" >"$work/warnings"; then
  complain "the package build warns:"$'\n'"$(cat "$work/warnings")"
fi

# --- control fields, files, contents ------------------------------------------------------------
depnames() { dpkg-deb -f "$1" Depends | sed 's/[,|]/\n/g' | sed 's/(.*)//; s/[[:space:]]//g; /^$/d'; }
for d in "$deb" "$simdeb"; do
  pkg=$(basename "$d" | cut -d_ -f1)
  for kv in "Package=$pkg" "Version=$version" "Architecture=$arch" Section=admin \
    Priority=optional Multi-Arch=foreign; do
    got=$(dpkg-deb -f "$d" "${kv%%=*}")
    [ "$got" = "${kv#*=}" ] || complain "$pkg: ${kv%%=*}: '$got', want '${kv#*=}'"
  done
  [ -n "$(dpkg-deb -f "$d" Maintainer)" ] || complain "$pkg: no Maintainer"
  dpkg-deb -x "$d" "$work/$pkg"
  dpkg-deb -e "$d" "$work/$pkg.control"
done
grep -qx libusb-0.1-4 <<<"$(depnames "$deb")" || complain "panelcfg does not depend on libusb-0.1-4"
if grep -Eqx 'panelcfg|libusb-0.1-4' <<<"$(depnames "$simdeb")"; then
  complain "panelcfg-sim depends on panelcfg or libusb-0.1-4: $(dpkg-deb -f "$simdeb" Depends)"
fi

files() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ { print $6 }' | LC_ALL=C sort; }
expect_files() {
  local got
  got=$(files "$1")
  [ "$got" = "$2" ] ||
    complain "$(basename "$1") holds other files:"$'\n'"$(diff <(echo "$2") <(echo "$got") || true)"
}
expect_files "$deb" "$(
  LC_ALL=C sort <<EOT
./usr/lib/$multiarch/panelcfg/libpanelsupport.so.1
./usr/lib/$multiarch/panelcfg/libpanelsupport.so.1.0.0
./usr/lib/systemd/system/panelcfg-hotplug@.service
./usr/lib/udev/rules.d/60-panelcfg.rules
./usr/sbin/panelcfg
./usr/share/bash-completion/completions/panelcfg
./usr/share/doc/panelcfg/changelog.gz
./usr/share/doc/panelcfg/copyright
./usr/share/doc/panelcfg/examples/options.ini.example
./usr/share/man/man8/panelcfg.8.gz
EOT
)"
expect_files "$simdeb" "$(
  LC_ALL=C sort <<EOT
./usr/bin/panelcfg-sim
./usr/share/doc/panelcfg-sim/changelog.gz
./usr/share/doc/panelcfg-sim/copyright
./usr/share/man/man1/panelcfg-sim.1.gz
EOT
)"

same() { cmp -s "$1" "$2" || complain "$2 is not $1"; }
same "$src/completion/panelcfg" "$work/panelcfg/usr/share/bash-completion/completions/panelcfg"
same "$src/packaging/systemd/panelcfg-hotplug@.service" \
  "$work/panelcfg/usr/lib/systemd/system/panelcfg-hotplug@.service"
same "$src/docs/options.ini.example" "$work/panelcfg/usr/share/doc/panelcfg/examples/options.ini.example"
same "$src/debian/copyright" "$work/panelcfg/usr/share/doc/panelcfg/copyright"
for page in panelcfg/usr/share/man/man8/panelcfg.8 panelcfg-sim/usr/share/man/man1/panelcfg-sim.1; do
  [ -f "$work/$page.gz" ] && gzip -dc "$work/$page.gz" >"$work/page" 2>/dev/null &&
    same "$src/docs/$(basename "$page")" "$work/page"
done

# (grep reads the whole of a pipe: grep -q would stop the writer early, and pipefail fail it.)
# The programs: stripped, their debug symbols in the -dbgsym packages, panelcfg with the RUNPATH
# of its private library, panelcfg-sim with no support library at all, both with the version.
prog=$work/panelcfg/usr/sbin/panelcfg
sim=$work/panelcfg-sim/usr/bin/panelcfg-sim
for pkg in panelcfg panelcfg-sim; do
  p=$prog
  [ "$pkg" = panelcfg ] || p=$sim
  name=$(basename "$p")
  readelf -S "$p" | grep '\.debug_info' >/dev/null && complain "$name is not stripped"
  id=$(readelf -n "$p" | sed -n 's/.*Build ID: *//p')
  dpkg-deb -c "$dir/$pkg-dbgsym_${version}_${arch}.deb" |
    grep "/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug$" >/dev/null || complain "no debug symbols of $name"
  out=$("$p" --version 2>&1) || true
  [ "$out" = "panelcfg $version" ] || complain "$name --version printed '$out', want 'panelcfg $version'"
done
runpath=$(readelf -d "$prog" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
[ "$runpath" = "\$ORIGIN/../lib/$multiarch/panelcfg" ] || complain "panelcfg has RUNPATH '$runpath'"
readelf -d "$sim" | grep -E 'libpanelsupport|RPATH|RUNPATH' >/dev/null &&
  complain "panelcfg-sim needs the support library or has a search path"
[ ! -e "$work/panelcfg.control/shlibs" ] || complain "panelcfg offers its private library in shlibs"

# Every library a program links comes with its package or from a package in its Depends.
for d in "$deb" "$simdeb"; do
  pkg=$(basename "$d" | cut -d_ -f1)
  needed=$(find "$work/$pkg" -type f -exec sh -c 'readelf -d "$1" 2>/dev/null' _ {} \; |
    sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | LC_ALL=C sort -u)
  [ -n "$needed" ] || complain "$pkg: readelf found no NEEDED entries"
  for lib in $needed; do
    [ -n "$(find "$work/$pkg" -name "$lib")" ] && continue
    owners=$(dpkg -S "*/$lib" 2>/dev/null | sed 's/: .*//' | tr ',' '\n' | sed 's/:.*//; s/[[:space:]]//g' | sort -u)
    grep -qxF -f <(depnames "$d") <<<"$owners" ||
      complain "$pkg: $lib comes from ${owners:-no installed package}, not named in Depends"
  done
done

# --- maintainer scripts, against a scratch root -------------------------------------------------
written=(Util.conf manuflist.conf .prodlist.conf .pctdevid.conf rmanuflist.conf .rprodlist.conf
  .resdevid.conf)
root=$work/root
opt=$root/opt/.touch_panel
mkdir -p "$root/run"
ctl=$work/panelcfg.control
run() { DPKG_ROOT=$root sh "$ctl/$1" "$2" 2>&1 || complain "$1 $2 failed"; }
in_opt() { find "$opt" -mindepth 1 -maxdepth 1 -printf '%P\n' | LC_ALL=C sort | tr '\n' ' '; }
run postinst abort-upgrade
[ ! -e "$opt" ] || complain "postinst abort-upgrade created the directory"
run postinst configure
[ "$(stat -c %a "$opt" 2>/dev/null)" = 755 ] || complain "postinst configure made no /opt/.touch_panel with mode 755"
touch "$opt/options.ini" "$opt/enabledebug" "$root/run/panelcfg.lock"
for f in "${written[@]}"; do touch "$opt/$f"; done
run postinst configure
run postrm remove
if [ "$(in_opt | wc -w)" -ne 9 ] || [ ! -e "$root/run/panelcfg.lock" ]; then
  complain "postrm remove removed files"
fi
run postrm purge
[ "$(in_opt)" = "enabledebug options.ini " ] ||
  complain "postrm purge left $(in_opt)in /opt/.touch_panel, want enabledebug options.ini"
[ ! -e "$root/run/panelcfg.lock" ] || complain "postrm purge left /run/panelcfg.lock"
rm "$opt/options.ini" "$opt/enabledebug"
for f in "${written[@]}"; do touch "$opt/$f"; done
run postrm purge
[ ! -e "$opt" ] || complain "postrm purge left the emptied /opt/.touch_panel"
run postrm purge

# --- install and purge round trip ---------------------------------------------------------------
installed() { dpkg-query -W -f='${db:Status-Status}\n' panelcfg panelcfg-sim 2>/dev/null | grep -vx not-installed >/dev/null; }
if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: install round trip: not root"
elif installed; then
  echo "SKIP: install round trip: a panelcfg package is already installed on this machine"
else
  trap 'installed && dpkg -P panelcfg-sim panelcfg >/dev/null; rm -rf "$work"' EXIT
  fresh_opt=1
  [ -e /opt/.touch_panel ] && fresh_opt=0
  fresh_lock=1
  [ -e /run/panelcfg.lock ] && fresh_lock=0
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y \
    --no-install-recommends "$deb" "$simdeb" >"$work/apt.log" 2>&1 ||
    complain "apt-get install failed:"$'\n'"$(tail -20 "$work/apt.log")"
  out=$(/usr/sbin/panelcfg --version 2>&1) || true
  [ "$out" = "panelcfg $version" ] || complain "installed panelcfg --version printed '$out'"
  [ "$(man -w panelcfg 2>&1)" = /usr/share/man/man8/panelcfg.8.gz ] || complain "man -w panelcfg: $(man -w panelcfg 2>&1)"
  [ "$(man -w panelcfg-sim 2>&1)" = /usr/share/man/man1/panelcfg-sim.1.gz ] || complain "man -w panelcfg-sim: $(man -w panelcfg-sim 2>&1)"
  [ -f /usr/share/bash-completion/completions/panelcfg ] || complain "no bash completion installed"
  [ -d /opt/.touch_panel ] || complain "no /opt/.touch_panel after the install"
  status=0
  panelcfg-sim --instant --fresh --state "$work/sim.json" --dir "$work/sim" getpos >"$work/sim.out" 2>&1 || status=$?
  [ "$status" -eq 2 ] || complain "installed panelcfg-sim getpos: exit status $status, 2 expected:"$'\n'"$(cat "$work/sim.out")"

  # Purged after panelcfg wrote its files: nothing of either package is left.
  if [ "$fresh_opt" -eq 1 ]; then
    for f in "${written[@]}"; do touch "/opt/.touch_panel/$f"; done
  fi
  [ "$fresh_lock" -eq 0 ] || touch /run/panelcfg.lock
  dpkg -P panelcfg-sim panelcfg >"$work/purge.log" 2>&1 || complain "dpkg -P failed: $(cat "$work/purge.log")"
  installed && complain "the packages are still known to dpkg after the purge"
  left=$( (files "$deb" && files "$simdeb") | sed 's|^\.||' | while read -r f; do
    if [ -e "$f" ] || [ -L "$f" ]; then echo "$f"; fi
  done)
  [ -z "$left" ] || complain "left after the purge:"$'\n'"$left"
  for d in "/usr/lib/$multiarch/panelcfg" /usr/share/doc/panelcfg /usr/share/doc/panelcfg-sim; do
    [ ! -e "$d" ] || complain "$d is left after the purge"
  done
  [ "$fresh_lock" -eq 0 ] || [ ! -e /run/panelcfg.lock ] || complain "/run/panelcfg.lock is left after the purge"
  if [ "$fresh_opt" -eq 1 ]; then
    [ ! -e /opt/.touch_panel ] || complain "/opt/.touch_panel is left after the purge: $(ls -A /opt/.touch_panel)"

    # An administrator's options.ini outlives the purge, and so does the directory.
    dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || complain "dpkg -i failed: $(cat "$work/dpkg.log")"
    echo 'res=1' >/opt/.touch_panel/options.ini
    touch /opt/.touch_panel/Util.conf
    dpkg -P panelcfg >"$work/purge.log" 2>&1 || complain "dpkg -P failed: $(cat "$work/purge.log")"
    [ "$(cat /opt/.touch_panel/options.ini 2>/dev/null)" = 'res=1' ] || complain "the purge removed options.ini"
    [ ! -e /opt/.touch_panel/Util.conf ] || complain "the purge left Util.conf beside options.ini"
    rm -f /opt/.touch_panel/options.ini
    rmdir /opt/.touch_panel 2>/dev/null || true
  fi
  echo "install round trip: installed, run and purged"
fi

if [ "$fail" -ne 0 ]; then
  exit 1
fi
echo "packages panelcfg and panelcfg-sim $version: lintian clean, build flags, files, scripts as expected"
