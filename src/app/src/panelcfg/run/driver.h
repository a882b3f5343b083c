// The run driver: one run of the utility from the command line to the exit status.
#pragma once

#include "../base/runlock.h"

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

// Whether this whole command line (--device SPEC wherever it stands) may touch a controller:
// everything but --help, -h, --version, --list and --status.
bool RunTouchesControllers(int fullArgc, char **fullArgv);

// Whether this whole command line holds the run lock: every one that may touch a controller,
// and --status, which reads them.
bool RunTakesLock(int fullArgc, char **fullArgv);

// Ends this whole command line when the run lock was not taken (why: timed out, refused or
// interrupted; the lock's own message is out already): the document of a --json report, the
// line of an interrupted run, and the exit status (0 for a run, 1 for --status, 128 + the
// signal number when interrupted).
int LockNotTaken(int fullArgc, char **fullArgv, RunLockResult why);

// The document of a --json report (command "list" or "status") that fails before it can
// report: schema, command and an error with a stable code and a text.
void PrintJsonError(const char *command, const char *code, const char *text);
