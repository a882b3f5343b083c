#!/usr/bin/env bash
# The VM bed: panelcfg on the real Linux USB stack. Builds an initramfs (busybox, the USB and
# HID modules of Debian's kernel, the panelcfg package's files with the libraries its program
# loads, vmbed-device, udevd), boots it in qemu (software emulation), and checks what panelcfg
# printed, its exit status, every request the emulated controller served, what the host sent
# (usbmon), and what the kernel and udev did (uevents, drivers bound, the hotplug rule).
#
#   vmbed.sh --build BUILD_DIR --deb DEB_OR_DIR --sim PANELCFG_SIM --device VMBED_DEVICE
#
# DEB_OR_DIR is the panelcfg package (scripts/package.sh leaves it in build/deb) or a directory
# holding it. For work on panelcfg itself, --panelcfg PROGRAM runs that program instead; the
# packaged udev rule and unit then come from BUILD_DIR and the tree. --recheck checks the
# console log of the last boot (BUILD_DIR/vmbed/console.log) again without booting the VM;
# --shell boots it to a shell on this terminal instead of the scenarios (see README.md).
# --keep-recordings DIR keeps the runs recorded in the VM (NAME.json, with NAME.out and NAME.rc)
# in DIR: src/app/tests/vmbed/recordings to re-record the tree's.
#
# Exit status: 0 pass, 1 a check failed, 77 the bed cannot run here or a run was inconclusive
# (the gadgetfs race, see README.md); the message says which. The kernel package is downloaded
# once, into BUILD_DIR/vmbed/cache.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
build="" pkgdeb="" panelcfg="" sim="" device="" recheck="" shell="" keep=""
while [ $# -gt 0 ]; do
  case "$1" in
  --recheck | --shell)
    declare "${1#--}=1"
    shift
    continue
    ;;
  --build) build="$2" ;;
  --deb) pkgdeb="$2" ;;
  --panelcfg) panelcfg="$2" ;;
  --sim) sim="$2" ;;
  --device) device="$2" ;;
  --keep-recordings) keep="$2" ;;
  *)
    echo "vmbed: unknown argument $1" >&2
    exit 2
    ;;
  esac
  shift 2
done
for v in build sim device; do
  if [ -z "${!v}" ]; then
    echo "vmbed: --$v is missing" >&2
    exit 2
  fi
done

if [ -z "$pkgdeb$panelcfg" ]; then
  echo "vmbed: --deb or --panelcfg is missing" >&2
  exit 2
fi

build="$(cd "$build" && pwd)"
sim="$(realpath "$sim")" device="$(realpath "$device")"

skip() {
  echo "vmbed: SKIP: $*"
  exit 77
}
failures=0
fail() {
  echo "vmbed: FAIL: $*"
  failures=$((failures + 1))
}

# ---- What the bed needs ------------------------------------------------------------------
# scripts/install-deps.sh --test installs these; without them the bed cannot run here.
for tool in qemu-system-x86_64 cpio apt-get dpkg-deb; do
  command -v "$tool" >/dev/null || skip "$tool is not installed (scripts/install-deps.sh --test)"
done
busybox=/bin/busybox
{ [ -x "$busybox" ] && "$busybox" true; } || skip "busybox-static is not installed"
if ldd "$busybox" 2>/dev/null | grep -q '=>'; then skip "$busybox is not the static busybox"; fi

work="$build/vmbed"
cache="$work/cache"
mkdir -p "$cache"

# The kernel and udev for the VM come from Debian's packages, downloaded into the cache once and
# unpacked there, not installed into the host. Sets cached_deb (the package file) and
# cached_dir (where it is unpacked); without the package the bed cannot run here.
cached_package() { # file-pattern package
  cached_deb="$(find "$cache" -maxdepth 1 -name "$1" | head -1)"
  if [ -z "$cached_deb" ]; then
    (cd "$cache" && apt-get download "$2" >"$cache/download-$2.log" 2>&1) ||
      skip "the package $2 could not be downloaded (see $cache/download-$2.log)"
    cached_deb="$(find "$cache" -maxdepth 1 -name "$1" | head -1)"
  fi
  cached_dir="$cache/$(basename "$cached_deb" .deb)"
  if [ ! -d "$cached_dir" ]; then
    rm -rf "$cached_dir.tmp"
    dpkg-deb -x "$cached_deb" "$cached_dir.tmp"
    mv "$cached_dir.tmp" "$cached_dir"
  fi
}
cached_package 'udev_*.deb' udev
udevadm=""
for f in "$cached_dir/bin/udevadm" "$cached_dir/usr/bin/udevadm"; do
  if [ -x "$f" ] && [ ! -L "$f" ]; then udevadm="$f"; fi
done
[ -n "$udevadm" ] || skip "no udevadm in $(basename "$cached_deb")"

# ---- panelcfg as the package ships it ------------------------------------------------------
pkg="$work/package"
rm -rf "$pkg"
mkdir -p "$pkg"
if [ -n "$panelcfg" ]; then
  panelcfg="$(realpath "$panelcfg")"
  mkdir -p "$pkg/usr/sbin" "$pkg/usr/lib/udev/rules.d" "$pkg/usr/lib/systemd/system"
  cp "$panelcfg" "$pkg/usr/sbin/panelcfg"
  rule="$(find "$build" -name 60-panelcfg.rules -not -path "$work/*" | head -1)"
  [ -n "$rule" ] || skip "no 60-panelcfg.rules in $build"
  cp "$rule" "$pkg/usr/lib/udev/rules.d/"
  cp "$here/../../../../packaging/systemd/panelcfg-hotplug@.service" "$pkg/usr/lib/systemd/system/"
  echo "vmbed: panelcfg is $panelcfg (not the package's)"
else
  if [ -d "$pkgdeb" ]; then pkgdeb="$(find "$pkgdeb" -maxdepth 1 -name 'panelcfg_*_amd64.deb' | head -1)"; fi
  if [ -z "$pkgdeb" ] || [ ! -f "$pkgdeb" ]; then
    skip "no panelcfg package (scripts/package.sh builds it into build/deb)"
  fi
  [ "$(dpkg-deb -f "$pkgdeb" Package)" = panelcfg ] || fail "$pkgdeb is not the panelcfg package"
  dpkg-deb -x "$pkgdeb" "$pkg"
  panelcfg="$pkg/usr/sbin/panelcfg"
  echo "vmbed: panelcfg is the one $(basename "$pkgdeb") ships"
  # It runs on Debian's libusb 0.1, the library its package depends on.
  libusb="$(ldd "$panelcfg" | sed -n 's/^[[:space:]]*libusb-0\.1\.so\.4 => \([^ ]*\).*/\1/p')"
  owner="$(dpkg -S "*/$(basename "$(realpath "$libusb")")" 2>/dev/null | cut -d: -f1 || true)"
  [ "$owner" = libusb-0.1-4 ] || fail "the package's panelcfg loads \"$libusb\" (of \"$owner\"), not libusb-0.1-4's"
  dpkg-deb -f "$pkgdeb" Depends | grep -q 'libusb-0\.1-4' || fail "the package does not depend on libusb-0.1-4"
fi
for f in usr/lib/udev/rules.d/60-panelcfg.rules usr/lib/systemd/system/panelcfg-hotplug@.service; do
  [ -f "$pkg/$f" ] || fail "the package has no /$f"
done

# ---- The kernel ----------------------------------------------------------------------------
# The image package linux-image-amd64 depends on; apt is asked only when none is cached.
kernel='linux-image-*-amd64_*.deb' image=""
if [ -z "$(find "$cache" -maxdepth 1 -name "$kernel")" ]; then
  image="$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9].*-amd64\)$/\1/p' | head -1)"
  [ -n "$image" ] || skip "no kernel package known to apt (linux-image-amd64)"
fi
cached_package "$kernel" "$image"
deb="$cached_deb" kdir="$cached_dir"
vmlinuz="$(ls "$kdir"/boot/vmlinuz-* | head -1)"
modules="$(ls -d "$kdir"/lib/modules/* | head -1)"

# ---- The initramfs -------------------------------------------------------------------------
root="$work/root"
rm -rf "$root"
mkdir -p "$root"/{bin,sbin,etc/udev/rules.d,proc,sys,dev,run,tmp,opt,modules,vmbed,usr/sbin,usr/bin,lib/systemd}
cp "$busybox" "$root/bin/busybox"
# Copies a program to dest in the VM and the shared libraries it loads: the system's under their
# own paths, the build tree's (found through its run path) into the VM's library directory. The
# build tree itself may lie under /tmp, /run or /opt, which the VM mounts over.
with_libs() {
  cp -L "$1" "$root$2"
  local missing
  missing="$(ldd "$1" | sed -n 's/^[[:space:]]*\([^ ]*\) => not found$/\1/p' | while read -r name; do
    [ -n "$(find "$root" -name "$name" -print -quit)" ] || echo "$name"
  done)"
  [ -z "$missing" ] || skip "$2 needs $(echo "$missing" | tr '\n' ' ')which this machine does not have"
  ldd "$1" | sed -n 's/.*=> \(\/[^ ]*\).*/\1/p; s/^[[:space:]]*\(\/[^ ]*\) (.*/\1/p' |
    while read -r lib; do
      case "$lib" in
      /lib/* | /lib64/* | /usr/lib/* | /usr/lib64/*) cp -L --parents "$lib" "$root" ;;
      *) mkdir -p "$root/usr/lib/x86_64-linux-gnu" && cp -L "$lib" "$root/usr/lib/x86_64-linux-gnu/" ;;
      esac
    done
}
# The package's files as dpkg would install them; then the libraries its program loads.
cp -a "$pkg/." "$root/"
with_libs "$panelcfg" /usr/sbin/panelcfg
with_libs "$device" /usr/bin/vmbed-device
with_libs "$udevadm" /bin/udevadm
ln -s /bin/udevadm "$root/lib/systemd/systemd-udevd"
for m in usb-common usbcore usbmon udc-core dummy_hcd gadgetfs hid usbhid hid-generic configfs libcomposite usb_f_fs; do
  ko="$(find "$modules" -name "$m.ko*" | head -1)"
  [ -n "$ko" ] || skip "module $m is not in $(basename "$deb")"
  case "$ko" in
  *.ko.xz) xz -dc "$ko" >"$root/modules/$m.ko" ;;
  *.ko.zst) zstd -qdc "$ko" >"$root/modules/$m.ko" ;;
  *) cp "$ko" "$root/modules/$m.ko" ;;
  esac
done
cp "$here"/*.json "$here"/vm-*.sh "$root/vmbed/"
printf 'root:x:0:0::/:/bin/sh\nnobody:x:65534:65534::/:/bin/sh\n' >"$root/etc/passwd"
printf 'root:x:0:\nnogroup:x:65534:\n' >"$root/etc/group"
cat >"$root/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
exec /bin/sh /vmbed/vm-init.sh
EOF
chmod +x "$root/init"
# Every uevent of the USB devices, interfaces and hidraw nodes, in udevd's order.
cat >"$root/bin/vmbed-uevent" <<'EOF'
#!/bin/sh
echo "$ACTION $SUBSYSTEM ${DEVTYPE:-} ${PRODUCT:-} ${DRIVER:-}" >>/tmp/uevents.log
EOF
chmod +x "$root/bin/vmbed-uevent"
cat >"$root/etc/udev/rules.d/90-vmbed.rules" <<'EOF'
SUBSYSTEM=="usb", ENV{DEVTYPE}=="usb_device|usb_interface", RUN+="/bin/vmbed-uevent"
SUBSYSTEM=="hidraw", RUN+="/bin/vmbed-uevent"
ACTION=="add", TAG=="systemd", ENV{SYSTEMD_WANTS}=="?*", RUN+="/bin/vmbed-systemd $env{SYSTEMD_WANTS}"
EOF
# Stands in for systemd (while /run/vmbed-systemd exists): starts each unit a device's
# SYSTEMD_WANTS names with the ExecStart= of the unit file installed for it (%i and %I: the
# instance), its output and exit status to /tmp/journal.log. A unit still running is not
# started again: systemd merges the start job into the one under way.
cat >"$root/bin/vmbed-systemd" <<'EOF'
#!/bin/sh
[ -e /run/vmbed-systemd ] || exit 0
mkdir -p /run/vmbed-units
for unit in "$@"; do
  instance=${unit#*@}
  instance=${instance%.service}
  file=/usr/lib/systemd/system/${unit%%@*}@.service
  cmd=$(sed -n 's/^ExecStart=//p' "$file" | sed "s/%[iI]/$instance/g")
  if [ -z "$cmd" ]; then
    echo "nounit $unit" >>/tmp/journal.log
    continue
  fi
  if [ -f "/run/vmbed-units/$unit" ] && kill -0 "$(cat "/run/vmbed-units/$unit")" 2>/dev/null; then
    echo "merged $unit" >>/tmp/journal.log
    continue
  fi
  echo "start $unit $cmd" >>/tmp/journal.log
  # shellcheck disable=SC2016 # expanded by the unit's shell
  setsid /bin/sh -c '
    out=/tmp/unit.$$
    rc=0
    $2 >"$out.out" 2>"$out.err" || rc=$?
    { sed "s/^/$1 out /" "$out.out"; sed "s/^/$1 err /" "$out.err"; echo "exit $1 $rc"; } >>/tmp/journal.log
  ' unit "$unit" "$cmd" </dev/null >/dev/null 2>&1 &
  echo $! >"/run/vmbed-units/$unit"
done
EOF
chmod +x "$root/bin/vmbed-systemd"
initrd="$work/initramfs.cpio"
(cd "$root" && find . | cpio -o -H newc --quiet) >"$initrd"
if [ -n "$shell" ]; then
  echo "vmbed: booting to a shell; poweroff -f (or exit) ends it"
  exec qemu-system-x86_64 -accel tcg -m 512 -smp 1 -nographic -no-reboot \
    -kernel "$vmlinuz" -initrd "$initrd" \
    -append "console=ttyS0 loglevel=1 panic=-1 rdinit=/init vmbed.shell"
fi

# ---- The expectations from the virtual bus -------------------------------------------------
# The same scenarios, run by panelcfg-sim on the virtual bus: the feature reports that reach the
# controller, in order (what usbfs refuses with EBUSY, or with ENODEV while the controller is
# off the bus, never reaches it).
expect="$work/expect"
rm -rf "$expect"
mkdir -p "$expect"
# The identity block carries a random serial number: in its write (08 a8) and in the parameter
# area read back (07 after 06 a1), only the first bytes and the length are compared.
identity_masked() {
  awk '{
    masked = ($1 == "set" && $2 == "08" && $3 == "a8") || ($1 == "get" && $2 == "07" && after_a1)
    after_a1 = $1 == "set" && $2 == "06" && $3 == "a1"
    if (!masked) { print; next }
    out = $1 " " $2 " " $3 " " $4 " .."
    for (i = 5; i <= NF; i++) if ($i ~ /^\// || $i == "=" || seen) { out = out " " $i; seen = 1 }
    seen = 0
    print out
  }'
}
# The files panelcfg leaves in its panel directory, one "NAME LINE" per line.
panel_files() { # dir
  for f in Util.conf manuflist.conf .prodlist.conf .pctdevid.conf; do
    if [ -f "$1/$f" ]; then sed "s/^/$f /" "$1/$f"; fi
  done
}
# SCENARIO.json[:TAG] keeps its state and panel directory apart under TAG; "unbound" starts from
# the scenario with the controller's kernel driver gone (as a run killed while it held it
# leaves it), "mouse" from the scenario with mouse mode recorded as the site's.
sim_run() { # name scenario[:tag] fresh|keep|unbound|mouse args...
  local name="$1" scenario="${2%%:*}" fresh="$3" key="${2%.json*}${2##*.json}"
  key="${key/:/-}"
  shift 3
  local opts=(--scenario "$here/$scenario" --state "$expect/$key.state"
    --dir "$expect/dir-$key" --instant --trace)
  [ "$fresh" = fresh ] && opts+=(--fresh)
  if [ "$fresh" = mouse ]; then
    opts+=(--fresh)
    mkdir -p "$expect/dir-$key"
    printf '[SETUP]\nPOSMODE=2\n' >"$expect/dir-$key/Util.conf"
  fi
  if [ "$fresh" = unbound ]; then
    mkdir -p "$expect/dir-$key"
    printf '{"devices": {"%s": {"driverBound": false}}}\n' "${scenario%.json}" >"$expect/$key.state"
    printf '[SETUP]\nPOSMODE=2\n' >"$expect/dir-$key/Util.conf" # what the killed run wrote first
  fi
  set +e
  "$sim" "${opts[@]}" -- "$@" >"$expect/$name.out" 2>"$expect/$name.trace"
  echo $? >"$expect/$name.rc"
  set -e
  sed -n 's/^vusb: [^ ]* *\(hidraw \)\{0,1\}\(set .*\|get .*\)$/\2/p' "$expect/$name.trace" | grep -Ev ' = -(16|19)$' |
    identity_masked >"$expect/$name.hid" || true
  panel_files "$expect/dir-$key" >"$expect/$name.files"
  awk '$1 == "vusb:" && $2 == "wait" { ms += $3 } END { print ms + 0 }' "$expect/$name.trace" \
    >"$expect/$name.waits"
}
# (Through hidraw, for --status, they are the requests usbhid sends for the ioctls.)
sim_run list pct-current.json fresh --list
sim_run status1 pct-current.json keep --status
sim_run none1 pct-current.json keep
sim_run mouse1 pct-current.json keep --mouse
sim_run mouse2 pct-current.json keep --mouse
sim_run status2 pct-current.json keep --status
sim_run digit pct-current.json keep --digitizer
sim_run hybridm pct-current.json keep --hybrid-m
sim_run hybrid pct-current.json keep --hybrid-d
sim_run setpos3 pct-current.json keep setpos 3
sim_run getpos3 pct-current.json keep getpos
sim_run digit2 pct-current.json keep --digitizer
sim_run legnone pct-legacy.json fresh
sim_run legmouse pct-legacy.json keep --mouse
sim_run leggetpos pct-legacy.json keep getpos
sim_run unslist unsupported.json fresh --list
sim_run unsnone unsupported.json keep
sim_run unsstatus unsupported.json keep --status
sim_run resstatus resistive.json fresh --status
sim_run res resistive.json keep
sim_run resrot resistive.json keep --rotation
sim_run killedref pct-current.json:kill fresh --mouse
sim_run stuck pct-current.json:again unbound getpos
sim_run recover pct-current.json:again keep --recover
sim_run lockfirst pct-current.json:again keep --status
sim_run locksecond pct-current.json:again keep getpos
# The two runs at once: the second one's requests follow the first one's; the files are the
# second one's.
grep -c . "$expect/lockfirst.hid" >"$expect/lockfirst.count"
cat "$expect/locksecond.hid" >>"$expect/lockfirst.hid"
cp "$expect/locksecond.files" "$expect/lockfirst.files"
sim_run unplug pct-unplug.json fresh --mouse
# Hotplug: the handler on the plug-in, then on the controller's return after its reset; as one
# phase in the VM.
sim_run hot1 pct-current.json:hot mouse --hotplug hidraw0
sim_run hot2 pct-current.json:hot keep --hotplug hidraw0
cat "$expect/hot1.hid" "$expect/hot2.hid" >"$expect/hotplug.hid"
cp "$expect/hot2.files" "$expect/hotplug.files"
echo 0 >"$expect/hotplug.rc"
cat "$expect/hot1.waits" >"$expect/hotplug.waits"
# A controller that refuses the switch (its identity block never reads back right): the
# handlers of its plug-in and of its two returns after a failed run's reset.
sim_run refuse1 pct-refuse.json mouse --hotplug hidraw0
sim_run refuse2 pct-refuse.json keep --hotplug hidraw0
sim_run refuse3 pct-refuse.json keep --hotplug hidraw0
cat "$expect/refuse1.hid" "$expect/refuse2.hid" "$expect/refuse3.hid" >"$expect/refuse.hid"
cat "$expect/refuse1.waits" >"$expect/refuse.waits"
# Two controllers plugged in together (one on each bus), each handler on its device alone:
# the first handler of each, then the second of each after the controllers' return; the files
# after all four.
sim_run pair0a pct-pair.json mouse --hotplug hidraw0
sim_run pair1a pct-pair.json keep --hotplug hidraw1
sim_run pair0b pct-pair.json keep --hotplug hidraw0
sim_run pair1b pct-pair.json keep --hotplug hidraw1
cat "$expect/pair0a.hid" "$expect/pair0b.hid" >"$expect/pair0.hid"
cat "$expect/pair1a.hid" "$expect/pair1b.hid" >"$expect/pair1.hid"
cat "$expect/pair0a.waits" >"$expect/pair.waits"

# ---- The VM --------------------------------------------------------------------------------
console="$work/console.log"
qemu_rc=0
if [ -z "$recheck" ]; then
  echo "vmbed: booting $(basename "$vmlinuz") under qemu (TCG)"
  set +e
  timeout 200 qemu-system-x86_64 -accel tcg -m 512 -smp 1 -nographic -no-reboot \
    -kernel "$vmlinuz" -initrd "$initrd" \
    -append "console=ttyS0 loglevel=1 panic=-1 rdinit=/init" >"$console" 2>&1 </dev/null
  qemu_rc=$?
  set -e
fi
tr -d '\r' <"$console" >"$console.txt"
if ! grep -q '^VMBED-END' "$console.txt"; then
  if [ "$qemu_rc" -eq 124 ]; then
    fail "the VM did not finish in 200 s (console: $console)"
  elif ! grep -q '^VMBED-BEGIN' "$console.txt"; then
    skip "the VM did not start (qemu status $qemu_rc, console: $console)"
  else
    fail "the VM stopped early (qemu status $qemu_rc, console: $console)"
  fi
fi

# ---- The checks ----------------------------------------------------------------------------
# Lines the VM tagged: "VMBED-<TAG> <phase> <text>".
tagged() { sed -n -e "s/^VMBED-$1 $2 //p" -e "/^VMBED-$1 $2\$/s/.*//p" "$console.txt"; }
# The feature reports in the device program's lines, as the virtual bus's trace has them.
feature_reports() { sed -n 's/^hid \(set\|get\) /\1 /p' | identity_masked; }
# The controller's device number on the bus when the phase began, as panelcfg prints it.
num() { printf '%03d' "$(tagged NUM "$1")"; }
same() { # what, expected file, actual text
  if ! diff -u "$2" <(printf '%s\n' "$3" | sed '/^$/d') >"$work/diff.txt"; then
    fail "$1 differs (- expected, + got):"
    sed 's/^/    /' "$work/diff.txt"
  fi
}
check_run() { # phase expected-rc expected-stdout-lines...
  local phase="$1" rc="$2"
  shift 2
  local got_rc
  got_rc="$(tagged RC "$phase")"
  [ "$got_rc" = "$rc" ] || fail "$phase: panelcfg exit status ${got_rc:-none}, expected $rc"
  same "$phase: panelcfg's standard output" <(if [ $# -gt 0 ]; then printf '%s\n' "$@"; fi) \
    "$(tagged OUT "$phase")"
  [ "$(cat "$expect/$phase.rc")" = "$rc" ] || fail "$phase: panelcfg-sim exit status differs"
  # The virtual bus's panelcfg agrees: the same feature reports reached the controller, in the
  # same order, with the same bytes, and the same files were written.
  same "$phase: feature reports the controller served (against panelcfg-sim)" \
    "$expect/$phase.hid" "$(tagged DEV "$phase" | feature_reports)"
  same "$phase: files in the panel directory (against panelcfg-sim)" \
    "$expect/$phase.files" "$(tagged FILE "$phase")"
}
# The standard output is the virtual bus's too (not for --list: the real bus has a root hub).
# Device numbers count up on the real bus with each enumeration; they are left out.
same_out_as_sim() { # phase
  same "$1: standard output against panelcfg-sim" <(sed 's/ device [0-9]*: / device N: /' "$expect/$1.out") \
    "$(tagged OUT "$1" | sed 's/ device [0-9]*: / device N: /')"
}
# Checks that the lines matching each pattern appear in this order in the phase's uevents.
in_order() { # tag phase patterns...
  local tag="$1" phase="$2" line=0 n
  shift 2
  local events
  events="$(tagged "$tag" "$phase")"
  for p in "$@"; do
    n="$(printf '%s\n' "$events" | awk -v from="$line" -v p="$p" 'NR > from && $0 ~ p { print NR; exit }')"
    if [ -z "$n" ]; then
      fail "$phase: $tag /$p/ missing or out of order; the lines were:"
      printf '%s\n' "$events" | sed 's/^/    /'
      return
    fi
    line="$n"
  done
}

# The controller as the kernel has it: "1-1 vid:pid driver hidrawN".
controller_is() { # phase expected
  [ "$(tagged SYS "$1")" = "$2" ] || fail "$1: the controller is \"$(tagged SYS "$1")\", expected \"$2\""
}
# vid:pid as a uevent's PRODUCT has it (hexadecimal without leading zeros): 22b9:0040 -> 22b9/40.
uevent_id() { printf '%x/%x' "0x${1%:*}" "0x${1#*:}"; }
# A reset seen from both sides: the device program disconnects and connects again with the new
# IDs, the kernel enumerates it (strings, configuration) and usbhid binds (SET_IDLE, report
# descriptor); the uevents show the old device removed and the new one bound to usbhid again.
reenumerated() { # phase old new
  local old new
  old="$(uevent_id "$2")" new="$(uevent_id "$3")"
  # (The reconnection may come before panelcfg has ended, or after.)
  in_order '\(DEV\|AFTER\)' "$1" '^reset: disconnect$' "^connect $3\$" '^std 00 09 0001 0000 0 = 0$' '^hid ctrl 21 0a 0000 0000 /0 = -32$' \
    '^std 81 06 2200 0000 71 = 71$'
  in_order UEVENT "$1" "^remove usb usb_device $old/100" "^add usb usb_device $new/100" \
    "^bind usb usb_interface $new/100 usbhid\$"
}
# The take-over through usbfs: usbhid detached (its unbind first, then usbfs's at the end), the
# configuration and interface set, then the feature reports; no SET_REPORT went out earlier.
taken_over() { # phase vid:pid
  local id
  id="$(uevent_id "$2")"
  in_order UEVENT "$1" "^unbind usb usb_interface $id/100 \$"
  in_order DEV "$1" '^std 00 09 0001 0000 0 = 0$' '^std 01 0b 0000 0000 0 = 0$' '^hid '
}

pct='2575:8753 PCT, manufacturer "Tessel Panels", product "TP8753 Multi-Touch"'
controller_is boot "1-1 2575:8753 usbhid hidraw0"

# --list: the controller and its strings, and the dummy_hcd root hub, in usbfs's order; nothing
# reaches the controller but the string reads (language table first).
check_run list 0 "bus 001 device $(num list): $pct" "bus 001 device 001: 1d6b:0002 not supported"
in_order DEV list '^std 80 06 0300 0000 255 = 4$' '^std 80 06 030[12] 0409 255 = (28|38)$' \
  '^std 80 06 0300 0000 255 = 4$' '^std 80 06 030[12] 0409 255 = (28|38)$'
for i in 1 2; do
  tagged DEV list | grep -q "^std 80 06 030$i 0409 " || fail "list: string $i was not read"
done
[ -z "$(tagged DEV list | grep -v '^std 80 06 030[012] ')" ] || fail "list: more than string reads"
controller_is list "1-1 2575:8753 usbhid hidraw0"

# The packaged udev rule asks for the hotplug unit on the controller's hidraw node (as on every
# supported controller's; not on the unsupported device's, below).
udev_wants() { # session
  same "$1: the hidraw node's systemd properties (the packaged rule)" \
    <(printf '%s\n' "SYSTEMD_WANTS=panelcfg-hotplug@hidraw0.service" "TAGS=:systemd:") \
    "$(tagged UDEV "$1")"
}
udev_wants boot

# A first run without a word on a new controller: taken over, the identity block written (its
# write and the read-back), no USB-ID or mode write, the reset; back under the same IDs.
check_run none1 1 "II:Firmware Version:S1.2.04(r368) ChipID:8" "II:check pass" "II:PCT Devices:1"
same_out_as_sim none1
taken_over none1 2575:8753
in_order DEV none1 '^hid set 08 a8 22 ' '^hid set 06 a1 22 /8$' '^hid get 07 ' '^hid set 08 84 09 /64$'
[ -z "$(tagged DEV none1 | grep -E '^hid set (f3|08 84 c9) ')" ] || fail "none1: a USB-ID or mode write went out"
reenumerated none1 2575:8753 2575:8753
controller_is none1 "1-1 2575:8753 usbhid hidraw0"

# --mouse: taken over from usbhid, USB-ID write and reset (the identity block is valid now: not
# written again); back as 2575:9969 with usbhid bound.
check_run mouse1 1 "II:Firmware Version:S1.2.04(r368) ChipID:8" "II:check pass" \
  "II:Set to mouse" "II:PCT Devices:1"
same_out_as_sim mouse1
taken_over mouse1 2575:8753
in_order DEV mouse1 '^hid set f3 08 00 02 00 00 75 25 69 99 /64$' '^hid set 08 84 c9 00 21 /64$' \
  '^hid set 08 84 09 /64$'
[ -z "$(tagged DEV mouse1 | grep -E '^hid set 08 a8 ')" ] || fail "mouse1: the identity block was written again"
reenumerated mouse1 2575:8753 2575:9969
controller_is mouse1 "1-1 2575:9969 usbhid hidraw0"

# --mouse again: handled, nothing to switch (no USB-ID write, no mode write), reset all the same.
check_run mouse2 1 "II:Firmware Version:S1.2.04(r368) ChipID:8" "II:check pass" "II:PCT Devices:1"
same_out_as_sim mouse2
taken_over mouse2 2575:9969
[ -z "$(tagged DEV mouse2 | grep -E '^hid set (f3|08 84 c9|08 a8) ')" ] ||
  fail "mouse2: the controller was written to although it is in mouse mode"
reenumerated mouse2 2575:9969 2575:9969
controller_is mouse2 "1-1 2575:9969 usbhid hidraw0"

# --status reads through usbhid's hidraw node: usbhid stays bound throughout (no unbind, no
# claim, no SET_CONFIGURATION or SET_INTERFACE), the feature reports still reach the controller
# (as usbhid's SET_REPORT and GET_REPORT), and the controller does not enumerate again.
read_only() { # phase controller
  [ -z "$(tagged UEVENT "$1")" ] || {
    fail "$1: the kernel saw uevents during --status:"
    tagged UEVENT "$1" | sed 's/^/    /'
  }
  [ -z "$(tagged DEV "$1" | grep -Ev '^(std 80 06 03|hid )')" ] || {
    fail "$1: requests other than string reads and feature reports during --status:"
    tagged DEV "$1" | grep -Ev '^(std 80 06 03|hid )' | sed 's/^/    /'
  }
  [ -z "$(tagged AFTER "$1")" ] || fail "$1: the controller enumerated again after --status"
  tagged DEV "$1" | grep -q '^hid set ' || fail "$1: no SET_REPORT reached the controller"
  controller_is "$1" "$2"
}
check_run status1 0 "bus 001 device 002: 2575:8753 PCT current generation, firmware S1.2.04(r368) chip 8, mode 1 (digitizer), identity absent or checksum wrong"
same_out_as_sim status1
read_only status1 "1-1 2575:8753 usbhid hidraw0"
# After --mouse: mode 2, under 2575:9969 (its device number counts up with each reset), the
# identity block valid (its serial number is random).
status2="$(tagged OUT status2)"
[[ "$status2" =~ ^"bus 001 device $(num status2): 2575:9969 PCT current generation, firmware S1.2.04(r368) chip 8, mode 2 (mouse), identity valid (home 2575:8753, firmware revision 368, serial "[0-9A-F]{16}")"$ ]] ||
  fail "status2: panelcfg --status printed \"$status2\""
[ "$(tagged RC status2)" = 0 ] || fail "status2: panelcfg exit status $(tagged RC status2), expected 0"
same "status2: feature reports the controller served (against panelcfg-sim)" \
  "$expect/status2.hid" "$(tagged DEV status2 | feature_reports)"
read_only status2 "1-1 2575:9969 usbhid hidraw0"

# Each mode word there and back on the current controller: the USB-ID write (the home IDs for
# the digitizer, 2575:9968 for either hybrid), the mode write, the reset, usbhid bound again
# under the new IDs; setpos writes the position mode alone and getpos reads it back. From
# hybrid-m, hybrid-d keeps the IDs and needs no mode write (the controller reports the same
# mode for both).
modeword() { # phase rc from to usb-id-write mode-write output-lines...
  local phase="$1" rc="$2" from="$3" to="$4" ids="$5" mode="$6"
  shift 6
  check_run "$phase" "$rc" "$@"
  same_out_as_sim "$phase"
  taken_over "$phase" "$from"
  if [ -n "$ids" ]; then
    in_order DEV "$phase" "^hid set f3 08 00 02 00 00 $ids /64\$" "^hid set 08 84 c9 00 $mode /64\$" \
      '^hid set 08 84 09 /64$'
  elif [ -n "$mode" ]; then
    in_order DEV "$phase" "^hid set 08 84 c9 00 $mode /64\$" '^hid set 08 84 09 /64$'
    [ -z "$(tagged DEV "$phase" | grep -E '^hid set f3 ')" ] || fail "$phase: a USB-ID write went out"
  else
    [ -z "$(tagged DEV "$phase" | grep -E '^hid set (f3|08 84 c9|08 a8) ')" ] ||
      fail "$phase: the controller was written to"
  fi
  reenumerated "$phase" "$from" "$to"
  controller_is "$phase" "1-1 $to usbhid hidraw0"
}
fw='II:Firmware Version:S1.2.04(r368) ChipID:8'
modeword digit 1 2575:9969 2575:8753 '75 25 53 87' 20 "$fw" "II:check pass" "II:Set to digitizer" \
  "II:PCT Devices:1"
modeword hybridm 1 2575:8753 2575:9968 '75 25 68 99' 22 "$fw" "II:check pass" "II:Set to hybrid" \
  "II:PCT Devices:1"
modeword hybrid 1 2575:9968 2575:9968 '' '' "$fw" "II:check pass" "II:Set to hybrid" "II:PCT Devices:1"
modeword setpos3 1 2575:9968 2575:9968 '' 22 "$fw" "II:PCT Devices:1"
modeword getpos3 1 2575:9968 2575:9968 '' '' "$fw" "pos mode=3" "II:PCT Devices:1"
modeword digit2 1 2575:9968 2575:8753 '75 25 53 87' 20 "$fw" "II:check pass" "II:Set to digitizer" \
  "II:PCT Devices:1"

# The legacy controller (command mode: each configuration command between 08 91 ... 90 and
# 08 91 ... 01, checked with 06 73): the identity block written by the run without a word, the
# mode write of --mouse, getpos; each ends with the controller's reset (08 85) and it comes back
# as 22b9:0040 with usbhid bound.
controller_is legboot "1-1 22b9:0040 usbhid hidraw0"
udev_wants legboot
legfw='II:Firmware Version:S3.0.12(r325) ChipID:10'
check_run legnone 1 "$legfw" "II:check pass" "II:PCT Devices:1"
same_out_as_sim legnone
taken_over legnone 22b9:0040
in_order DEV legnone '^hid set 08 91 02 00 82 90 /6$' '^hid set 06 a1 22 /64$' '^hid set 08 a8 22 ' \
  '^hid set 08 91 02 00 82 01 /6$' '^hid set 08 85 01 00 02 /64$'
reenumerated legnone 22b9:0040 22b9:0040
controller_is legnone "1-1 22b9:0040 usbhid hidraw0"
check_run legmouse 1 "$legfw" "II:check pass" "II:PCT Devices:1"
same_out_as_sim legmouse
taken_over legmouse 22b9:0040
in_order DEV legmouse '^hid set 08 91 02 00 82 90 /6$' '^hid set 08 91 05 00 c9 21 /64$' \
  '^hid set 08 91 02 00 82 01 /6$' '^hid set 08 85 01 00 02 /64$'
[ -z "$(tagged DEV legmouse | grep -E '^hid set 08 a8 ')" ] || fail "legmouse: the identity block was written again"
reenumerated legmouse 22b9:0040 22b9:0040
controller_is legmouse "1-1 22b9:0040 usbhid hidraw0"
check_run leggetpos 1 "$legfw" "pos mode=2" "II:PCT Devices:1"
same_out_as_sim leggetpos
taken_over leggetpos 22b9:0040
[ -z "$(tagged DEV leggetpos | grep -E '^hid set (08 91 05|08 a8) ')" ] || fail "leggetpos: the controller was written to"
reenumerated leggetpos 22b9:0040 22b9:0040
controller_is leggetpos "1-1 22b9:0040 usbhid hidraw0"

# A device no table names: --list says so without reading its strings, and no run opens it
# (nothing at all reaches it, usbhid stays bound, no uevent).
unsupported() { # phase rc output-lines...
  local phase="$1"
  check_run "$@"
  [ -z "$(tagged DEV "$phase")$(tagged AFTER "$phase")" ] || {
    fail "$phase: requests reached the unsupported device:"
    tagged DEV "$phase" | sed 's/^/    /'
  }
  [ -z "$(tagged UEVENT "$phase")" ] || fail "$phase: the kernel saw uevents"
  controller_is "$phase" "1-1 0f0f:0404 usbhid hidraw0"
}
[ -z "$(tagged UDEV unsboot)" ] || fail "unsboot: the packaged rule asked for the hotplug unit: $(tagged UDEV unsboot)"
unsupported unslist 0 "bus 001 device $(num unslist): 0f0f:0404 not supported" "bus 001 device 001: 1d6b:0002 not supported"
unsupported unsnone 0 "II:PCT Devices:0"
unsupported unsstatus 0
[ "$(tagged ERR unsstatus)" = "panelcfg: no supported controller found" ] ||
  fail "unsstatus: panelcfg's standard error is \"$(tagged ERR unsstatus)\""
[ "$(grep -v '^vusb: ' "$expect/unsstatus.trace")" = "panelcfg: no supported controller found" ] ||
  fail "unsstatus: panelcfg-sim's standard error differs"

udev_wants resboot
check_run resstatus 0 "bus 001 device $(num resstatus): 1234:8888 resistive, firmware V2.9 (supported), rotation 1"
same_out_as_sim resstatus
read_only resstatus "1-1 1234:8888 usbhid hidraw0"

# The resistive controller: firmware read, rotation 1 read, reset to 0 (SP), stored (PL), the
# controller restarted (RR).
check_run res 0 "II:Firmware Version:V2.9" "Res Rotation:1" "II:PCT Devices:0"
same_out_as_sim res
taken_over res 1234:8888
in_order DEV res '^hid set 01 06 01 47 50 34 33 0d /8$' '^hid set 01 0a 01 53 50 34 33 30 30 30 30 0d /12$' \
  '^hid set 01 04 01 50 4c 0d /6$' '^hid set 01 04 01 52 52 0d /6$'
reenumerated res 1234:8888 1234:8888
# --rotation: the rotation set to 1 (SP 43 0001), stored (PL), read back (GP 43), the controller
# restarted (RR); its stored rotation is 1 again at the end.
check_run resrot 0 "Res Rotation:1" "II:PCT Devices:0"
same_out_as_sim resrot
taken_over resrot 1234:8888
in_order DEV resrot '^hid set 01 0a 01 53 50 34 33 30 30 30 31 0d /12$' '^hid set 01 04 01 50 4c 0d /6$' \
  '^hid get 01 06 01 30 30 30 31 0d /10$' '^hid set 01 04 01 52 52 0d /6$'
reenumerated resrot 1234:8888 1234:8888
controller_is resrot "1-1 1234:8888 usbhid hidraw0"
tagged DEV final | grep -q '"rotation": 1' || fail "resrot: the controller's stored rotation is not 1"

# A run killed (SIGKILL) while it holds the controller: what it sent is the start of a --mouse on
# a new controller (no write yet), usbhid was unbound and is not bound again, no hidraw node.
[ "$(tagged RC killed)" = 137 ] || fail "killed: exit status $(tagged RC killed), expected 137"
same "killed: panelcfg's standard output" <(echo "$fw") "$(tagged OUT killed)"
killed_hid="$(tagged DEV killed | feature_reports)"
[ -n "$killed_hid" ] || fail "killed: no feature report reached the controller before the kill"
same "killed: feature reports (the start of panelcfg-sim's --mouse)" \
  <(head -n "$(printf '%s\n' "$killed_hid" | wc -l)" "$expect/killedref.hid") "$killed_hid"
[ -z "$(printf '%s\n' "$killed_hid" | grep -E '^set (f3|08 84|08 a8) ')" ] || fail "killed: a write went out"
in_order UEVENT killed '^unbind usb usb_interface 2575/8753/100 $'
[ -z "$(tagged UEVENT killed | grep '^bind ')" ] || fail "killed: a driver was bound again"
same "killed: files" <(printf '%s\n' "Util.conf [SETUP]" "Util.conf POSMODE=2") "$(tagged FILE killed)"
controller_is killed "1-1 2575:8753  "
# A run that meets it leaves it alone (string reads only) and says why on standard error.
stuck_err="panelcfg: no kernel driver is bound to this controller (a run was stopped while it held it?); panelcfg --recover resets it"
check_run stuck 0 "II:PCT Devices:0"
same "stuck: panelcfg's standard error" <(printf '%s\n' "Unable to get device driver name: No data available" "$stuck_err") \
  "$(tagged ERR stuck)"
same "stuck: standard error against panelcfg-sim" <(grep -v '^vusb: ' "$expect/stuck.trace") "$(tagged ERR stuck)"
[ -z "$(tagged DEV stuck | grep -v '^std 80 06 03')$(tagged UEVENT stuck)" ] || fail "stuck: more than string reads"
controller_is stuck "1-1 2575:8753  "
# --recover resets it (08 84 09): it comes back with usbhid bound.
check_run recover 1 "II:reset bus 001 device $(num recover): 2575:8753 PCT, which had no kernel driver" "II:Controllers reset:1"
same_out_as_sim recover
reenumerated recover 2575:8753 2575:8753
controller_is recover "1-1 2575:8753 usbhid hidraw0"
# As nobody: the notice on standard error, status 0; usbfs opens nothing for it, so not even a
# string read reaches the controller (the virtual bus has no permissions: not against the
# simulator).
[ "$(tagged RC nonroot)" = 0 ] || fail "nonroot: exit status $(tagged RC nonroot), expected 0"
same "nonroot: panelcfg's standard output" <(echo "II:PCT Devices:0") "$(tagged OUT nonroot)"
same "nonroot: panelcfg's standard error" <(echo "panelcfg: not running as root: panelcfg must run as root to take USB interfaces from their kernel driver and to write /opt/.touch_panel/") \
  "$(tagged ERR nonroot)"
[ -z "$(tagged DEV nonroot)$(tagged AFTER nonroot)$(tagged UEVENT nonroot)" ] || fail "nonroot: the controller was reached"
same "nonroot: files" <(printf '%s\n' "Util.conf [SETUP]" "Util.conf POSMODE=2") "$(tagged FILE nonroot)"
controller_is nonroot "1-1 2575:8753 usbhid hidraw0"
# Two runs at once: getpos, started while --status was reading, waits for the run lock and then
# runs; every request of the first comes before the second's.
check_run lockfirst 0 "bus 001 device $(num lockfirst): 2575:8753 PCT current generation, firmware S1.2.04(r368) chip 8, mode 1 (digitizer), identity absent or checksum wrong"
same_out_as_sim lockfirst
read -r mark from _ <<<"$(sed -n 's/^VMBED-MARK lockfirst //p' "$console.txt") x"
before="$(tagged DEV lockfirst | head -n "$((mark - from))" | grep -c '^hid ' || true)"
[ "$before" -lt "$(cat "$expect/lockfirst.count")" ] ||
  fail "lockfirst: the second run started only after the first had finished ($before requests)"
lockpid="$(tagged PID lockfirst)"
same "locksecond: panelcfg's standard output" \
  <(echo "II:waiting for the other panelcfg run (pid $lockpid) to finish"; cat "$expect/locksecond.out") \
  "$(tagged OUT locksecond)"
[ "$(tagged RC locksecond)" = 1 ] && [ "$(cat "$expect/locksecond.rc")" = 1 ] ||
  fail "locksecond: exit status $(tagged RC locksecond), expected 1"
reenumerated lockfirst 2575:8753 2575:8753
controller_is locksecond "1-1 2575:8753 usbhid hidraw0"

# A controller that leaves the bus for good in the middle of --mouse, at the read-back after its
# identity write: that request gets no answer, nothing reaches it afterwards (the retries and the
# reset fail with ENODEV in usbfs, as on the virtual bus), it is removed and never added again.
check_run unplug 1 "$fw" "EE:check fail,not support this touch screen." "II:PCT Devices:1"
same_out_as_sim unplug
taken_over unplug 2575:8753
in_order DEV unplug '^hid set 08 a8 22 ' '^unplug: set 06 a1 22 /8'
tagged DEV unplug | tail -1 | grep -q '^unplug: ' || fail "unplug: requests reached the controller after it left"
[ "$(grep -c ' = -19$' "$expect/unplug.trace")" -gt 0 ] || fail "unplug: panelcfg-sim saw no ENODEV"
in_order UEVENT unplug '^remove usb usb_device 2575/8753/100'
[ -z "$(tagged UEVENT unplug | grep '^add ')" ] || fail "unplug: the controller came back"
controller_is unplug none

# Hotplug: udev's add event of the new controller's hidraw node starts the packaged unit
# (through vmbed-systemd), which reads the controller and runs --mouse on it alone; the
# controller's return under 2575:9969 starts it again, and it finds the site's mode. Each
# handler's requests, output and exit status are the simulator's; no plug-in record is left.
hotplug_unit="panelcfg-hotplug@hidraw0.service"
same "hotplug: the units' output (the journal)" <(
  echo "start $hotplug_unit /usr/sbin/panelcfg --hotplug hidraw0"
  printf '%s\n' "<7>II:Firmware Version:S1.2.04(r368) ChipID:8" "<7>II:check pass" "<7>II:Set to mouse" \
    "<7>II:PCT Devices:1" \
    "<6>panelcfg: hotplug 1-1 2575:8753: mode 1 (digitizer), site mode 2 (mouse): switched" |
    sed "s/^/$hotplug_unit out /"
  echo "exit $hotplug_unit 0"
  echo "start $hotplug_unit /usr/sbin/panelcfg --hotplug hidraw0"
  echo "$hotplug_unit out <6>panelcfg: hotplug 1-1 2575:9969: already in mode 2 (mouse), nothing to do"
  echo "exit $hotplug_unit 0"
) "$(tagged JOURNAL hotplug)"
same "hotplug: the handlers' output against panelcfg-sim" <(cat "$expect/hot1.out" "$expect/hot2.out") \
  "$(tagged JOURNAL hotplug | sed -n "s/^$hotplug_unit out //p")"
[ "$(cat "$expect/hot1.rc") $(cat "$expect/hot2.rc")" = "0 0" ] || fail "hotplug: panelcfg-sim's handler failed"
same "hotplug: feature reports the controller served (against panelcfg-sim)" \
  "$expect/hotplug.hid" "$(tagged DEV hotplug | feature_reports)"
same "hotplug: files in the panel directory (against panelcfg-sim)" \
  "$expect/hotplug.files" "$(tagged FILE hotplug)"
in_order DEV hotplug '^hid get ' '^std 00 09 0001 0000 0 = 0$' '^hid set f3 08 00 02 00 00 75 25 69 99 /64$' \
  '^hid set 08 84 c9 00 21 /64$' '^hid set 08 84 09 /64$' '^connect 2575:9969$' '^hid get '
in_order UEVENT hotplug '^add usb usb_device 2575/8753/100' '^add hidraw' \
  '^bind usb usb_interface 2575/8753/100 usbhid$' '^unbind usb usb_interface 2575/8753/100 $' \
  '^remove usb usb_device 2575/8753/100' '^add usb usb_device 2575/9969/100' '^add hidraw' \
  '^bind usb usb_interface 2575/9969/100 usbhid$'
[ -z "$(tagged RECORD hotplug)" ] || fail "hotplug: plug-in records left in /run/panelcfg: $(tagged RECORD hotplug)"
controller_is hotplug "1-1 2575:9969 usbhid hidraw0"

# Hotplug that cannot record its try: one EE: line at error priority, a failed unit, and the
# controller only read: no write, no reset, still under its new IDs with usbhid bound.
same "hotro: the unit's output (the journal)" <(
  echo "start $hotplug_unit /usr/sbin/panelcfg --hotplug hidraw0"
  echo "$hotplug_unit out <3>EE:hotplug 1-1 2575:8753: mode 1 (digitizer), site mode 2 (mouse): cannot keep the record /run/panelcfg/hotplug-1-1: Read-only file system; nothing done"
  echo "exit $hotplug_unit 1"
) "$(tagged JOURNAL hotro)"
[ -z "$(tagged DEV hotro | grep -E '^hid set (f3 |08 a8 22 |08 84 c9 )')" ] || fail "hotro: the controller was written to"
[ -z "$(tagged DEV hotro | grep '^reset')" ] || fail "hotro: the controller was reset"
controller_is hotro "1-1 2575:8753 usbhid hidraw0"

# The runs recorded in the VM (panelcfg --record on usbfs, usbhid and hidraw) replay on this
# host's panelcfg-sim with the standard output and exit status they had in the VM.
recordings="$work/recordings"
rm -rf "$recordings"
mkdir -p "$recordings"
for phase in status1 none1 mouse1 digit legnone resrot; do
  tagged RECORDING "$phase" >"$recordings/$phase.json"
  tagged OUT "$phase" >"$recordings/$phase.out"
  tagged RC "$phase" >"$recordings/$phase.rc"
  if ! grep -q '"complete": true' "$recordings/$phase.json"; then
    fail "$phase: no complete recording"
    continue
  fi
  rc=0
  "$sim" --dir "$recordings/dir-$phase" --replay "$recordings/$phase.json" \
    >"$recordings/$phase.replay" 2>&1 || rc=$?
  if ! diff -u "$recordings/$phase.out" "$recordings/$phase.replay" >"$work/diff.txt"; then
    fail "$phase: the recording's replay on panelcfg-sim differs (- in the VM, + replayed):"
    sed 's/^/    /' "$work/diff.txt"
  fi
  [ "$rc" = "$(cat "$recordings/$phase.rc")" ] ||
    fail "$phase: the recording's replay exits with $rc, the run in the VM with $(cat "$recordings/$phase.rc")"
done

# Ten add events of the configured controller's hidraw node in one second: no pile-up (a start
# while the unit runs is merged into it, as systemd does), no hang (every unit started exits),
# and each handler is the simulator's second one of the hotplug phase: it only reads the
# controller and finds it as the site wants it. Nothing is written, nothing reset; the only
# uevents are the ten.
[ "$(tagged SPAN storm)" -lt 1000 ] || fail "storm: the ten add events took $(tagged SPAN storm) ms, not one second"
storm_journal="$(tagged JOURNAL storm)"
storm_starts="$(printf '%s\n' "$storm_journal" | grep -c '^start ' || true)"
storm_merged="$(printf '%s\n' "$storm_journal" | grep -c '^merged ' || true)"
[ "$((storm_starts + storm_merged))" = 10 ] && [ "$storm_starts" -ge 1 ] ||
  fail "storm: $storm_starts units started and $storm_merged starts merged, expected 10 in all"
same "storm: the units' output without the merged starts (the journal)" <(
  for _ in $(seq "$storm_starts"); do
    echo "start $hotplug_unit /usr/sbin/panelcfg --hotplug hidraw0"
    echo "$hotplug_unit out <6>panelcfg: hotplug 1-1 2575:9969: already in mode 2 (mouse), nothing to do"
    echo "exit $hotplug_unit 0"
  done
) "$(printf '%s\n' "$storm_journal" | grep -v '^merged ')"
same "storm: the handler's output against panelcfg-sim" "$expect/hot2.out" \
  "$(printf '%s\n' "$storm_journal" | sed -n "s/^$hotplug_unit out //p" | sort -u)"
# A start is merged only while the unit runs (between its start and its exit).
[ -z "$(printf '%s\n' "$storm_journal" | awk '/^start /{r=1} /^exit /{r=0} /^merged / && !r')" ] ||
  fail "storm: a start was merged while no unit ran"
same "storm: feature reports the controller served (the simulator's second handler, once per unit)" \
  <(for _ in $(seq "$storm_starts"); do cat "$expect/hot2.hid"; done) "$(tagged DEV storm | feature_reports)"
[ -z "$(tagged '\(DEV\|AFTER\)' storm | grep -Ev '^(hid|std 80 06 03)')" ] || {
  fail "storm: more than reads reached the controller:"
  tagged '\(DEV\|AFTER\)' storm | grep -Ev '^(hid|std 80 06 03)' | sed 's/^/    /'
}
same "storm: uevents (the ten add events)" <(for _ in $(seq 10); do echo "add hidraw   "; done) \
  "$(tagged UEVENT storm)"
controller_is storm "1-1 2575:9969 usbhid hidraw0"

# The controller that refuses the switch: two runs, each a failure (exit status 1, its check
# failed, the controller reset), then one EE: line on its third appearance and nothing more: not
# reset again, no further unit. The plug-in's record stays, with its two tries.
same "refuse: the units' output (the journal)" <(
  failed() { # try
    echo "start $hotplug_unit /usr/sbin/panelcfg --hotplug hidraw0"
    printf '%s\n' "<7>II:Firmware Version:S1.2.04(r368) ChipID:8" "<7>EE:check fail,not support this touch screen." \
      "<7>II:PCT Devices:1" \
      "<3>panelcfg: hotplug 1-1 2575:8753: mode 1 (digitizer), site mode 2 (mouse): the run failed (try $1 of 2)" |
      sed "s/^/$hotplug_unit out /"
    echo "exit $hotplug_unit 1"
  }
  failed 1
  failed 2
  echo "start $hotplug_unit /usr/sbin/panelcfg --hotplug hidraw0"
  echo "$hotplug_unit out <3>EE:hotplug 1-1 2575:8753: mode 1 (digitizer), site mode 2 (mouse), still after 2 runs: left alone until it is plugged in again"
  echo "exit $hotplug_unit 1"
) "$(tagged JOURNAL refuse)"
same "refuse: the handlers' output against panelcfg-sim" \
  <(cat "$expect/refuse1.out" "$expect/refuse2.out" "$expect/refuse3.out") \
  "$(tagged JOURNAL refuse | sed -n "s/^$hotplug_unit out //p")"
[ "$(cat "$expect/refuse1.rc" "$expect/refuse2.rc" "$expect/refuse3.rc" | tr '\n' ' ')" = "1 1 1 " ] ||
  fail "refuse: panelcfg-sim's handlers did not fail"
same "refuse: feature reports the controller served (against panelcfg-sim)" \
  "$expect/refuse.hid" "$(tagged '\(DEV\|AFTER\)' refuse | feature_reports)"
[ "$(tagged '\(DEV\|AFTER\)' refuse | grep -c '^reset: disconnect$')" = 2 ] ||
  fail "refuse: the controller was not reset exactly twice"
[ -z "$(tagged '\(DEV\|AFTER\)' refuse | grep -E '^hid set (f3|08 84 c9) ')" ] ||
  fail "refuse: a USB-ID or mode write went out"
in_order UEVENT refuse '^add hidraw' '^remove usb usb_device 2575/8753/100' '^add hidraw' \
  '^remove usb usb_device 2575/8753/100' '^add usb usb_device 2575/8753/100' '^add hidraw' \
  '^bind usb usb_interface 2575/8753/100 usbhid$'
[ "$(tagged UEVENT refuse | grep -c '^remove usb usb_device ')" = 2 ] || fail "refuse: not two re-enumerations"
[ "$(tagged RECORD refuse | head -1)" = "hotplug-1-1 tries=2" ] ||
  fail "refuse: the plug-in's record is \"$(tagged RECORD refuse | tr '\n' ' ')\", expected hotplug-1-1 with tries=2"
controller_is refuse "1-1 2575:8753 usbhid hidraw0"

# The units' output by device: "DEVICE LINE" for each line of a unit that ended, and "DEVICE
# exit STATUS" after them, the device being the one the handler's own line names; in the
# journal's order for each device.
by_device() { # phase
  tagged JOURNAL "$1" | awk '
    $1 == "start" { out[$2] = ""; next }
    $2 == "out" { line = substr($0, length($1) + 6); out[$1] = out[$1] line "\n"; next }
    $1 == "exit" {
      n = split(out[$2], lines, "\n"); dev = "?"
      for (i = 1; i < n; i++) if (match(lines[i], /hotplug [0-9]+-[0-9]+ /)) dev = substr(lines[i], RSTART + 8, RLENGTH - 9)
      for (i = 1; i < n; i++) print dev " " lines[i]
      print dev " exit " $3
    }'
}
# What panelcfg-sim's handlers printed on DEVICE, in the same form.
sim_by_device() { # device runs...
  local device="$1" r
  shift
  for r in "$@"; do
    sed "s/^/$device /" "$expect/$r.out"
    echo "$device exit $(cat "$expect/$r.rc")"
  done
}
# A controller's lines in a phase served through FunctionFS: udc0 or udc1.
udc_lines() { tagged '\(DEV\|AFTER\)' "$1" | sed -n "s/^udc$2 //p"; }

# Two controllers plugged in together (one on each bus, FunctionFS): both handlers ran at the
# same time (both units started before either ended, and each controller was served a feature
# report before the other's reset), each switched its controller, and each controller's return
# found it as the site wants it. The list files name both products.
pair_journal="$(tagged JOURNAL pair)"
[ "$(printf '%s\n' "$pair_journal" | grep -c '^start ')" = 4 ] ||
  fail "pair: $(printf '%s\n' "$pair_journal" | grep -c '^start ') units started, expected 4"
[ -z "$(printf '%s\n' "$pair_journal" | grep -E '^(merged|nounit) ')" ] || fail "pair: a start was merged or had no unit"
[ -z "$(printf '%s\n' "$pair_journal" | grep '^start ' | grep -Ev '^start panelcfg-hotplug@(hidraw[01])\.service /usr/sbin/panelcfg --hotplug \1$')" ] ||
  fail "pair: a unit was started for something else"
printf '%s\n' "$pair_journal" | awk '/^start /{s++} /^exit /{exit !(s >= 2)}' ||
  fail "pair: the second unit started only after the first had ended"
for d in 0 1; do
  same "pair: bus $((d + 1))'s handlers (the journal)" <(sim_by_device "$((d + 1))-1" "pair${d}a" "pair${d}b") \
    "$(by_device pair | grep "^$((d + 1))-1 ")"
  same "pair: feature reports controller udc$d served (against panelcfg-sim)" "$expect/pair$d.hid" \
    "$(udc_lines pair "$d" | feature_reports)"
  [ "$(udc_lines pair "$d" | grep -c '^reset: disconnect$')" = 1 ] || fail "pair: udc$d was not reset exactly once"
done
tagged '\(DEV\|AFTER\)' pair | awk '
  /^udc[01] hid set / { u = substr($1, 4); if (!(u in first)) first[u] = NR }
  /^udc[01] reset: disconnect$/ { u = substr($1, 4); if (!(u in reset)) reset[u] = NR }
  END { exit !((0 in first) && (1 in first) && first[0] < reset[1] && first[1] < reset[0]) }' ||
  fail "pair: one controller's run was over before the other's began (the device program's lines)"
grep -q 'Multi-Touch' "$expect/pair1b.files" && grep -q 'TP8753W' "$expect/pair1b.files" ||
  fail "pair: panelcfg-sim's list files do not name both products"
same "pair: files in the panel directory (against panelcfg-sim, rows in any order)" \
  <(sort "$expect/pair1b.files") "$(tagged FILE pair | sort)"
[ -z "$(tagged RECORD pair)" ] || fail "pair: plug-in records left in /run/panelcfg: $(tagged RECORD pair)"
[[ "$(tagged SYS pair) $(tagged SYS pair2)" =~ ^"1-1 2575:9969 usbhid hidraw"[01]" 2-1 2575:9969 usbhid hidraw"[01]$ ]] ||
  fail "pair: the controllers are \"$(tagged SYS pair)\" and \"$(tagged SYS pair2)\""

[ -z "$(tagged ERR pairboot)$(tagged '\(DEV\|AFTER\)' pair | grep -E '^udc[01] (error|RACE)')" ] || {
  fail "pair: the two controllers could not be served:"
  { tagged ERR pairboot; tagged '\(DEV\|AFTER\)' pair | grep -E '^udc[01] (error|RACE)'; } | sed 's/^/    /'
}

# A reboot's coldplug (udevadm trigger --action=add on every device) on the two configured
# panels: one unit per hidraw node, each handler reads its controller and finds it as the site
# wants it; only reads reach the controllers: no write, no reset, no re-enumeration.
cold_journal="$(tagged JOURNAL coldplug)"
same "coldplug: the units started" \
  <(printf '%s\n' "start panelcfg-hotplug@hidraw0.service /usr/sbin/panelcfg --hotplug hidraw0" \
    "start panelcfg-hotplug@hidraw1.service /usr/sbin/panelcfg --hotplug hidraw1") \
  "$(printf '%s\n' "$cold_journal" | grep -v '^exit ' | grep -v ' out ' | sort)"
for d in 0 1; do
  same "coldplug: bus $((d + 1))'s handler (the journal)" \
    <(printf '%s\n' "$((d + 1))-1 <6>panelcfg: hotplug $((d + 1))-1 2575:9969: already in mode 2 (mouse), nothing to do" \
      "$((d + 1))-1 exit 0") "$(by_device coldplug | grep "^$((d + 1))-1 ")"
  same "coldplug: bus $((d + 1))'s handler against panelcfg-sim" <(sim_by_device "$((d + 1))-1" "pair${d}b") \
    "$(by_device coldplug | grep "^$((d + 1))-1 ")"
  same "coldplug: feature reports controller udc$d served (against panelcfg-sim)" "$expect/pair${d}b.hid" \
    "$(udc_lines coldplug "$d" | feature_reports)"
  [ -z "$(udc_lines coldplug "$d" | grep -v '^hid ')" ] || {
    fail "coldplug: more than feature reads reached controller udc$d:"
    udc_lines coldplug "$d" | grep -v '^hid ' | sed 's/^/    /'
  }
done
[ -z "$(tagged '\(DEV\|AFTER\)' coldplug | grep -E '^udc[01] hid set (f3|08 84|08 a8) ')" ] ||
  fail "coldplug: a controller was written to"
[ -n "$(tagged UEVENT coldplug | grep '^add hidraw')" ] || fail "coldplug: no add event of a hidraw node"
[ -z "$(tagged UEVENT coldplug | grep -Ev '^add ')" ] || fail "coldplug: uevents other than the coldplug's adds"
same "coldplug: files in the panel directory (unchanged)" <(tagged FILE pair) "$(tagged FILE coldplug)"
[[ "$(tagged SYS coldplug) $(tagged SYS coldplug2)" = "$(tagged SYS pair) $(tagged SYS pair2)" ]] ||
  fail "coldplug: the controllers changed: \"$(tagged SYS coldplug)\" and \"$(tagged SYS coldplug2)\""

[ -z "$(tagged ERR pairend)" ] || fail "pair: the device programs did not end cleanly: $(tagged ERR pairend)"

# The gadgetfs race: a request the device program may have lost or mixed up. Nothing above
# counts then, neither a pass nor a failure. The device program reports what it sees. A
# SET_REPORT that gadgetfs dropped from its queue it never sees, though the host saw it
# completed: usbmon's count of SET_REPORTs the host completed must be the device program's;
# and a request the host gave up on at its 5 s timeout is one the device program never got.
# FunctionFS (the pair and coldplug phases) hands a SET_REPORT's data to the device program
# before the host's transfer completes: there a difference is a failure, not the race.
for phase in $(sed -n 's/^VMBED-TIME \([a-z0-9]*\) .*/\1/p' "$console.txt"); do
  took="$(tagged TIME "$phase")"
  pauses="$(cat "$expect/$phase.waits" 2>/dev/null || echo 0)"
  echo "vmbed: $phase: panelcfg took $took ms in the VM, $pauses ms of it protocol pauses"
  host="$(tagged MON "$phase" | sed -n 's/^setreports //p')"
  served="$(tagged '\(DEV\|AFTER\)' "$phase" | grep -Ec '^(udc[01] )?(hid|unplug:) set .* /[0-9]+( = 0)?$' || true)"
  if [ "$host" != "$served" ] && [ -n "$(tagged '\(DEV\|AFTER\)' "$phase" | grep '^udc[01] ')" ]; then
    fail "$phase: the host completed ${host:-?} SET_REPORTs, the device programs served $served"
  elif [ "$host" != "$served" ]; then
    echo "VMBED-DEV $phase RACE the host completed ${host:-?} SET_REPORTs, the device program served $served" >>"$console.txt"
  fi
  tagged MON "$phase" | sed -n "s/^timeout /VMBED-DEV $phase RACE timed out: /p" >>"$console.txt"
done
if grep -q '^VMBED-DEV [a-z0-9]* RACE' "$console.txt"; then
  grep '^VMBED-DEV [a-z0-9]* RACE' "$console.txt" | sed 's/^/    /'
  skip "bed race, inconclusive: gadgetfs let the host overtake a SET_REPORT (console: $console)"
fi
if [ "$failures" -gt 0 ]; then
  echo "vmbed: $failures check(s) failed (console: $console)"
  exit 1
fi
# A passing bed's recordings only: --keep-recordings DIR.
if [ -n "$keep" ]; then
  mkdir -p "$keep"
  for phase in status1 none1 mouse1 digit legnone resrot; do
    cp "$recordings/$phase.json" "$recordings/$phase.out" "$recordings/$phase.rc" "$keep/"
  done
  echo "vmbed: recordings kept in $keep"
fi
echo "vmbed: PASS"
