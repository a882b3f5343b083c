#include "safefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

bool WriteAll(int fd, const char *text, size_t len) {
  while (len > 0) {
    const ssize_t n = write(fd, text, len);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return false;
    }
    text += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

// The owner first: a change of owner clears the set-ID bits that the mode then restores. A
// link or anything else at the path gives nothing.
bool KeepModeAndOwner(int fd, const char *path) {
  struct stat old {};
  if (lstat(path, &old) != 0 || !S_ISREG(old.st_mode))
    return true;
  const bool owned = fchown(fd, old.st_uid, old.st_gid) == 0;
  return fchmod(fd, old.st_mode & (owned ? 07777 : 0777)) == 0;
}

} // namespace

const char *SafeFileError(int err) {
  if (err == kErrNotRegular)
    return "not a regular file";
  // What O_NOFOLLOW answers for a link at the path.
  if (err == ELOOP)
    return "a symbolic link, not followed";
  if (err == EFBIG)
    return "larger than 65536 bytes";
  return strerror(err);
}

int SafeOpen(const char *path, int flags, mode_t mode) {
  const int fd = open(path, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, mode);
  if (fd < 0) {
    // A socket cannot be opened at all: it is no regular file either.
    struct stat info {};
    if (errno == ENXIO && lstat(path, &info) == 0 && S_ISSOCK(info.st_mode))
      errno = kErrNotRegular;
    return -1;
  }
  struct stat info {};
  int err = 0;
  if (fstat(fd, &info) == 0 && !S_ISREG(info.st_mode))
    err = kErrNotRegular;
  else if (!S_ISREG(info.st_mode) || fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)
    err = errno; // fstat or fcntl failed
  if (err != 0) {
    close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

FILE *SafeOpenRead(const char *path, long maxBytes) {
  const int fd = SafeOpen(path, O_RDONLY);
  if (fd < 0)
    return nullptr;
  struct stat info {};
  if (fstat(fd, &info) != 0 || info.st_size > maxBytes) {
    const int err = info.st_size > maxBytes ? EFBIG : errno;
    close(fd);
    errno = err;
    return nullptr;
  }
  FILE *f = fdopen(fd, "re");
  if (f == nullptr) {
    const int err = errno;
    close(fd);
    errno = err;
  }
  return f;
}

int SafeCreateFile(const char *path, const char *content, size_t len, mode_t mode) {
  const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, mode);
  if (fd < 0)
    return -1;
  int err = 0;
  if (!WriteAll(fd, content, len))
    err = errno;
  if (close(fd) != 0 && err == 0)
    err = errno;
  if (err != 0) {
    unlink(path);
    errno = err;
    return -1;
  }
  return 0;
}

SafeReplaceStep SafeReplaceFile(const char *path, const char *content, size_t len, mode_t mode,
                                bool keepModeOwner) {
  char tmp[4200];
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; attempt++) {
    const int n =
        snprintf(tmp, sizeof tmp, "%s.new%d-%d", path, static_cast<int>(getpid()), attempt);
    if (n < 0 || static_cast<size_t>(n) >= sizeof tmp) {
      errno = ENAMETOOLONG;
      return SAFE_CREATE;
    }
    fd = open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, mode);
    if (fd < 0 && errno != EEXIST)
      break;
  }
  if (fd < 0)
    return SAFE_CREATE;
  // No fsync: a run is paced by the protocol's pauses and must not add disk flushes to them;
  // the rename alone keeps readers from ever seeing a partial file.
  int err = 0;
  if (!WriteAll(fd, content, len) || (keepModeOwner && !KeepModeAndOwner(fd, path)))
    err = errno;
  if (close(fd) != 0 && err == 0)
    err = errno;
  if (err != 0) {
    unlink(tmp);
    errno = err;
    return SAFE_WRITE;
  }
  if (rename(tmp, path) != 0) {
    err = errno;
    unlink(tmp);
    errno = err;
    return SAFE_RENAME;
  }
  return SAFE_REPLACED;
}
