#include "devtable.h"

#include "../base/log.h"
#include "../base/state.h"

MYHIDINFO cMyHidInfo = {};

namespace {
constexpr int kOldSetEnd = 16; // the old product-ID set is always entries 0 to 15
}

void LoadVidPid() {
  static constexpr int kVids[4] = {0x22B9, 0x1BFD, 0x1DDB, 0x1234};
  static constexpr int kOldPids[16] = {0x1688, 0x0001, 0x0006, 0x0008, 0x3050, 0x1668,
                                       0x1568, 0x1368, 0x1268, 0x6968, 0x5968, 0x1968,
                                       0x2968, 0x8008, 0x0005, 0x8888};
  cMyHidInfo.VidCnt = 4;
  cMyHidInfo.PidCnt = 26;
  for (int i = 0; i < 4; i++)
    cMyHidInfo.Vids[i] = kVids[i];
  cMyHidInfo.Vids[4] = 0;
  for (int i = 0; i < kOldSetEnd; i++)
    cMyHidInfo.Pids[i] = kOldPids[i];
  for (int i = 0; i < 10; i++)
    cMyHidInfo.Pids[kOldSetEnd + i] = 0x2088 + i * 0x100;
}

namespace {
unsigned char InPids(int Pid, int from, int to) {
  if (to > 26)
    to = 26;
  for (int i = from; i < to; i++)
    if (cMyHidInfo.Pids[i] == Pid)
      return 1;
  return 0;
}
} // namespace

unsigned char ChkOldPid(int Pid) { return InPids(Pid, 0, kOldSetEnd); }

unsigned char ChkNewPid(int Pid) { return InPids(Pid, kOldSetEnd, cMyHidInfo.PidCnt); }

unsigned char ChkAllPid(int Pid) { return InPids(Pid, 0, cMyHidInfo.PidCnt); }

unsigned char ChkVid(int Vid) {
  int cnt = cMyHidInfo.VidCnt > 5 ? 5 : cMyHidInfo.VidCnt;
  for (int i = 0; i < cnt; i++)
    if (cMyHidInfo.Vids[i] == Vid)
      return 1;
  return 0;
}

namespace {
// The PCT vendor IDs the options select; empty slots are 0.
void PctVendors(int (&vendors)[5]) {
  for (int &v : vendors)
    v = 0;
  if (MyConfig.alt_pct_vendors) {
    vendors[0] = 0x1BFD;
    vendors[1] = 0x2575;
  } else {
    vendors[0] = 0x2575;
    vendors[1] = 0x22B9;
    vendors[2] = 0x2149;
    vendors[3] = 0x2619;
  }
}

bool IsResistive(int VID, int PID) {
  return MyConfig.res && ChkVid(VID) && (MyConfig.new_fw ? ChkNewPid(PID) : ChkOldPid(PID));
}

// An empty slot names no vendor: a device reporting vendor ID 0 is not a PCT controller.
bool IsPctVendor(int vendor, int VID, int PID) {
  return vendor != 0 && vendor == VID && !ChkAllPid(PID);
}
} // namespace

int ClassifyUSBID(int VID, int PID) {
  if (IsResistive(VID, PID))
    return USBID_RES;
  int vendors[5];
  PctVendors(vendors);
  for (int vendor : vendors)
    if (IsPctVendor(vendor, VID, PID))
      return USBID_PCT;
  return USBID_NONE;
}

int CheckUSBID(int VID, int PID) {
  DebugMsg(3, "CheckUSBID 0x%x 0x%x\n", VID, PID);
  // The vendor lists name each vendor once: a device matches one slot at most.
  const int family = ClassifyUSBID(VID, PID);
  if (family == USBID_RES) {
    DebugMsg(3, "CheckUSBID RES 0x%x 0x%x---match\n", VID, PID);
  } else if (family == USBID_PCT) {
    DebugMsg(3, "CheckUSBID PCT 0x%x 0x%x---match\n", VID, PID);
    DevInfo.VID = VID;
    DevInfo.PID = PID;
  }
  return family;
}
