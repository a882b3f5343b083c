// The hotplug handler: what a controller that has just appeared needs, and at most two runs on it
// per plug-in.
#pragma once

#include "../base/runlock.h"

// Loads what every command reads before it looks at a device: the panel directory, the debug
// marker, the options and the supported-device table.
void LoadRunSetup(int argc, const char *dir);

// The run of a command line that may touch a controller (a word, none, or --recover), with the
// run lock lock (-1: none) held; releases it. Returns the run's exit status.
int RunWithLock(int argc, char **argv, int lock);

// panelcfg --hotplug SPEC: reads the device SPEC names as --status does and, when it is a PCT
// controller off the site's mode (POSMODE of Util.conf) or without a valid identity block, or a
// resistive controller with supported firmware and a rotation other than 0, gives it one run on
// that device alone. A plug-in's tries are counted in recordDir/hotplug-<kernel name>, which
// holds while the device comes back within kHotplugSameMinute seconds (its own resets); after
// two tries the controller is left alone with one EE: line. Prints one line naming the device,
// what it found and what it did. Returns 0 (nothing to do, or done), 1 (failed) or 2 (bad usage).
int HotplugMain(const char *spec, const char *dir, const char *lockPath, const char *recordDir);

// Ends the handler for SPEC when the run lock was not taken (why: timed out, refused or
// interrupted): its one line, and the exit status.
int HotplugLockNotTaken(const char *spec, RunLockResult why);

// Seconds within which a device that appears again counts as the same plug-in.
constexpr long kHotplugSameMinute = 60;
// Runs per plug-in at most.
constexpr int kHotplugTries = 2;
