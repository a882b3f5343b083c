# The bed's steps inside the VM (busybox sh): the controller as the kernel sees it, a session of
# the device program, and a phase (begin, a panelcfg run, finish) printed as
# "VMBED-<TAG> <phase> <text>" lines. Sourced by vm-init.sh, and by the shell of vmbed.sh --shell.
# shellcheck shell=sh

usbdev=/sys/bus/usb/devices/1-1
iface=/sys/bus/usb/devices/1-1:1.0

uptime_ms() {
  read -r up _ </proc/uptime
  echo $((${up%.*} * 1000 + 1${up#*.}0 - 1000))
}

# The controller as the kernel sees it: "1-1 vid:pid driver hidrawN" (usbdev and iface name
# it: the first port of bus 1 unless set otherwise).
controller() {
  [ -e "$usbdev/idProduct" ] || {
    echo "none"
    return
  }
  drv=""
  if [ -e "$iface/driver" ]; then drv="$(basename "$(readlink "$iface/driver")")"; fi
  raw="$(ls "$iface"/*/hidraw 2>/dev/null | head -1 || true)"
  echo "${usbdev##*/} $(cat "$usbdev/idVendor"):$(cat "$usbdev/idProduct") $drv $raw"
}

settle() {
  udevadm settle --timeout=10 || echo "VMBED-ERR udev did not settle"
}

# Waits (up to 15 s) until the controller is enumerated as vid:pid with usbhid and hidraw.
wait_bound() {
  i=0
  while [ "$i" -lt 150 ]; do
    case "$(controller)" in "${usbdev##*/} $1 usbhid hidraw"*) break ;; esac
    sleep 0.1
    i=$((i + 1))
  done
  settle
}

# A session: one controller of a scenario served by the device program, from an empty panel
# directory with the given options file ("" for none), enumerated as vid:pid. The boot lines
# say how the kernel and udev found it (the packaged rule's properties of its hidraw node).
session() { # name scenario vid:pid options
  rm -f /opt/.touch_panel/*.conf /opt/.touch_panel/.*.conf /opt/.touch_panel/options.ini
  if [ -n "$4" ]; then printf '%s\n' "$4" >/opt/.touch_panel/options.ini; fi
  vmbed-device "/vmbed/$2" /tmp/device.log &
  device_pid=$!
  wait_bound "$3"
  echo "VMBED-SYS $1 $(controller)"
  udevadm info -q property -n /dev/hidraw0 2>/dev/null | grep -E '^(SYSTEMD_WANTS|TAGS)=' |
    sed "s/^/VMBED-UDEV $1 /" || true
}

stop_device() {
  kill "$device_pid" || echo "VMBED-ERR device program already gone"
  wait "$device_pid" || echo "VMBED-ERR device program status $?"
  i=0
  while [ -e "$usbdev" ] && [ "$i" -lt 100 ]; do
    sleep 0.1
    i=$((i + 1))
  done
  settle
}

# A phase: begin, panelcfg's run (its output in /tmp/out and /tmp/err), finish.
begin() {
  dev_from=$(wc -l </tmp/device.log)
  ev_from=$(wc -l </tmp/uevents.log)
  mon_from=$(wc -l </tmp/usbmon.log)
  devnum=$(cat "$usbdev/devnum" 2>/dev/null || echo 0)
  t0=$(uptime_ms)
}
# What the host saw in the phase, from usbmon: the SET_REPORTs to the controllers (not to the
# root hubs) of the buses in usbmon_buses (1 unless set otherwise) that completed without error,
# and every control request that the host gave up on at its 5 s timeout (usbmon's -2 for a URB
# killed then).
host_side() { # name
  sed -n "$((mon_from + 1)),\$p" /tmp/usbmon.log | awk -v phase="$1" -v buses="^C[io]:(${usbmon_buses:-1}):" '
    $3 == "S" && $4 ~ buses && $4 !~ /^C[io]:[0-9]+:001:/ && $5 == "s" {
      req[$1] = $6 " " $7 " " $8; sent[$1] = $2
    }
    $3 == "C" && ($1 in req) {
      if ($5 == "0" && req[$1] ~ /^21 09 /) sets++
      if ($5 == "-2" && $2 - sent[$1] >= 4900000)
        print "VMBED-MON " phase " timeout " req[$1] " after " int(($2 - sent[$1]) / 1000) " ms"
      delete req[$1]
    }
    END { print "VMBED-MON " phase " setreports " sets + 0 }'
}
# Waits for the controller to be back as vid:pid ("-": only for udev) and prints the phase.
finish() { # name vid:pid|- rc
  echo "VMBED-TIME $1 $(($(uptime_ms) - t0))"
  dev_mid=$(wc -l </tmp/device.log)
  if [ "$2" = - ]; then settle; else wait_bound "$2"; fi
  echo "VMBED-NUM $1 $devnum"
  sed -n "$((dev_from + 1)),${dev_mid}p" /tmp/device.log | sed "s/^/VMBED-DEV $1 /"
  sed -n "$((dev_mid + 1)),\$p" /tmp/device.log | sed "s/^/VMBED-AFTER $1 /"
  sed -n "$((ev_from + 1)),\$p" /tmp/uevents.log | sed "s/^/VMBED-UEVENT $1 /"
  host_side "$1"
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

# Waits (up to 10 s) until the device program has served N feature reports since the phase began.
served() { # n
  i=0
  while [ "$(sed -n "$((dev_from + 1)),\$p" /tmp/device.log | grep -c '^hid ')" -lt "$1" ] && [ "$i" -lt 500 ]; do
    sleep 0.02
    i=$((i + 1))
  done
}

# The recording a phase made with --record /tmp/rec-NAME.json, as "VMBED-RECORDING NAME" lines.
recorded() { # name
  if [ -f "/tmp/rec-$1.json" ]; then
    sed "s/^/VMBED-RECORDING $1 /" "/tmp/rec-$1.json"
  else
    echo "VMBED-ERR $1 no recording /tmp/rec-$1.json"
  fi
}
