#include "resproto.h"

#include <cstdio>
#include <cstring>

#include "../pct/cmdmode.h"
#include "../run/log.h"
#include "../run/pause.h"
#include "../run/state.h"

namespace {

constexpr unsigned char kStart = 0x01;
constexpr unsigned char kEnd = 0x0D;

// Builds the request frame for command cmd with operands into buf; returns the length to send.
int BuildFrame(unsigned char *buf, const char *cmd, const char *operands) {
  size_t nops = strlen(operands);
  buf[0] = 0x01;
  buf[1] = static_cast<unsigned char>(nops + 4);
  buf[2] = kStart;
  buf[3] = static_cast<unsigned char>(cmd[0]);
  buf[4] = static_cast<unsigned char>(cmd[1]);
  // NOLINTNEXTLINE(bugprone-not-null-terminated-result): a frame, ended by kEnd below
  memcpy(buf + 5, operands, nops);
  buf[5 + nops] = kEnd;
  return static_cast<int>(nops + 6);
}

// Zeroes the answer buffer and fetches length bytes of report 1 into it.
int Fetch(hid_device *dhandle, unsigned char *answer, size_t size, size_t length) {
  memset(answer, 0, size);
  answer[0] = 0x01;
  return hid_get_feature_report(dhandle, answer, length);
}

// The write commands: up to eleven attempts, each acknowledged by the status answer "0".
unsigned char Acknowledged(hid_device *dhandle, const unsigned char *request, int length) {
  unsigned char answer[32];
  for (int attempt = 1;; attempt++) {
    bool sent = !TransferFailed(hid_send_feature_report(dhandle, request, length));
    ProtocolSleep(50);
    memset(answer, 0, sizeof answer);
    bool fetched = sent && !TransferFailed(Fetch(dhandle, answer, sizeof answer, 10));
    if (fetched && answer[2] == kStart && answer[3] == '0' && answer[4] == kEnd)
      return 1;
    ProtocolSleep(300);
    if (attempt >= 11)
      return 0;
  }
}

} // namespace

unsigned char GetFirmware(hid_device *dhandle, char *firmware_ver) {
  unsigned char request[16];
  int length = BuildFrame(request, "OI", "");
  unsigned char answer[32];
  for (int attempt = 1;; attempt++) {
    if (TransferFailed(hid_send_feature_report(dhandle, request, length))) {
      DebugMsg(3, "GetFirmware SetFeature failed err=000\r\n ");
      return 0;
    }
    ProtocolSleep(300);
    int got = Fetch(dhandle, answer, sizeof answer, 20);
    int end = -1;
    for (int i = 3; i < got && i < 20; i++) {
      if (answer[i] == kEnd) {
        end = i;
        break;
      }
    }
    bool status1 = answer[2] == kStart && answer[3] == '1' && answer[4] == kEnd;
    if (!status1 && end >= 0) {
      int n = 0;
      for (int i = 3; i < end && answer[i] != 0 && n < 16; i++)
        firmware_ver[n++] = static_cast<char>(answer[i]);
      firmware_ver[n] = '\0';
      return 1;
    }
    ProtocolSleep(300);
    if (attempt >= 11)
      return 0;
  }
}

int CheckResFWVer(hid_device *dev) {
  char version[20] = {};
  if (GetFirmware(dev, version) == 0)
    return 0;
  DebugMsg(1, "Firmware Version:%s\n", version);
  if (version[0] == '\0')
    return 0;
  if (strstr(version, "V3.0") != nullptr) {
    DebugMsg(0, "Driver dose not support this device,\nplease contact us via " RES_SUPPORT_ADDRESS
                "\n");
    return 0;
  }
  return 1;
}

int GetResRotation(hid_device *dhandle) {
  unsigned char request[16];
  char operands[3];
  snprintf(operands, sizeof operands, "%02X", 0x43);
  int length = BuildFrame(request, "GP", operands);
  unsigned char answer[32];
  for (int attempt = 1; attempt <= 4; attempt++) {
    bool sent = !TransferFailed(hid_send_feature_report(dhandle, request, length));
    ProtocolSleep(50);
    memset(answer, 0, sizeof answer);
    bool fetched = sent && !TransferFailed(Fetch(dhandle, answer, sizeof answer, 10));
    PrintData("GetResRotation", answer, sizeof answer);
    if (fetched && answer[2] == kStart && answer[7] == kEnd) {
      int value = HextoInt(reinterpret_cast<const char *>(answer + 3), 4);
      printf("Res Rotation:%d\n", value);
      return value;
    }
  }
  return -1;
}

unsigned char SetResRotation(hid_device *dhandle, int Value) {
  unsigned char request[16];
  char operands[7];
  snprintf(operands, sizeof operands, "%02X%04X", 0x43, static_cast<unsigned>(Value) & 0xFFFF);
  int length = BuildFrame(request, "SP", operands);
  return Acknowledged(dhandle, request, length);
}

unsigned char PermanentParameter(hid_device *dhandle) {
  unsigned char request[16];
  int length = BuildFrame(request, "PL", "");
  return Acknowledged(dhandle, request, length);
}

unsigned char ResetResDevice(hid_device *dhandle) {
  unsigned char request[16];
  int length = BuildFrame(request, "RR", "");
  if (TransferFailed(hid_send_feature_report(dhandle, request, length))) {
    DebugMsg(3, "ResetResDevice SetFeature failed err=000\r\n ");
    return 0;
  }
  return 1;
}

int HextoInt(const char *buf, int Len) {
  int value = 0;
  for (int i = 0; i < Len; i++) {
    signed char c = static_cast<signed char>(buf[i]);
    int digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else
      break;
    value = value * 16 + digit;
  }
  return value;
}
