// One run at a time: an exclusive lock on a file, held while a run may touch a controller.
#pragma once

// The lock of the installed utility. /run is root's, so no other user can hold the lock or plant
// a link there.
#define RUN_LOCK_FILE "/run/panelcfg.lock"

// How long a run waits for another to finish before it gives up.
constexpr unsigned kRunLockWaitMs = 60000;

enum RunLockResult {
  RUNLOCK_HELD,        // *fd holds the lock; the file names this process
  RUNLOCK_UNAVAILABLE, // the lock file cannot be opened or locked (not root): go on without it
  RUNLOCK_TIMED_OUT,   // another run held it for waitMs; an EE: line says so
  RUNLOCK_INTERRUPTED, // a stop signal came while waiting
  RUNLOCK_REFUSED,     // something other than a lock file is at the path; an EE: line says so
};

// Takes an exclusive flock on path (created 0600, never through a link, a regular file only). While
// another process holds it, prints once that this run waits for that process (its pid is in the
// file) and polls until waitMs have passed. These waits are real time: they are no protocol pause.
// With device (the kernel's name of one USB device, "1-1.4"), the lock is taken shared, so that
// runs on other devices go on at the same time, and the lock of that device (path-NAME) alone,
// within the same wait: a run on the whole bus excludes every other, a run on one device only
// runs on the whole bus and on that device.
RunLockResult TakeRunLock(const char *path, unsigned waitMs, int *fd, const char *device = nullptr);

// Releases a lock taken by TakeRunLock (-1: none), and the device's lock taken with it.
void ReleaseRunLock(int fd);

// While a run lock is held: the short lock (path-lists, exclusive) under which a run on one
// device merges its rows into the list files, so that runs on other devices lose none. Released
// with ReleaseListLock; -1 when no run lock is held (nothing to exclude) or it was not had within
// the run lock's wait. Waits without a word: the merge is short.
int TakeListLock();
void ReleaseListLock(int fd);
