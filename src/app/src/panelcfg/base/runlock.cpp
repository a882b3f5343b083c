#include "runlock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
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

RunLockResult TakeRunLock(const char *path, unsigned waitMs, int *fd) {
  *fd = -1;
  int lock = SafeOpen(path, O_RDWR | O_CREAT, 0600);
  if (lock < 0) {
    // A user without the rights to the lock has none to the controllers either; anything else
    // at the path (a link, a FIFO, a directory) is refused.
    if (errno == EACCES || errno == EPERM || errno == EROFS)
      return RUNLOCK_UNAVAILABLE;
    DebugMsg(0, "cannot take the run lock %s: %s; nothing done\n", path, SafeFileError(errno));
    return RUNLOCK_REFUSED;
  }
  const long deadline = NowMs() + static_cast<long>(waitMs);
  bool told = false;
  long holder = 0;
  for (;;) {
    if (flock(lock, LOCK_EX | LOCK_NB) == 0) {
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
    if (!told) {
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

void ReleaseRunLock(int fd) {
  if (fd < 0)
    return;
  (void)!ftruncate(fd, 0); // names no holder any more
  flock(fd, LOCK_UN);
  close(fd);
}
