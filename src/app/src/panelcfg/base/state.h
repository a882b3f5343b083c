// Process-wide run state: the run selection and the facts about the controller in hand.
#pragma once

#include "../support/configmem.h"

enum {
  FM_CONFIGURE = 0,
  FM_CLEAN = 1,
  FM_TEST = 2,
  FM_SN = 3,
  FM_ROTATION = 4,
  FM_SETPOS = 5,
  FM_GETPOS = 6,
};

struct DEVINFO {
  char Reset;
  unsigned char CurrMode;
  int VID;             // vendor ID as enumerated now
  int PID;             // product ID as enumerated now
  int OLD_VID;         // home vendor ID from the identity block
  int OLD_PID;         // home product ID from the identity block
  unsigned char SN[8]; // serial number
  int FWRevFlash;      // firmware revision recorded in the identity block
  int FWRev;           // firmware revision running now
};

// Run selection, fixed before the scan.
extern int FunctionMode;
extern int POSMode;
extern int NotResetDevice;
extern int DbgFlag;

// The controller being handled.
extern int IsLegacy;
extern int ChipID;
extern int FwRev;
extern DEVINFO DevInfo;

// The one device a run started with --device SPEC handles (active), by its bus and device
// number; every other device is left alone. name: the kernel's name of the USB device ("1-1"),
// empty when unknown.
struct DEVSELECT {
  bool active;
  int busnum;
  int devnum;
  char name[64];
};
extern DEVSELECT OneDevice;

// What the run achieved with the controllers it configured: how many reached what its word asks
// of them (a PCT controller a valid identity block and the position mode read back; a resistive
// controller supported firmware and its rotation), and how many did not. Whether a run
// succeeded is judged by these, not by the count of controllers handled.
extern int ReachedCnt;
extern int MissedCnt;

// Package options.
extern ConfigMem MyConfig;

// Directory of the debug marker, the options file and every file written (ends in '/').
#define DEFAULT_PANEL_DIR "/opt/.touch_panel/"
extern char PanelDir[256];

// Points PanelDir at dir (a '/' is appended when missing). Returns 0 when dir does not fit.
int SetPanelDir(const char *dir);

// Builds PanelDir + name into out. Returns 0 when the path does not fit.
int PanelPath(char *out, unsigned long size, const char *name);

// Puts every record above back to its process-start value, and forgets the stop signals
// received (a new run in the same process).
void InitRunState();
