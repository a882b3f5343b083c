#include "modeswitch.h"

#include "../base/log.h"
#include "../base/pause.h"
#include "../base/state.h"
#include "../pct/cmdmode.h"
#include "../pct/posmode.h"
#include "../pct/requests.h"
#include "identity.h"

namespace {

constexpr int kMaxRetargets = 3; // passes after the first that take the reported mode
constexpr int kFallbackVID = 0x22B9;

// A current controller under the hybrid product ID reports either hybrid mode for both.
unsigned char ReadBackMode(hid_device *dev, unsigned char mode, int NewPID) {
  unsigned char curr = GetPOSMode(dev);
  if (IsLegacy != 1 && NewPID == HYBRID_PID && (curr == 3 || curr == 4))
    curr = mode;
  return curr;
}

int ChoosePID(unsigned char mode, int previous) {
  switch (mode) {
  case 1: {
    DebugMsg(1, "Set to digitizer\n");
    int pid = DevInfo.OLD_PID != 0 ? DevInfo.OLD_PID : DevInfo.PID;
    if (pid == MOUSE_PID || pid == HYBRID_PID)
      pid = GetDefaultPID(DevInfo.VID);
    return pid;
  }
  case 2:
    DebugMsg(1, "Set to mouse\n");
    return MOUSE_PID;
  case 3:
  case 4:
    DebugMsg(1, "Set to hybrid\n");
    return HYBRID_PID;
  default:
    return previous;
  }
}

} // namespace

bool SwitchReached = false;

unsigned char SetCurrPOSMode(hid_device *dev, unsigned char mode) {
  const unsigned char asked = mode;
  SwitchReached = false;
  unsigned char ResetFlag = 0;
  unsigned char IDFlag = 1;
  int NewPID = 0;
  int times = 0;

  for (int pass = 0;; pass++) {
    if (IsLegacy != 1) {
      int NewVID = DevInfo.VID;
      DebugMsg(3, "SetCurrPOSMode VID:%04X OLD_PID:%04X\n", DevInfo.VID, DevInfo.OLD_PID);
      NewPID = ChoosePID(mode, NewPID);
      DebugMsg(3, "***SetCurrPOSMode 8753 CurrVID:0x%04X NewPID:0x%04X***\n", NewVID, NewPID);
      if (DevInfo.VID == 0 || DevInfo.PID != NewPID) {
        if (DevInfo.VID == 0)
          NewVID = DevInfo.OLD_VID != 0 ? DevInfo.OLD_VID : kFallbackVID;
        for (;;) {
          char ret = WriteUSBID(dev, NewVID, NewPID);
          DebugMsg(3, "***SetCurrPOSMode 8753 WriteUSBID ret:%d IDFlag:%d***\n", ret, IDFlag);
          if (ret != 0) {
            ResetFlag = 1;
            break;
          }
          if (++times > kSwitchAttemptLimit) {
            IDFlag = 0;
            break;
          }
          ProtocolSleep(kUsbIdRetryMs);
        }
        if (IDFlag == 0)
          return ResetFlag;
      }
    }

    unsigned char CurrPOSMode = ReadBackMode(dev, mode, NewPID);
    DebugMsg(3, "***SetCurrPOSMode CurrPOSMode:%d***\n", CurrPOSMode);
    if (CurrPOSMode == mode && ResetFlag == 0) {
      SwitchReached = mode == asked;
      ProtocolSleep(kModeSettleMs);
      return 0;
    }

    unsigned char NewPosMode = static_cast<unsigned char>(mode + 31);
    for (;;) {
      ResetFlag = static_cast<unsigned char>(WritePOSMode(dev, NewPosMode));
      CurrPOSMode = ReadBackMode(dev, mode, NewPID);
      DebugMsg(3, "***SetCurrPOSMode NewMode:%d CurrPOSMode:%d***\n", mode, CurrPOSMode);
      if (CurrPOSMode == mode) {
        DebugMsg(3, "***SetCurrPOSMode WritePOSMode mode:%d NewPosMode:%d***\n", mode, CurrPOSMode);
        SwitchReached = mode == asked;
        ProtocolSleep(kModeSettleMs);
        return ResetFlag;
      }
      if (++times > kSwitchAttemptLimit)
        break;
    }

    // Take the mode the controller reports as the new target, within bounds: a mode outside
    // the four, or a controller that never settles, ends the call.
    if (CurrPOSMode < 1 || CurrPOSMode > 4 || pass >= kMaxRetargets) {
      DebugMsg(3, "***SetCurrPOSMode gives up at pos mode %d***\n", CurrPOSMode);
      return ResetFlag;
    }
    mode = CurrPOSMode;
  }
}

namespace {
void SetDevTo(hid_device *dev, unsigned char mode, char NotResetDevice) {
  SetCurrPOSMode(dev, mode);
  if (NotResetDevice == 0)
    ResetDevice(dev);
}
} // namespace

void SetDevtoDigitizer(hid_device *dev, char NotResetDevice) { SetDevTo(dev, 1, NotResetDevice); }

void SetDevtoMouse(hid_device *dev, char NotResetDevice) { SetDevTo(dev, 2, NotResetDevice); }

void SetDevtoHybrid1(hid_device *dev, char NotResetDevice) { SetDevTo(dev, 3, NotResetDevice); }

void SetDevtoHybrid2(hid_device *dev, char NotResetDevice) { SetDevTo(dev, 4, NotResetDevice); }
