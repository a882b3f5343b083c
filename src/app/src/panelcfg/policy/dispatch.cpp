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

// Current-generation firmware on which the hybrid requests map straight to modes 3 and 4.
bool QualifyingFirmware() {
  return (ChipID == 2 && FwRev > 407) || (ChipID == 8 && FwRev > 391 && FwRev < 800);
}

void DecideMode(hid_device *dev, unsigned char CurrPosMode) {
  const bool legacy = IsLegacy == 1;
  const char keep = static_cast<char>(NotResetDevice);
  switch (POSMode) {
  case 1:
    if (legacy ? CurrPosMode == 1 : (CurrPosMode == 1 && DevInfo.PID == DevInfo.OLD_PID))
      return;
    SetDevtoDigitizer(dev, keep);
    return;
  case 2:
    if (legacy ? CurrPosMode == 2 : (CurrPosMode == 2 && DevInfo.PID == MOUSE_PID))
      return;
    SetDevtoMouse(dev, keep);
    return;
  case 3:
  case 4: {
    // Legacy controllers take mode 4 for either hybrid request; current firmware that does not
    // qualify has the two hybrid modes swapped.
    int target = 4;
    if (!legacy)
      target = (POSMode == 3) == QualifyingFirmware() ? 3 : 4;
    bool done = CurrPosMode == target && (legacy || DevInfo.PID == HYBRID_PID);
    if (done)
      return;
    if (target == 3)
      SetDevtoHybrid1(dev, keep);
    else
      SetDevtoHybrid2(dev, keep);
    return;
  }
  default:
    return;
  }
}

} // namespace

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
    DecideMode(dev, CurrPosMode);
  } else if (FunctionMode == FM_CONFIGURE) {
    DebugMsg(0, "check fail,not support this touch screen.\n");
  }
  return 1;
}
