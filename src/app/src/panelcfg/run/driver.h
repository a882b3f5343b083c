// The run driver: one run of the utility from the command line to the exit status.
#pragma once

#ifndef PANELCFG_VERSION // set by the build, from debian/changelog
#error "PANELCFG_VERSION is not defined: build with CMake"
#endif

// Runs the utility with dir in place of the panel directory; returns the exit status.
int PanelcfgMain(int argc, char **argv, const char *dir);
