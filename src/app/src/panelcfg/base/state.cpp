#include "state.h"

#include "log.h"

#include <cstdio>
#include <cstring>

#include "stop.h"

int FunctionMode = FM_CONFIGURE;
int POSMode = 0;
int NotResetDevice = 0;
int DbgFlag = 0;

int IsLegacy = 0;
int ChipID = -1;
int FwRev = -1;
DEVINFO DevInfo = {};
DEVSELECT OneDevice = {};
int ReachedCnt = 0;
int MissedCnt = 0;

ConfigMem MyConfig = {};

char PanelDir[256] = DEFAULT_PANEL_DIR;

int SetPanelDir(const char *dir) {
  size_t len = strlen(dir);
  bool slash = len > 0 && dir[len - 1] == '/';
  int n = snprintf(PanelDir, sizeof PanelDir, "%s%s", dir, slash ? "" : "/");
  if (n < 0 || static_cast<size_t>(n) >= sizeof PanelDir) {
    snprintf(PanelDir, sizeof PanelDir, "%s", DEFAULT_PANEL_DIR);
    return 0;
  }
  return 1;
}

int PanelPath(char *out, unsigned long size, const char *name) {
  int n = snprintf(out, size, "%s%s", PanelDir, name);
  return n >= 0 && static_cast<unsigned long>(n) < size;
}

void InitRunState() {
  FunctionMode = FM_CONFIGURE;
  POSMode = 0;
  NotResetDevice = 0;
  DbgFlag = 0;
  IsLegacy = 0;
  ChipID = -1;
  FwRev = -1;
  DevInfo = DEVINFO{};
  OneDevice = DEVSELECT{};
  ReachedCnt = 0;
  MissedCnt = 0;
  MyConfig = ConfigMem{};
  snprintf(PanelDir, sizeof PanelDir, "%s", DEFAULT_PANEL_DIR);
  ClearStopSignals();
  SetLogMode(LOG_STDOUT);
}
