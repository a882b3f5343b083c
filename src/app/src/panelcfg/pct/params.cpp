#include "params.h"

#include <cstring>

#include "../base/log.h"
#include "../base/pause.h"
#include "../base/state.h"
#include "../support/support.h"
#include "cmdmode.h"
#include "requests.h"

namespace {

int DataOffset() { return PctDataOffset(IsLegacy == 1); }

// The stored form (Len encoded bytes and two checksum bytes) must fit the 64-byte report.
bool FitsReport(int Len) {
  return Len >= 0 && Len <= 32 && DataOffset() + Len + 2 <= kPctReportSize;
}

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
  PctReport req;
  const int reqLen = BuildReadParams(req, IsLegacy == 1, Len + 2);
  unsigned char buf[64];
  if (IsLegacy == 1) {
    DebugMsg(3, "ReadParames 8752\n");
    if (enter_cmd_mode(dhandle) == 0)
      return 0;
  } else {
    DebugMsg(3, "ReadParames 8753\n");
  }
  switch (ReadReply(dhandle, req, reqLen, kParamsReplyMs, buf, nullptr)) {
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
  PctReport buf;
  const int len = BuildWriteParams(buf, IsLegacy == 1, newParames, Len + 2);
  if (TransferFailed(hid_send_feature_report(dhandle, buf, static_cast<size_t>(len))))
    return 0;
  ProtocolSleep(kParamsWriteSettleMs);
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
  PctReport buf;
  const int len = BuildWriteParams(buf, IsLegacy == 1, nullptr, kPctWholeParamArea);
  if (TransferFailed(hid_send_feature_report(dhandle, buf, static_cast<size_t>(len)))) {
    DebugMsg(3, "EmptyParames SetFeature failed err=000\n ");
    return 0;
  }
  PctReport req;
  const int reqLen = BuildReadParams(req, IsLegacy == 1, kPctWholeParamArea);
  switch (ReadReply(dhandle, req, reqLen, kEmptyReplyMs, buf, nullptr)) {
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
