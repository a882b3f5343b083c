#include "runlock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <sys/stat.h>

#include <array>
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

// The run locks this process holds: the run lock's descriptor, the device's taken with it (-1:
// none) and the run lock's path. A process holds one; a few are room for tests.
struct HeldLock {
  int run = -1;
  int device = -1;
  std::array<char, 512> path{};
};
std::array<HeldLock, 4> held;

// Releases one lock file: it names no holder any more (a shared holder never named itself, and
// no one holds the lock alone while it has it), and the lock goes.
void Unlock(int fd) {
  struct stat st {};
  if (fstat(fd, &st) == 0 && st.st_size > 0)
    (void)!ftruncate(fd, 0);
  flock(fd, LOCK_UN);
  close(fd);
}

// A kernel name of a USB device ("1-1.4") is a file name of its own.
bool LockableName(const char *name) {
  if (name == nullptr || name[0] == '\0' || strlen(name) > 64)
    return false;
  for (const char *c = name; *c != '\0'; c++)
    if (isdigit(static_cast<unsigned char>(*c)) == 0 && *c != '-' && *c != '.')
      return false;
  return true;
}

RunLockResult TakeLock(const char *path, unsigned waitMs, int *fd, bool shared, bool quiet = false);

} // namespace

RunLockResult TakeRunLock(const char *path, unsigned waitMs, int *fd, const char *device) {
  const long start = NowMs();
  const bool one = LockableName(device);
  HeldLock *slot = nullptr;
  for (HeldLock &h : held)
    if (h.run < 0 && slot == nullptr)
      slot = &h;
  *fd = -1;
  if (slot == nullptr)
    return RUNLOCK_UNAVAILABLE;
  const RunLockResult run = TakeLock(path, waitMs, fd, one);
  if (run != RUNLOCK_HELD)
    return run;
  int own = -1;
  if (one) {
    char ownPath[600];
    snprintf(ownPath, sizeof ownPath, "%s-%s", path, device);
    const long left = static_cast<long>(waitMs) - (NowMs() - start);
    const RunLockResult mine =
        TakeLock(ownPath, left > 0 ? static_cast<unsigned>(left) : 0, &own, false);
    if (mine != RUNLOCK_HELD) {
      Unlock(*fd);
      *fd = -1;
      return mine;
    }
  }
  slot->run = *fd;
  slot->device = own;
  snprintf(slot->path.data(), slot->path.size(), "%s", path);
  return RUNLOCK_HELD;
}

int TakeListLock() {
  const HeldLock *last = nullptr;
  for (const HeldLock &h : held)
    if (h.run >= 0)
      last = &h;
  if (last == nullptr)
    return -1;
  char path[600];
  snprintf(path, sizeof path, "%s-lists", last->path.data());
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
  for (HeldLock &h : held)
    if (h.run == fd) {
      if (h.device >= 0)
        Unlock(h.device);
      h = HeldLock{};
    }
  Unlock(fd);
}
