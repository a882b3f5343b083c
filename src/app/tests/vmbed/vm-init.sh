#!/bin/sh
# The VM's side of the bed (busybox sh, started by /init). Loads the USB stack, starts udevd,
# usbmon's reader and, per session, the device program, runs panelcfg, and prints everything the
# host checks on the serial console as "VMBED-<TAG> <phase> <text>" lines (vm-lib.sh). Ends with poweroff, also when a step fails
# (the host then finds no VMBED-END).
set -eu
# shellcheck disable=SC3040 # busybox's sh has pipefail
set -o pipefail
trap 'echo "VMBED-STOP status $?"; poweroff -f' EXIT
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /run
mount -t tmpfs tmpfs /tmp
mount -t tmpfs tmpfs /opt
echo 1 >/proc/sys/kernel/printk
echo "VMBED-BEGIN"

for m in usb-common usbcore usbmon udc-core dummy_hcd gadgetfs hid usbhid hid-generic; do
  insmod "/modules/$m.ko" || echo "VMBED-ERR boot insmod $m failed"
done
mkdir -p /run/udev /dev/gadget
/lib/systemd/systemd-udevd --daemon --resolve-names=never
mount -t gadgetfs gadgetfs /dev/gadget
: >/tmp/uevents.log
: >/tmp/device.log
: >/tmp/journal.log
# The host's side of every URB on the bus (usbmon's text interface), to tell a request gadgetfs
# lost from one the controller model did not answer.
mount -t debugfs debugfs /sys/kernel/debug
cat /sys/kernel/debug/usb/usbmon/1u >/tmp/usbmon.log &
usbmon_pid=$!
mkdir -p /opt/.touch_panel

# shellcheck source-path=SCRIPTDIR source=vm-lib.sh
. /vmbed/vm-lib.sh
if grep -q vmbed.shell /proc/cmdline; then
  # vmbed.sh --shell: a shell with the bed's steps instead of the scenarios (see README.md).
  echo "VMBED-SHELL the scenarios are in /vmbed; try: session boot pct-current.json 2575:8753 ''"
  set +e
  ENV=/vmbed/vm-lib.sh setsid cttyhack sh -i
  exit 0
fi

# The current-generation PCT controller: listed, read, a first run without a word, each mode
# word there and back (mouse under 2575:9969, digitizer under 2575:8753, both hybrids under
# 2575:9968), the position mode alone (no USB-ID write), read back. The runs with --record keep
# their conversation with the real kernel for the host (see README.md: the recordings).
session boot pct-current.json 2575:8753 ""
sed "s/^/VMBED-DEV boot /" /tmp/device.log
run list 2575:8753 --list
run status1 2575:8753 --status --record /tmp/rec-status1.json
recorded status1
run none1 2575:8753 --record /tmp/rec-none1.json
recorded none1
run mouse1 2575:9969 --mouse --record /tmp/rec-mouse1.json
recorded mouse1
run mouse2 2575:9969 --mouse
run status2 2575:9969 --status
run digit 2575:8753 --digitizer --record /tmp/rec-digit.json
recorded digit
run hybridm 2575:9968 --hybrid-m
run hybrid 2575:9968 --hybrid-d
run setpos3 2575:9968 setpos 3
run getpos3 2575:9968 getpos
run digit2 2575:8753 --digitizer
stop_device

# The legacy PCT controller (command mode): a run without a word, --mouse, getpos.
session legboot pct-legacy.json 22b9:0040 ""
run legnone 22b9:0040 --record /tmp/rec-legnone.json
recorded legnone
run legmouse 22b9:0040 --mouse
run leggetpos 22b9:0040 getpos
stop_device

# A HID device no table of panelcfg's names: listed as not supported, never opened.
session unsboot unsupported.json 0f0f:0404 ""
run unslist 0f0f:0404 --list
run unsnone 0f0f:0404
run unsstatus 0f0f:0404 --status
stop_device

# The resistive controller: firmware read, rotation reset (resistive support on in options.ini).
session resboot resistive.json 1234:8888 "$(printf '[options]\nres=1')"
run resstatus 1234:8888 --status
run res 1234:8888
run resrot 1234:8888 --rotation --record /tmp/rec-resrot.json
recorded resrot
stop_device
sed -n '/^state /p' /tmp/device.log | tail -1 | sed 's/^/VMBED-DEV final /'

# A new current-generation controller: a run killed while it holds it, the runs that meet it
# then, --recover; a run as a user other than root; two runs at once.
session againboot pct-current.json 2575:8753 ""
# --mouse killed (SIGKILL) after usbfs took the interface, at its 8th feature report: in the
# identity block's read retries, long before its first write (the 25th).
begin
panelcfg --mouse >/tmp/out 2>/tmp/err &
pid=$!
served 8
kill -KILL "$pid"
rc=0
wait "$pid" || rc=$?
finish killed - "$rc"
run stuck - getpos
run recover 2575:8753 --recover
# A user other than root: told so on standard error.
begin
rc=0
su -s /bin/sh -c 'exec panelcfg getpos' nobody >/tmp/out 2>/tmp/err || rc=$?
finish nonroot 2575:8753 "$rc"
# Two runs at once: getpos started while --status reads the controller waits for the run lock.
begin
rc=0
panelcfg --status >/tmp/out 2>/tmp/err &
pid=$!
served 2
echo "VMBED-PID lockfirst $pid"
begin_b_dev=$(wc -l </tmp/device.log)
rcb=0
panelcfg getpos >/tmp/outb 2>/tmp/errb || rcb=$?
wait "$pid" || rc=$?
finish lockfirst 2575:8753 "$rc"
sed "s/^/VMBED-OUT locksecond /" /tmp/outb
sed "s/^/VMBED-ERR locksecond /" /tmp/errb
echo "VMBED-RC locksecond $rcb"
echo "VMBED-SYS locksecond $(controller)"
echo "VMBED-MARK lockfirst $begin_b_dev $dev_from"
stop_device

# A controller that leaves the bus for good in the middle of --mouse (at its 26th feature
# report, right after the identity write).
session unplugboot pct-unplug.json 2575:8753 ""
run unplug - --mouse
stop_device

# Waits (60 s at most) until N hotplug units have exited.
units_exited() { # N
  i=0
  while [ "$(grep -c '^exit ' /tmp/journal.log)" -lt "$1" ] && [ "$i" -lt 600 ]; do
    sleep 0.1
    i=$((i + 1))
  done
}

# Plugs a new current-generation controller in with vmbed-systemd standing in for systemd, and
# waits (60 s at most) until N hotplug units have exited, and one second more for a start that
# should not come.
plug_in_and_wait() { # N
  : >/tmp/journal.log
  : >/run/vmbed-systemd
  begin
  vmbed-device /vmbed/pct-current.json /tmp/device.log &
  device_pid=$!
  units_exited "$1"
  sleep 1
  rm -f /run/vmbed-systemd
  : >/tmp/out
  : >/tmp/err
}

# Waits (N seconds at most) until udev has handled every event and every unit vmbed-systemd
# started has exited, then one second more for a start that should not come; stops starting
# units.
units_done() { # N
  settle
  i=0
  while [ "$(grep -c '^start ' /tmp/journal.log)" -gt "$(grep -c '^exit ' /tmp/journal.log)" ] &&
    [ "$i" -lt "$(($1 * 10))" ]; do
    sleep 0.1
    i=$((i + 1))
  done
  sleep 1
  rm -f /run/vmbed-systemd
}

# Hotplug: with mouse mode recorded as the site's, a new controller is plugged in. The packaged
# udev rule asks for the packaged unit on its hidraw node's add event, and vmbed-systemd starts
# it as systemd would: the handler switches it; it comes back under 2575:9969, the rule asks
# again, and the handler finds it as the site wants it. Waits (60 s at most) for both runs.
rm -f /opt/.touch_panel/*.conf /opt/.touch_panel/.*.conf /opt/.touch_panel/options.ini
printf '[SETUP]\nPOSMODE=2\n' >/opt/.touch_panel/Util.conf
plug_in_and_wait 2
finish hotplug 2575:9969 0
sed "s/^/VMBED-JOURNAL hotplug /" /tmp/journal.log
ls /run/panelcfg 2>/dev/null | sed "s/^/VMBED-RECORD hotplug /"

# Ten plug events in one second on the configured controller: udev's add event of its hidraw
# node (the packaged rule's only event), ten times one right after the other, faster than a
# handler ends. They are asked of the kernel as udevadm trigger --action=add asks for one
# (written to the node's uevent file), for udevadm itself takes longer than 0.1 s to start here.
# vmbed-systemd starts the unit or merges the start into the one under way, as systemd does;
# every handler must end (30 s at most) and find the controller as the site wants it.
: >/tmp/journal.log
: >/run/vmbed-systemd
begin
i=0
while [ "$i" -lt 10 ]; do
  echo add >/sys/class/hidraw/hidraw0/uevent
  i=$((i + 1))
done
echo "VMBED-SPAN storm $(($(uptime_ms) - t0))"
units_done 30
finish storm 2575:9969 0
sed "s/^/VMBED-JOURNAL storm /" /tmp/journal.log
stop_device

# Hotplug with a record folder that cannot be written (a read-only file system mounted there):
# the try could not be counted, so the handler makes none; the controller is only read.
rm -rf /run/panelcfg
mkdir -m 0700 /run/panelcfg
mount -t tmpfs -o ro,mode=0700 tmpfs /run/panelcfg
plug_in_and_wait 1
finish hotro 2575:8753 0
sed "s/^/VMBED-JOURNAL hotro /" /tmp/journal.log
umount /run/panelcfg
stop_device

# A new controller that refuses the switch: its identity block always reads back with a wrong
# checksum, so every run fails its check and resets it. Two runs (try 1 and 2 of 2), then the
# handler of its third appearance leaves it alone; nothing more (it is not reset again).
# Waits for the three handlers.
: >/tmp/journal.log
: >/run/vmbed-systemd
begin
vmbed-device /vmbed/pct-refuse.json /tmp/device.log &
device_pid=$!
units_exited 3
units_done 10
: >/tmp/out
: >/tmp/err
finish refuse 2575:8753 0
sed "s/^/VMBED-JOURNAL refuse /" /tmp/journal.log
for f in /run/panelcfg/*; do
  if [ -f "$f" ]; then sed "s|^|VMBED-RECORD refuse ${f##*/} |" "$f"; fi
done
stop_device
# Its plug-in ends here (the record would otherwise count the next controller on 1-1 within
# 60 s as the same plug-in).
rm -f /run/panelcfg/hotplug-*

# Two controllers at once. gadgetfs serves one device controller for the whole system, so
# dummy_hcd is loaded again with two (dummy_udc.0 on bus 1, dummy_udc.1 on bus 2) and each
# controller is a configfs gadget with a FunctionFS function, served by its own vmbed-device
# (--udc): both log into /tmp/device.log, their lines marked udc0 and udc1. usbmon's reader
# holds bus 1 and is started again, on every bus.
kill "$usbmon_pid"
wait "$usbmon_pid" || true
umount /dev/gadget
rmmod gadgetfs
rmmod dummy_hcd
insmod /modules/dummy_hcd.ko num=2
for m in configfs libcomposite usb_f_fs; do
  insmod "/modules/$m.ko" || echo "VMBED-ERR pairboot insmod $m failed"
done
mount -t configfs configfs /sys/kernel/config
cat /sys/kernel/debug/usb/usbmon/0u >>/tmp/usbmon.log &
usbmon_buses='1|2'
# Plugged in together, with mouse mode recorded as the site's: both handlers switch their
# controller at the same time and find it as the site wants it when it comes back (two units
# each). Waits (60 s at most) for the four.
rm -f /opt/.touch_panel/*.conf /opt/.touch_panel/.*.conf /opt/.touch_panel/options.ini
printf '[SETUP]\nPOSMODE=2\n' >/opt/.touch_panel/Util.conf
: >/tmp/journal.log
: >/run/vmbed-systemd
begin
vmbed-device --udc dummy_udc.0 /vmbed/pct-pair.json /tmp/device.log pct-current &
pair_pid0=$!
vmbed-device --udc dummy_udc.1 /vmbed/pct-pair.json /tmp/device.log pct-wide &
pair_pid1=$!
units_exited 4
units_done 10
: >/tmp/out
: >/tmp/err
usbdev=/sys/bus/usb/devices/2-1 iface=/sys/bus/usb/devices/2-1:1.0
wait_bound 2575:9969
echo "VMBED-SYS pair2 $(controller)"
usbdev=/sys/bus/usb/devices/1-1 iface=/sys/bus/usb/devices/1-1:1.0
finish pair 2575:9969 0
sed "s/^/VMBED-JOURNAL pair /" /tmp/journal.log
for f in /run/panelcfg/*; do
  if [ -e "$f" ]; then echo "VMBED-RECORD pair ${f##*/}"; fi
done

# A reboot's coldplug on the configured panels (udevadm trigger --action=add, every device):
# each handler only reads its controller, which is as the site wants it.
: >/tmp/journal.log
: >/run/vmbed-systemd
begin
udevadm trigger --action=add
units_done 30
finish coldplug 2575:9969 0
sed "s/^/VMBED-JOURNAL coldplug /" /tmp/journal.log
usbdev=/sys/bus/usb/devices/2-1 iface=/sys/bus/usb/devices/2-1:1.0
echo "VMBED-SYS coldplug2 $(controller)"
for device_pid in "$pair_pid0" "$pair_pid1"; do
  kill "$device_pid" || echo "VMBED-ERR pairend device program already gone"
  wait "$device_pid" || echo "VMBED-ERR pairend device program status $?"
done
[ -z "$(ls /sys/kernel/config/usb_gadget)" ] || echo "VMBED-ERR pairend configfs gadgets left"

echo "VMBED-END"
