#include "log.h"

#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>

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
