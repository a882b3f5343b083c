#include "dispatch.h"

#include <cstdio>

#include "../base/log.h"
#include "../base/state.h"
#include "../base/stop.h"
#include "../pct/params.h"
#include "../pct/posmode.h"
#include "identity.h"
#include "modeswitch.h"

namespace {

// Moves the controller to POSMode when it is not there; returns whether it is there at the end
// (no mode requested counts as there).
bool DecideMode(hid_device *dev, unsigned char CurrPosMode) {
  const bool legacy = IsLegacy == 1;
  const char keep = static_cast<char>(NotResetDevice);
  switch (POSMode) {
  case 1:
    if (legacy ? CurrPosMode == 1 : (CurrPosMode == 1 && DevInfo.PID == DevInfo.OLD_PID))
      return true;
    SetDevtoDigitizer(dev, keep);
    return SwitchReached;
  case 2:
    if (legacy ? CurrPosMode == 2 : (CurrPosMode == 2 && DevInfo.PID == MOUSE_PID))
      return true;
    SetDevtoMouse(dev, keep);
    return SwitchReached;
  case 3:
  case 4: {
    const int target = StoredPositionMode(POSMode, IsLegacy, ChipID, FwRev);
    bool done = CurrPosMode == target && (legacy || DevInfo.PID == HYBRID_PID);
    if (done)
      return true;
    if (target == 3)
      SetDevtoHybrid1(dev, keep);
    else
      SetDevtoHybrid2(dev, keep);
    return SwitchReached;
  }
  default:
    return true;
  }
}

} // namespace

bool QualifiesForHybridOrder(int chip, int fwRev) {
  return (chip == 2 && fwRev > 407) || (chip == 8 && fwRev > 391 && fwRev < 800);
}

int StoredPositionMode(int requested, int isLegacy, int chip, int fwRev) {
  if (requested != 3 && requested != 4)
    return requested;
  if (isLegacy == 1)
    return 4;
  return (requested == 3) == QualifiesForHybridOrder(chip, fwRev) ? 3 : 4;
}

const char *PositionModeName(int stored, int isLegacy, int chip, int fwRev) {
  switch (stored) {
  case 1:
    return "digitizer";
  case 2:
    return "mouse";
  case 3:
  case 4:
    if ((isLegacy == 1 && stored == 4) || (isLegacy != 1 && chip == 0))
      return "hybrid";
    if (isLegacy == 1)
      return "hybrid-d";
    return StoredPositionMode(3, isLegacy, chip, fwRev) == stored ? "hybrid-d" : "hybrid-m";
  default:
    return "unknown";
  }
}

bool InSiteMode(int stored, int pid, int isLegacy, int chip, int fwRev, int site) {
  if (stored != StoredPositionMode(site, isLegacy, chip, fwRev))
    return false;
  if (isLegacy == 1)
    return true;
  switch (site) {
  case 2:
    return pid == MOUSE_PID;
  case 3:
  case 4:
    return pid == HYBRID_PID;
  default:
    return pid != MOUSE_PID && pid != HYBRID_PID;
  }
}

int SetPCTDevices(hid_device *dev) {
  int ret = 0;
  switch (FunctionMode) {
  case FM_CONFIGURE:
    ret = ChkSNFlash(dev);
    break;
  case FM_CLEAN:
    EmptyParames(dev);
    break;
  case FM_TEST:
    ret = EmptyParames(dev) != 0 ? 1 : 0;
    break;
  case FM_SN:
    GetMySN(dev);
    break;
  case FM_SETPOS:
    DebugMsg(3, "===set pos mode=%d===\n", POSMode);
    SetPOSMode(dev, POSMode);
    break;
  case FM_GETPOS: {
    const unsigned char mode = GetPOSMode(dev);
    if (!ProtocolAbandoned())
      printf("pos mode=%d\n", mode);
    break;
  }
  default:
    break;
  }

  if (ret != 0) {
    DebugMsg(1, "check pass\n");
    unsigned char CurrPosMode = GetPOSMode(dev);
    DebugMsg(3, "pos mode=%d set to POSMode:%d\n", CurrPosMode, POSMode);
    // Without a mode requested, a mode that cannot be read is a controller that did not answer.
    const bool there = DecideMode(dev, CurrPosMode) && (POSMode != 0 || CurrPosMode != 0);
    (there ? ReachedCnt : MissedCnt)++;
  } else if (FunctionMode == FM_CONFIGURE) {
    DebugMsg(0, "check fail,not support this touch screen.\n");
    MissedCnt++;
  }
  return 1;
}
