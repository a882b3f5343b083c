// The run driver: one run of the utility from the command line to the exit status.
#pragma once

#define PANELCFG_VERSION "0.1.0"

// Runs the utility with dir in place of the panel directory; returns the exit status.
int PanelcfgMain(int argc, char **argv, const char *dir);
