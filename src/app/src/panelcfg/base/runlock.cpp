#include "runlock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "../support/safefile.h"
#include "log.h"
#include "stop.h"

namespace {

constexpr long kPollMs = 50;

long NowMs() {
  struct timespec ts = {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The pid the holder wrote into the file, 0 when there is none yet.
long HolderPid(int fd) {
  char text[24] = {};
  ssize_t n = pread(fd, text, sizeof text - 1, 0);
  if (n <= 0)
    return 0;
  text[n] = '\0';
  char *end = nullptr;
  long pid = strtol(text, &end, 10);
  return end != text && pid > 0 ? pid : 0;
}

void NameHolder(int fd) {
  char text[24];
  int n = snprintf(text, sizeof text, "%ld\n", static_cast<long>(getpid()));
  if (ftruncate(fd, 0) == 0 && n > 0)
    (void)!pwrite(fd, text, static_cast<size_t>(n), 0);
}

} // namespace

namespace {

// The lock of the one device a run holds beside the run lock, and the run lock's path.
int deviceLock = -1;
char heldPath[512];

// A kernel name of a USB device ("1-1.4") is a file name of its own.
bool LockableName(const char *name) {
  if (name == nullptr || name[0] == '\0' || strlen(name) > 64)
    return false;
  for (const char *c = name; *c != '\0'; c++)
    if (!(isdigit(static_cast<unsigned char>(*c)) || *c == '-' || *c == '.'))
      return false;
  return true;
}

RunLockResult TakeLock(const char *path, unsigned waitMs, int *fd, bool shared, bool quiet = false);

} // namespace

RunLockResult TakeRunLock(const char *path, unsigned waitMs, int *fd, const char *device) {
  const long start = NowMs();
  const bool one = LockableName(device);
  const RunLockResult run = TakeLock(path, waitMs, fd, one);
  if (run != RUNLOCK_HELD || !one) {
    if (run == RUNLOCK_HELD)
      snprintf(heldPath, sizeof heldPath, "%s", path);
    return run;
  }
  char own[600];
  snprintf(own, sizeof own, "%s-%s", path, device);
  const long left = static_cast<long>(waitMs) - (NowMs() - start);
  const RunLockResult mine =
      TakeLock(own, left > 0 ? static_cast<unsigned>(left) : 0, &deviceLock, false);
  if (mine != RUNLOCK_HELD) {
    ReleaseRunLock(*fd);
    *fd = -1;
    return mine;
  }
  snprintf(heldPath, sizeof heldPath, "%s", path);
  return RUNLOCK_HELD;
}

int TakeListLock() {
  if (heldPath[0] == '\0')
    return -1;
  char path[600];
  snprintf(path, sizeof path, "%s-lists", heldPath);
  int fd = -1;
  return TakeLock(path, kRunLockWaitMs, &fd, false, true) == RUNLOCK_HELD ? fd : -1;
}

void ReleaseListLock(int fd) {
  if (fd < 0)
    return;
  flock(fd, LOCK_UN);
  close(fd);
}

namespace {

RunLockResult TakeLock(const char *path, unsigned waitMs, int *fd, bool shared, bool quiet) {
  *fd = -1;
  int lock = SafeOpen(path, O_RDWR | O_CREAT, 0600);
  if (lock < 0) {
    // A user without the rights to the lock has none to the controllers either; anything else
    // at the path (a link, a FIFO, a directory) is refused.
    if (errno == EACCES && geteuid() != 0)
      return RUNLOCK_UNAVAILABLE;
    DebugMsg(0, "cannot take the run lock %s: %s; nothing done\n", path, SafeFileError(errno));
    return RUNLOCK_REFUSED;
  }
  const long deadline = NowMs() + static_cast<long>(waitMs);
  bool told = false;
  long holder = 0;
  for (;;) {
    if (flock(lock, (shared ? LOCK_SH : LOCK_EX) | LOCK_NB) == 0) {
      // Shared holders are many: the file names only a holder that has it alone.
      if (!shared)
        NameHolder(lock);
      *fd = lock;
      return RUNLOCK_HELD;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) {
      close(lock);
      return RUNLOCK_UNAVAILABLE;
    }
    long pid = HolderPid(lock);
    if (pid != 0)
      holder = pid;
    if (!told && !quiet) {
      if (holder != 0)
        DebugMsg(1, "waiting for the other panelcfg run (pid %ld) to finish\n", holder);
      else
        DebugMsg(1, "waiting for the other panelcfg run to finish\n");
      told = true;
    }
    if (StopSignal() != 0) {
      close(lock);
      return RUNLOCK_INTERRUPTED;
    }
    if (NowMs() >= deadline) {
      if (holder != 0)
        DebugMsg(0, "another panelcfg run (pid %ld) still holds %s after %u s; nothing done\n",
                 holder, path, waitMs / 1000);
      else
        DebugMsg(0,
                 "another panelcfg run (which did not name itself) still holds %s after %u s; "
                 "nothing done\n",
                 path, waitMs / 1000);
      close(lock);
      return RUNLOCK_TIMED_OUT;
    }
    struct timespec poll = {0, kPollMs * 1000000L};
    nanosleep(&poll, nullptr);
  }
}

} // namespace

void ReleaseRunLock(int fd) {
  if (fd < 0)
    return;
  if (deviceLock >= 0) {
    const int own = deviceLock;
    deviceLock = -1;
    heldPath[0] = '\0';
    ReleaseRunLock(own);
  }
  heldPath[0] = '\0';
  // Names no holder any more (a shared holder never named itself, and no one holds the lock
  // alone while it has it).
  struct stat st {};
  if (fstat(fd, &st) == 0 && st.st_size > 0)
    (void)!ftruncate(fd, 0);
  flock(fd, LOCK_UN);
  close(fd);
}
