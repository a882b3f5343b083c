#!/bin/sh
# The VM's side of the bed (busybox sh, started by /init). Loads the USB stack, starts udevd and
# the device program, runs panelcfg, and prints everything the host checks on the serial
# console as "VMBED-<TAG> <phase> <text>" lines. Ends with poweroff, also when a step fails
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

for m in usb-common usbcore udc-core dummy_hcd gadgetfs hid usbhid hid-generic; do
  insmod "/modules/$m.ko" || echo "VMBED-ERR boot insmod $m failed"
done
mkdir -p /run/udev /dev/gadget
/lib/systemd/systemd-udevd --daemon --resolve-names=never
mount -t gadgetfs gadgetfs /dev/gadget
: >/tmp/uevents.log
: >/tmp/device.log

usbdev=/sys/bus/usb/devices/1-1
iface=/sys/bus/usb/devices/1-1:1.0

uptime_ms() {
  read -r up _ </proc/uptime
  echo $((${up%.*} * 1000 + 1${up#*.}0 - 1000))
}

# The controller as the kernel sees it: "1-1 vid:pid driver hidrawN".
controller() {
  [ -e "$usbdev/idProduct" ] || {
    echo "none"
    return
  }
  drv=""
  if [ -e "$iface/driver" ]; then drv="$(basename "$(readlink "$iface/driver")")"; fi
  raw="$(ls "$iface"/*/hidraw 2>/dev/null | head -1 || true)"
  echo "1-1 $(cat "$usbdev/idVendor"):$(cat "$usbdev/idProduct") $drv $raw"
}

# Waits (up to 15 s) until the controller is enumerated as vid:pid with usbhid and hidraw.
wait_bound() {
  i=0
  while [ "$i" -lt 150 ]; do
    case "$(controller)" in "1-1 $1 usbhid hidraw"*) break ;; esac
    sleep 0.1
    i=$((i + 1))
  done
  udevadm settle --timeout=10 || echo "VMBED-ERR udev did not settle"
}

start_device() { # scenario
  vmbed-device "/vmbed/$1" /tmp/device.log &
  device_pid=$!
}

stop_device() {
  kill "$device_pid" || echo "VMBED-ERR device program already gone"
  wait "$device_pid" || echo "VMBED-ERR device program status $?"
  i=0
  while [ -e "$usbdev" ] && [ "$i" -lt 100 ]; do
    sleep 0.1
    i=$((i + 1))
  done
  udevadm settle --timeout=10 || echo "VMBED-ERR udev did not settle"
}

# A phase: begin, panelcfg's run (its output in /tmp/out and /tmp/err), finish.
begin() {
  dev_from=$(wc -l </tmp/device.log)
  ev_from=$(wc -l </tmp/uevents.log)
  t0=$(uptime_ms)
}
# Waits for the controller to be back as vid:pid ("-": only for udev) and prints the phase.
finish() { # name vid:pid|- rc
  echo "VMBED-TIME $1 $(($(uptime_ms) - t0))"
  dev_mid=$(wc -l </tmp/device.log)
  if [ "$2" = - ]; then
    udevadm settle --timeout=10 || echo "VMBED-ERR udev did not settle"
  else
    wait_bound "$2"
  fi
  sed -n "$((dev_from + 1)),${dev_mid}p" /tmp/device.log | sed "s/^/VMBED-DEV $1 /"
  sed -n "$((dev_mid + 1)),\$p" /tmp/device.log | sed "s/^/VMBED-AFTER $1 /"
  sed -n "$((ev_from + 1)),\$p" /tmp/uevents.log | sed "s/^/VMBED-UEVENT $1 /"
  sed "s/^/VMBED-OUT $1 /" /tmp/out
  sed "s/^/VMBED-ERR $1 /" /tmp/err
  for f in Util.conf manuflist.conf .prodlist.conf .pctdevid.conf; do
    if [ -f "/opt/.touch_panel/$f" ]; then sed "s/^/VMBED-FILE $1 $f /" "/opt/.touch_panel/$f"; fi
  done
  echo "VMBED-SYS $1 $(controller)"
  echo "VMBED-RC $1 $3"
}

# Runs panelcfg ARGS... as phase NAME, then waits for the controller to be back as vid:pid.
run() { # name vid:pid args...
  name="$1"
  back="$2"
  shift 2
  begin
  rc=0
  panelcfg "$@" >/tmp/out 2>/tmp/err || rc=$?
  finish "$name" "$back" "$rc"
}

# The interface's driver ("" for none).
iface_driver() {
  if [ -e "$iface/driver" ]; then basename "$(readlink "$iface/driver")"; fi
}

mkdir -p /opt/.touch_panel

# The current-generation PCT controller: listed, switched to mouse mode, run again.
start_device pct-current.json
wait_bound 2575:8753
echo "VMBED-SYS boot $(controller)"
sed "s/^/VMBED-DEV boot /" /tmp/device.log
run list 2575:8753 --list
run status1 2575:8753 --status
run mouse1 2575:9969 --mouse
run mouse2 2575:9969 --mouse
run status2 2575:9969 --status
# Each mode word there and back: digitizer under 2575:8753, hybrid-d under 2575:9968; the
# position mode alone (no USB-ID write), read back.
run digit 2575:8753 --digitizer
run hybrid 2575:9968 --hybrid-d
run setpos3 2575:9968 setpos 3
run getpos3 2575:9968 getpos
stop_device

# The legacy PCT controller (command mode): a run without a word, --mouse, getpos.
rm -f /opt/.touch_panel/*.conf /opt/.touch_panel/.*.conf
start_device pct-legacy.json
wait_bound 22b9:0040
echo "VMBED-SYS legboot $(controller)"
run legnone 22b9:0040
run legmouse 22b9:0040 --mouse
run leggetpos 22b9:0040 getpos
stop_device

# A HID device no table of panelcfg's names: listed as not supported, never opened.
rm -f /opt/.touch_panel/*.conf /opt/.touch_panel/.*.conf
start_device unsupported.json
wait_bound 0f0f:0404
run unslist 0f0f:0404 --list
run unsnone 0f0f:0404
run unsstatus 0f0f:0404 --status
stop_device

# The resistive controller: firmware read, rotation reset (resistive support on in options.ini).
rm -f /opt/.touch_panel/*.conf /opt/.touch_panel/.*.conf
printf '[options]\nres=1\n' >/opt/.touch_panel/options.ini
start_device resistive.json
wait_bound 1234:8888
run resstatus 1234:8888 --status
run res 1234:8888
run resrot 1234:8888 --rotation
stop_device
sed -n '/^state /p' /tmp/device.log | tail -1 | sed 's/^/VMBED-DEV final /'

# A new current-generation controller: a run killed while it holds it, the runs that meet it
# then, --recover; a run as a user other than root; two runs at once.
rm -f /opt/.touch_panel/*.conf /opt/.touch_panel/.*.conf /opt/.touch_panel/options.ini
start_device pct-current.json
wait_bound 2575:8753
# --mouse killed (SIGKILL) half a second into its reads, after usbfs took the interface.
begin
panelcfg --mouse >/tmp/out 2>/tmp/err &
pid=$!
i=0
while [ "$(iface_driver)" != usbfs ] && [ "$i" -lt 100 ]; do
  sleep 0.05
  i=$((i + 1))
done
sleep 0.5
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
i=0
while [ "$(sed -n "$((dev_from + 1)),\$p" /tmp/device.log | grep -c '^hid ')" -lt 2 ] && [ "$i" -lt 100 ]; do
  sleep 0.05
  i=$((i + 1))
done
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
rm -f /opt/.touch_panel/*.conf /opt/.touch_panel/.*.conf
start_device pct-unplug.json
wait_bound 2575:8753
run unplug - --mouse
stop_device

echo "VMBED-END"
