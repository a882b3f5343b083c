#include "posmode.h"

#include <cstring>

#include "../run/log.h"
#include "../run/state.h"
#include "cmdmode.h"

char WritePOSMode(hid_device *dev, int Mode) {
  unsigned char buf[64] = {};
  unsigned int value = static_cast<unsigned int>(Mode);
  buf[0] = 0x08;
  if (IsLegacy == 1) {
    if (enter_cmd_mode(dev) == 0)
      return 0;
    buf[1] = 0x91;
    buf[2] = 0x05;
    buf[4] = 0xC9;
    buf[5] = static_cast<unsigned char>(value);
    buf[6] = static_cast<unsigned char>(value >> 8);
    buf[7] = static_cast<unsigned char>(value >> 16);
    buf[8] = static_cast<unsigned char>(value >> 24);
    DebugMsg(3, "***WritePOSMode 8752***\n");
  } else {
    buf[1] = 0x84;
    buf[2] = 0xC9;
    buf[4] = static_cast<unsigned char>(value);
    DebugMsg(3, "***WritePOSMode 8753***\n");
  }
  hid_send_feature_report(dev, buf, sizeof buf);
  if (IsLegacy == 1 && leave_cmd_mode(dev) == 0)
    return 0;
  return 1;
}

char ReadPOSConfig(hid_device *dhandle, unsigned char *Parames, int Len) {
  const bool legacy = IsLegacy == 1;
  const int offset = legacy ? 4 : 8;
  if (Len < 0 || Len > 64 - offset)
    return 0;
  const unsigned char req[64] = {0x06, 0xA2, static_cast<unsigned char>(Len)};
  unsigned char buf[64];
  int got = 0;
  switch (ReadReply(dhandle, req, legacy ? 64 : 8, 20, buf, &got)) {
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
  unsigned char buf[64] = {};
  DebugMsg(3, "WriteUSBID VID:0x%04X PID:0x%04X\n", VID, PID);
  buf[0] = 0xF3;
  buf[1] = 0x08;
  buf[3] = 0x02;
  buf[6] = static_cast<unsigned char>(VID);
  buf[7] = static_cast<unsigned char>(VID >> 8);
  buf[8] = static_cast<unsigned char>(PID);
  buf[9] = static_cast<unsigned char>(PID >> 8);
  int res = hid_send_feature_report(dev, buf, sizeof buf);
  if (TransferFailed(res))
    return 0;
  return static_cast<char>(res);
}
