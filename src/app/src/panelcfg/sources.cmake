# The utility's modules, relative to this directory; shared by the build and the fuzz targets.
set(PANELCFG_CORE_SOURCES
  run/driver.cpp
  run/log.cpp
  run/state.cpp
  device/devtable.cpp
  device/hid.cpp
  device/scan.cpp
  pct/cmdmode.cpp
  pct/posmode.cpp
  pct/params.cpp
  policy/identity.cpp
  policy/modeswitch.cpp
  policy/dispatch.cpp
  resistive/resproto.cpp
  lists/registry.cpp
)
list(TRANSFORM PANELCFG_CORE_SOURCES PREPEND ${CMAKE_CURRENT_LIST_DIR}/)
