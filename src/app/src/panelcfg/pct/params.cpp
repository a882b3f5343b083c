#include "params.h"

#include <cstring>

#include "../run/log.h"
#include "../run/pause.h"
#include "../run/state.h"
#include "../support/support.h"
#include "cmdmode.h"

namespace {

int DataOffset() { return IsLegacy == 1 ? 4 : 8; }

int ReadRequestLength() { return IsLegacy == 1 ? 64 : 8; }

// The stored form (Len encoded bytes and two checksum bytes) must fit the 64-byte report.
bool FitsReport(int Len) { return Len >= 0 && Len <= 32 && DataOffset() + Len + 2 <= 64; }

} // namespace

unsigned short CheckSum(const unsigned char *pInt, int size) {
  unsigned short sum = 0x6666;
  for (int i = 0; i < size; i++)
    sum = static_cast<unsigned short>(sum + pInt[i]);
  return sum;
}

int ReadParames(hid_device *dhandle, unsigned char *Parames, int Len) {
  DebugMsg(3, "***ReadParames Start IsLegacy:%d***\n", IsLegacy);
  if (!FitsReport(Len))
    return 0;
  const int offset = DataOffset();
  const unsigned char req[64] = {0x06, 0xA1, static_cast<unsigned char>(Len + 2)};
  unsigned char buf[64];
  if (IsLegacy == 1) {
    DebugMsg(3, "ReadParames 8752\n");
    if (enter_cmd_mode(dhandle) == 0)
      return 0;
  } else {
    DebugMsg(3, "ReadParames 8753\n");
  }
  switch (ReadReply(dhandle, req, ReadRequestLength(), 10, buf, nullptr)) {
  case READ_SEND_FAILED:
    DebugMsg(3, "ReadParames SetFeature failed err=000\r\n ");
    return 0;
  case READ_REPLY_FAILED:
    DebugMsg(3, "ReadParames GetFeature failed err=001\r\n ");
    return 0;
  case READ_OK:
    break;
  }
  PrintData("ReadParames RespBuf", buf, sizeof buf);
  if (IsLegacy == 1 && leave_cmd_mode(dhandle) == 0)
    return 0;
  unsigned short cSumf = CheckSum(buf + offset, Len);
  unsigned short cSum = static_cast<unsigned short>(buf[offset + Len] | buf[offset + Len + 1] << 8);
  if (cSumf != cSum) {
    DebugMsg(3, "ReadParames checksum fail cSumf=0x%04x cSum=0x%04x\n", cSumf, cSum);
    return 2;
  }
  DebugMsg(3, "ReadParames checksum pass cSumf=0x%04x cSum=0x%04x\n", cSumf, cSum);
  unsigned char plain[32];
  DecodeData(buf + offset, plain);
  memcpy(Parames, plain, static_cast<size_t>(Len));
  PrintData("ReadParames DecodeData", Parames, Len);
  DebugMsg(3, "***ReadParames End***\n");
  return 1;
}

int WriteParames(hid_device *dhandle, const unsigned char *Parames, int Len) {
  if (!FitsReport(Len))
    return 0;
  unsigned char newParames[64] = {};
  EncodeData(Parames, newParames, 0, 32);
  unsigned short sum = CheckSum(newParames, Len);
  newParames[Len] = static_cast<unsigned char>(sum);
  newParames[Len + 1] = static_cast<unsigned char>(sum >> 8);
  PrintData("WriteParames original", Parames, Len);
  if (IsLegacy == 1) {
    if (enter_cmd_mode(dhandle) == 0)
      return 0;
    DebugMsg(3, "enter_cmd_mode pass\n ");
  }
  unsigned char buf[64] = {0x08, 0xA8, static_cast<unsigned char>(Len + 2)};
  memcpy(buf + DataOffset(), newParames, static_cast<size_t>(Len) + 2);
  if (TransferFailed(hid_send_feature_report(dhandle, buf, sizeof buf)))
    return 0;
  ProtocolSleep(100);
  if (IsLegacy == 1 && leave_cmd_mode(dhandle) == 0)
    return 0;
  DebugMsg(3, "WriteParames End\n ");
  return 1;
}

char EmptyParames(hid_device *dhandle) {
  DebugMsg(3, "EmptyParames\n ");
  if (IsLegacy == 1) {
    if (enter_cmd_mode(dhandle) == 0)
      return 0;
    DebugMsg(3, "enter_cmd_mode pass\n ");
  }
  unsigned char buf[64] = {0x08, 0xA8, 0x40};
  if (TransferFailed(hid_send_feature_report(dhandle, buf, sizeof buf))) {
    DebugMsg(3, "EmptyParames SetFeature failed err=000\n ");
    return 0;
  }
  const unsigned char req[64] = {0x06, 0xA1, 0x40};
  switch (ReadReply(dhandle, req, ReadRequestLength(), 50, buf, nullptr)) {
  case READ_SEND_FAILED:
    DebugMsg(3, "EmptyParames SetFeature failed err=001\r\n ");
    return 0;
  case READ_REPLY_FAILED:
    DebugMsg(3, "EmptyParames GetFeature failed err=002\r\n ");
    return 0;
  case READ_OK:
    break;
  }
  if (IsLegacy == 1 && leave_cmd_mode(dhandle) == 0)
    return 0;
  if (FunctionMode == FM_CLEAN)
    EnablePrintData("EmptyParames RespBuf", buf, sizeof buf);
  else
    PrintData("EmptyParames RespBuf", buf, sizeof buf);
  return 1;
}
