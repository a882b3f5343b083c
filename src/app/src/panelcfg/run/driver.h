// The run driver: one run of the utility from the command line to the exit status.
#pragma once

#ifndef PANELCFG_VERSION // set by the build, from debian/changelog
#error "PANELCFG_VERSION is not defined: build with CMake"
#endif

// Runs the utility with dir in place of the panel directory; returns the exit status. A run that
// may touch a controller holds an exclusive lock on lockPath (none when null: the simulator
// takes its own before it loads its controllers) and, with rootNotice, first tells a user who
// is not root that the run needs root.
// hotplugDir: the directory of the hotplug handler's plug-in records. fullArgc and fullArgv are
// the whole command line, a leading --device SPEC included.
#define HOTPLUG_RECORD_DIR "/run/panelcfg"
int PanelcfgMain(int fullArgc, char **fullArgv, const char *dir, const char *lockPath = nullptr,
                 bool rootNotice = false, const char *hotplugDir = HOTPLUG_RECORD_DIR);

// Ends a run stopped by a signal: releases lock (-1: none), prints the one line that says so and
// returns 128 + the signal number. unvisited: the supported devices the run did not visit, or
// -1 when it was still waiting for another run.
int EndInterruptedRun(int unvisited, int lock);

// Whether this command line may touch a controller: everything but --help, -h, --version,
// --list and --status.
bool RunTouchesControllers(int argc, char **argv);

// Whether this command line holds the run lock: every one that may touch a controller, and
// --status, which reads them.
bool RunTakesLock(int argc, char **argv);

// The exit status of this command line when the run lock could not be taken in time.
int LockTimedOutStatus(int argc, char **argv);
