# The utility's modules, relative to this directory, bottom layer first (scripts/check-layers.sh
# keeps every folder from including one above it); shared by the build and the fuzz targets.
# The support library (support/), the real-time wait (base/sleep.cpp), the kernel calls of the
# hidraw backend (transport/hidraw_linux.cpp) and the random draw (transport/entropy_linux.cpp)
# are linked apart: the first is a shared library of its own, the others are replaced by the
# virtual bus in the simulator and the tests.
set(PANELCFG_CORE_SOURCES
  base/log.cpp
  base/state.cpp
  base/stop.cpp
  base/pause.cpp
  base/runlock.cpp
  base/record.cpp
  transport/boundary.cpp
  transport/hid.cpp
  transport/hidraw.cpp
  pct/cmdmode.cpp
  pct/posmode.cpp
  pct/params.cpp
  resistive/resproto.cpp
  policy/identity.cpp
  policy/modeswitch.cpp
  policy/dispatch.cpp
  lists/registry.cpp
  scan/devtable.cpp
  scan/scan.cpp
  scan/status.cpp
  run/driver.cpp
  run/hotplug.cpp
)
list(TRANSFORM PANELCFG_CORE_SOURCES PREPEND ${CMAKE_CURRENT_LIST_DIR}/)
