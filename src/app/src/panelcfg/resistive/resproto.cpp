#include "resproto.h"

#include <cstdio>
#include <cstring>

#include "../base/log.h"
#include "../base/pause.h"
#include "../base/state.h"
#include "requests.h"

namespace {

// Zeroes the answer buffer and fetches length bytes of report 1 into it.
int Fetch(hid_device *dhandle, unsigned char *answer, size_t size, size_t length) {
  memset(answer, 0, size);
  answer[0] = kResReport;
  return hid_get_feature_report(dhandle, answer, length);
}

// The write commands: up to kResWriteAttempts attempts, each acknowledged by the status "0".
unsigned char Acknowledged(hid_device *dhandle, const unsigned char *request, int length) {
  unsigned char answer[32];
  for (int attempt = 1;; attempt++) {
    bool sent = !TransferFailed(hid_send_feature_report(dhandle, request, length));
    ProtocolSleep(kResStatusReplyMs);
    memset(answer, 0, sizeof answer);
    bool fetched =
        sent && !TransferFailed(Fetch(dhandle, answer, sizeof answer, kResStatusAnswerLength));
    if (fetched && answer[2] == kResStart && answer[3] == '0' && answer[4] == kResEnd)
      return 1;
    ProtocolSleep(kResRetryMs);
    if (attempt >= kResWriteAttempts)
      return 0;
  }
}

} // namespace

unsigned char GetFirmware(hid_device *dhandle, char *firmware_ver) {
  unsigned char request[kResRequestSize];
  int length = BuildResFrame(request, kResReadFirmware, "");
  unsigned char answer[32];
  for (int attempt = 1;; attempt++) {
    if (TransferFailed(hid_send_feature_report(dhandle, request, length))) {
      DebugMsg(3, "GetFirmware SetFeature failed err=000\r\n ");
      return 0;
    }
    ProtocolSleep(kResFirmwareReplyMs);
    int got = Fetch(dhandle, answer, sizeof answer, kResFirmwareAnswerLength);
    int end = -1;
    for (int i = 3; i < got && i < static_cast<int>(kResFirmwareAnswerLength); i++) {
      if (answer[i] == kResEnd) {
        end = i;
        break;
      }
    }
    bool status1 = answer[2] == kResStart && answer[3] == '1' && answer[4] == kResEnd;
    if (!status1 && end >= 0) {
      int n = 0;
      for (int i = 3; i < end && answer[i] != 0 && n < 16; i++)
        firmware_ver[n++] = static_cast<char>(answer[i]);
      firmware_ver[n] = '\0';
      return 1;
    }
    ProtocolSleep(kResRetryMs);
    if (attempt >= kResFirmwareAttempts)
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
  if (!ResFirmwareSupported(version)) {
    DebugMsg(0, "Driver dose not support this device,\nplease contact us via " RES_SUPPORT_ADDRESS
                "\n");
    return 0;
  }
  return 1;
}

bool ResFirmwareSupported(const char *version) {
  return version[0] != '\0' && strstr(version, "V3.0") == nullptr;
}

int ReadResRotation(hid_device *dhandle) {
  unsigned char request[kResRequestSize];
  int length = BuildResGetRotation(request);
  unsigned char answer[32];
  for (int attempt = 1; attempt <= kResRotationReadAttempts; attempt++) {
    bool sent = !TransferFailed(hid_send_feature_report(dhandle, request, length));
    ProtocolSleep(kResStatusReplyMs);
    memset(answer, 0, sizeof answer);
    bool fetched =
        sent && !TransferFailed(Fetch(dhandle, answer, sizeof answer, kResStatusAnswerLength));
    PrintData("GetResRotation", answer, sizeof answer);
    if (fetched && answer[2] == kResStart && answer[7] == kResEnd) {
      return HextoInt(reinterpret_cast<const char *>(answer + 3), 4);
    }
  }
  return -1;
}

int GetResRotation(hid_device *dhandle) {
  const int value = ReadResRotation(dhandle);
  if (value >= 0)
    printf("Res Rotation:%d\n", value);
  return value;
}

unsigned char SetResRotation(hid_device *dhandle, int Value) {
  unsigned char request[kResRequestSize];
  int length = BuildResSetRotation(request, Value);
  return Acknowledged(dhandle, request, length);
}

unsigned char PermanentParameter(hid_device *dhandle) {
  unsigned char request[kResRequestSize];
  int length = BuildResFrame(request, kResMakePermanent, "");
  return Acknowledged(dhandle, request, length);
}

unsigned char ResetResDevice(hid_device *dhandle) {
  unsigned char request[kResRequestSize];
  int length = BuildResFrame(request, kResReset, "");
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

int RunResSequence(hid_device *dev) {
  if (FunctionMode == FM_ROTATION) {
    const bool set = SetResRotation(dev, 1) != 0;
    const bool stored = PermanentParameter(dev) != 0;
    (GetResRotation(dev) == 1 && set && stored ? ReachedCnt : MissedCnt)++;
    return 0;
  }
  if (CheckResFWVer(dev) == 0) {
    MissedCnt++;
    return 0;
  }
  bool reset = true;
  if (GetResRotation(dev) != 0) {
    reset = SetResRotation(dev, 0) != 0;
    reset = PermanentParameter(dev) != 0 && reset;
  }
  (reset ? ReachedCnt : MissedCnt)++;
  return 1;
}
