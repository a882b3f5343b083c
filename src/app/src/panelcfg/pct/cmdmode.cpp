#include "cmdmode.h"

#include <cstdio>
#include <cstring>

#include "../base/log.h"
#include "../base/pause.h"
#include "../base/state.h"
#include "requests.h"

namespace {

unsigned int IdentityOf(const unsigned char *reply) {
  return static_cast<unsigned int>(reply[1]) | static_cast<unsigned int>(reply[2]) << 8 |
         static_cast<unsigned int>(reply[3]) << 16 | static_cast<unsigned int>(reply[4]) << 24;
}

int SwitchDeviceMode(hid_device *handle, unsigned char target) {
  int count = kDeviceModeAttempts;
  for (;;) {
    set_device_mode(handle, target);
    ProtocolSleep(kDeviceModeSettleMs);
    if (get_device_mode(handle) == target)
      return count;
    if (--count == 0)
      return 0;
  }
}

} // namespace

void set_device_mode(hid_device *handle, unsigned char mode) {
  PctReport buf;
  int len = BuildSetDeviceMode(buf, mode);
  hid_send_feature_report(handle, buf, static_cast<size_t>(len));
}

ReadStep ReadReply(hid_device *dev, const unsigned char *req, int reqLen, unsigned int ms,
                   unsigned char (&reply)[64], int *got) {
  if (TransferFailed(hid_send_feature_report(dev, req, static_cast<size_t>(reqLen))))
    return READ_SEND_FAILED;
  ProtocolSleep(ms);
  memset(reply, 0, sizeof reply);
  reply[0] = kPctReplyReport;
  int n = hid_get_feature_report(dev, reply, sizeof reply);
  if (TransferFailed(n))
    return READ_REPLY_FAILED;
  if (got != nullptr)
    *got = n;
  return READ_OK;
}

unsigned char get_device_mode(hid_device *handle) {
  PctReport req;
  int len = BuildGetDeviceMode(req);
  unsigned char reply[64];
  if (ReadReply(handle, req, len, kDeviceModeReplyMs, reply, nullptr) != READ_OK)
    return 0;
  return reply[4];
}

int enter_cmd_mode(hid_device *handle) {
  int count = SwitchDeviceMode(handle, kPctCommandMode);
  DebugMsg(3, "***enter_cmd_mode count:%d***\n", count);
  return count;
}

int leave_cmd_mode(hid_device *handle) {
  int count = SwitchDeviceMode(handle, kPctNormalMode);
  DebugMsg(3, "***leave_cmd_mode count:%d***\n", count);
  return count;
}

int GetIsLegacy(hid_device *handle) {
  unsigned char buf[64] = {kPctIdentityReport};
  if (hid_get_feature_report(handle, buf, kPctGenerationReadLength) < 0)
    return 0;
  unsigned int id = IdentityOf(buf);
  if ((id >> 28) == 3) {
    DebugMsg(3, "It is ZAZ8755 or RAV8752 !\n");
    return 1;
  }
  unsigned int chip = (id >> 12) & 0xF;
  unsigned int rev = id & 0xFFF;
  if (chip == 8 && ((rev >= 800 && rev <= 824) || (rev >= 360 && rev <= 392)))
    return 2;
  if (chip == 2 && rev >= 360 && rev <= 395)
    return 2;
  return 3;
}

int HexStrToInt(const char *Buffer, int Len) {
  int value = 0;
  for (int i = 0; i < Len; i++) {
    char c = Buffer[i];
    int digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else
      break;
    value = value * 16 + digit;
  }
  return value;
}

namespace {
char fwVersion[32];
}

const char *LastFwVersion() { return fwVersion; }

int GetFwID(hid_device *dev) {
  unsigned char buf[kPctFirmwareReadLength] = {kPctIdentityReport};
  if (TransferFailed(hid_get_feature_report(dev, buf, sizeof buf))) {
    DebugMsg(3, "Read FW failed err=001\r\n");
    return 0;
  }
  PrintData("GetFwID RespBuf", buf, sizeof buf);
  char digits[9];
  snprintf(digits, sizeof digits, "%08X", IdentityOf(buf));
  ChipID = HexStrToInt(digits + 4, 1);
  FwRev = HexStrToInt(digits + 5, 3);
  // "Sd.d.dd(r<FwRev>)": FwRev has three hex digits, so at most 14 characters; the buffer leaves
  // room for any int so that no format can be cut.
  snprintf(fwVersion, sizeof fwVersion, "S%c.%c.%c%c(r%d)", digits[0], digits[1], digits[2],
           digits[3], FwRev);
  DevInfo.FWRev = FwRev;
  DebugMsg(1, "Firmware Version:%s ChipID:%d\n", fwVersion, ChipID);
  return 1;
}

void ResetDevice(hid_device *dev) {
  DebugMsg(3, "***ResetDevice***\n");
  if (IsLegacy == 1 && enter_cmd_mode(dev) == 0)
    return;
  PctReport buf;
  int len = BuildReset(buf, IsLegacy == 1);
  hid_send_feature_report(dev, buf, static_cast<size_t>(len));
  if (IsLegacy == 1)
    leave_cmd_mode(dev);
}
