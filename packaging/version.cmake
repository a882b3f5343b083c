# The version of panelcfg is the one of the newest entry in debian/changelog, the only place it
# is written: sets PANELCFG_VERSION from the first line, "panelcfg (X.Y.Z) distribution; ...".
# Included before project() by the top CMakeLists.txt and by fuzz/CMakeLists.txt.
set(_changelog ${CMAKE_CURRENT_LIST_DIR}/../debian/changelog)
if(NOT EXISTS ${_changelog})
  message(FATAL_ERROR "No ${_changelog}: it holds the version of panelcfg")
endif()
file(STRINGS ${_changelog} _first LIMIT_COUNT 1)
# A native version of numbers only: project(VERSION) takes nothing else.
if(NOT _first MATCHES "^panelcfg \\(([0-9]+(\\.[0-9]+)?(\\.[0-9]+)?(\\.[0-9]+)?)\\) ")
  message(FATAL_ERROR
    "The first line of ${_changelog} is not \"panelcfg (X.Y.Z) ...\": \"${_first}\"")
endif()
set(PANELCFG_VERSION ${CMAKE_MATCH_1})
unset(_first)
unset(_changelog)
