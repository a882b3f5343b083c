#include "log.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "state.h"
#include "stop.h"

namespace {
LogMode logMode = LOG_STDOUT;
}

void SetLogMode(LogMode mode) { logMode = mode; }

int EnableDebug() {
  char path[512];
  struct stat st;
  if (!PanelPath(path, sizeof path, "enabledebug"))
    return 0;
  return stat(path, &st) == 0 ? 1 : 0;
}

void DebugMsg(int Level, const char *format, ...) {
  if (DbgFlag == 0 && Level == 3)
    return;
  // The results of a protocol abandoned by a second stop signal mean nothing: only its traces
  // are shown.
  if (Level != 3 && (ProtocolAbandoned() || logMode == LOG_TRACES_ONLY))
    return;
  FILE *out = logMode == LOG_STDOUT ? stdout : stderr;
  switch (Level) {
  case 0:
    fputs("EE:", out);
    break;
  case 1:
    fputs("II:", out);
    break;
  case 2:
    fputs("CC:", out);
    break;
  case 3:
    fputs("panelcfg DD:", out);
    break;
  default:
    break;
  }
  va_list ap;
  va_start(ap, format);
  vfprintf(out, format, ap);
  va_end(ap);
}

void PrintData(const char *str, const unsigned char *buf, int Len) {
  DebugMsg(3, "%s---start\n", str);
  const unsigned char *p = buf;
  for (int i = 0; i < Len / 8; i++, p += 8) {
    DebugMsg(3, "0x%02x 0x%02x 0x%02x 0x%02x 0x%02x 0x%02x 0x%02x 0x%02x\n", p[0], p[1], p[2], p[3],
             p[4], p[5], p[6], p[7]);
  }
  DebugMsg(3, "%s---End\n", str);
}

void EnablePrintData(const char *str, const unsigned char *buf, int Len) {
  PrintData(str, buf, Len);
}

namespace {

// One checked stream: where its lines go, whether they get a priority, whether the next byte
// starts a line, and the first error in writing them.
struct CheckedStream {
  FILE *target = nullptr;
  FILE *stream = nullptr;
  bool prefix = false;
  bool lineStart = true;
  int err = 0;
};
CheckedStream checkedOut;
CheckedStream checkedErr;

// The priority JournalLine gives the next line, -1 for none (debug).
int nextPriority = -1;

ssize_t CheckedWrite(void *cookie, const char *buf, size_t size) {
  auto *j = static_cast<CheckedStream *>(cookie);
  size_t done = 0;
  errno = 0;
  while (done < size) {
    if (j->prefix && j->lineStart) {
      const bool own = nextPriority >= 0 && j == &checkedOut;
      fprintf(j->target, "<%d>", own ? nextPriority : 7);
      if (own)
        nextPriority = -1;
    }
    const void *nl = memchr(buf + done, '\n', size - done);
    const size_t len = nl != nullptr
                           ? static_cast<size_t>(static_cast<const char *>(nl) - (buf + done)) + 1
                           : size - done;
    fwrite(buf + done, 1, len, j->target);
    j->lineStart = nl != nullptr;
    done += len;
  }
  if (fflush(j->target) != 0 || ferror(j->target) != 0) {
    if (j->err == 0)
      j->err = errno != 0 ? errno : EIO;
    return -1;
  }
  return static_cast<ssize_t>(size);
}

void Begin(CheckedStream &j, FILE *&std, bool prefix) {
  fflush(std);
  j = CheckedStream{};
  j.target = std;
  j.prefix = prefix;
  cookie_io_functions_t io = {};
  io.write = CheckedWrite;
  j.stream = fopencookie(&j, "w", io);
  if (j.stream == nullptr)
    return;
  setvbuf(j.stream, nullptr, _IOLBF, 0);
  std = j.stream;
}

// Puts the stream back; returns the first error in writing it, 0 when none.
int End(CheckedStream &j, FILE *&std) {
  if (j.stream == nullptr)
    return 0;
  fflush(j.stream);
  std = j.target;
  fclose(j.stream);
  j.stream = nullptr;
  if (j.err == 0 && (fflush(std) != 0 || ferror(std) != 0))
    j.err = errno != 0 ? errno : EIO;
  return j.err;
}

} // namespace

void BeginCheckedOutput(bool journal) {
  Begin(checkedOut, stdout, journal);
  if (journal)
    Begin(checkedErr, stderr, true);
}

bool EndCheckedOutput() {
  End(checkedErr, stderr);
  const int err = End(checkedOut, stdout);
  if (err == 0)
    return true;
  fprintf(stderr, "panelcfg: cannot write to standard output: %s\n", strerror(err));
  return false;
}

void JournalLine(int priority, const char *format, ...) {
  fflush(stdout);
  // Outside the checked output nothing prefixes the line: it says its priority itself.
  if (checkedOut.stream == nullptr || !checkedOut.prefix)
    printf("<%d>", priority);
  else
    nextPriority = priority;
  va_list ap;
  va_start(ap, format);
  vprintf(format, ap);
  va_end(ap);
  fflush(stdout);
  nextPriority = -1;
}

void KeepStandardStreamsOpen() {
  for (int fd = 0; fd <= 2; fd++)
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF)
      open("/dev/null", O_RDONLY | O_NOCTTY); // takes the lowest free descriptor: fd
}

ShownText Shown(const char *value) {
  ShownText shown{};
  size_t len = 0;
  size_t i = 0;
  for (; i < kShownChars && value[i] != '\0'; i++) {
    const auto c = static_cast<unsigned char>(value[i]);
    const size_t room = sizeof shown.text - len;
    const int n = c < 0x20 || c > 0x7E || c == '\\' ? snprintf(shown.text + len, room, "\\x%02x", c)
                                                    : snprintf(shown.text + len, room, "%c", c);
    len += static_cast<size_t>(n);
  }
  if (value[i] != '\0')
    snprintf(shown.text + len, sizeof shown.text - len, "...");
  return shown;
}
