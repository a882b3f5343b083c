#include "posmode.h"

#include <cstring>

#include "../base/log.h"
#include "../base/state.h"
#include "cmdmode.h"
#include "requests.h"

char WritePOSMode(hid_device *dev, int Mode) {
  const bool legacy = IsLegacy == 1;
  if (legacy) {
    if (enter_cmd_mode(dev) == 0)
      return 0;
    DebugMsg(3, "***WritePOSMode 8752***\n");
  } else {
    DebugMsg(3, "***WritePOSMode 8753***\n");
  }
  PctReport buf;
  int len = BuildWritePosMode(buf, legacy, static_cast<unsigned int>(Mode));
  hid_send_feature_report(dev, buf, static_cast<size_t>(len));
  if (IsLegacy == 1 && leave_cmd_mode(dev) == 0)
    return 0;
  return 1;
}

char ReadPOSConfig(hid_device *dhandle, unsigned char *Parames, int Len) {
  const bool legacy = IsLegacy == 1;
  const int offset = PctDataOffset(legacy);
  if (Len < 0 || Len > kPctReportSize - offset)
    return 0;
  PctReport req;
  int reqLen = BuildReadPosConfig(req, legacy, Len);
  unsigned char buf[64];
  int got = 0;
  switch (ReadReply(dhandle, req, reqLen, kPosConfigReplyMs, buf, &got)) {
  case READ_SEND_FAILED:
    DebugMsg(3, "ReadPOSConfig SetFeature failed err=000\r\n ");
    return 0;
  case READ_REPLY_FAILED:
    DebugMsg(3, "ReadPOSConfig GetFeature failed err=001\r\n ");
    return 0;
  case READ_OK:
    break;
  }
  memcpy(Parames, buf + offset, static_cast<size_t>(Len));
  return static_cast<char>(got);
}

unsigned char GetPOSMode(hid_device *dev) {
  unsigned char area[16] = {};
  if (ReadPOSConfig(dev, area, sizeof area) == 0)
    return 0;
  DebugMsg(3, "***GetPOSMode raw_data : %d***\n", area[1]);
  return static_cast<unsigned char>(area[1] + 1);
}

void SetPOSMode(hid_device *dev, int mode) {
  // Only the four position modes are ever stored.
  if (mode < 1 || mode > 4) {
    DebugMsg(3, "###pos mode %d out of range, nothing written###\n", mode);
    return;
  }
  unsigned char value = static_cast<unsigned char>(mode + 31);
  unsigned char current = GetPOSMode(dev);
  DebugMsg(3, "###set pos mode %d to %d(0x%02x)###\n", current, mode, value);
  if (WritePOSMode(dev, value) != 0)
    ResetDevice(dev);
}

char WriteUSBID(hid_device *dev, int VID, int PID) {
  DebugMsg(3, "WriteUSBID VID:0x%04X PID:0x%04X\n", VID, PID);
  PctReport buf;
  int len = BuildWriteUsbId(buf, VID, PID);
  int res = hid_send_feature_report(dev, buf, static_cast<size_t>(len));
  if (TransferFailed(res))
    return 0;
  return static_cast<char>(res);
}
