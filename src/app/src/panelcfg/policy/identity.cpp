#include "identity.h"

#include <array>
#include <cstdio>
#include <cstring>

#include "../base/log.h"
#include "../base/pause.h"
#include "../base/state.h"
#include "../pct/params.h"
#include "../pct/requests.h"
#include "../support/support.h"
#include "../transport/boundary.h"

namespace {

constexpr int kBlockLen = 32;

int Field16(const unsigned char *block, int at) { return block[at] * 256 + block[at + 1]; }

void PutField16(unsigned char *block, int at, int value) {
  block[at] = static_cast<unsigned char>(value >> 8);
  block[at + 1] = static_cast<unsigned char>(value);
}

// The bytes of a random draw that make the serial number, in its order.
constexpr std::array<int, 8> kSerialPicks = {5, 10, 2, 7, 11, 9, 3, 8};
constexpr size_t kSerialLen = kSerialPicks.size();

// The serial number a recording carries in place of the real one.
constexpr std::array<unsigned char, kSerialLen> kRecordedSerial = {'R', 'E', 'D', 'A',
                                                                   'C', 'T', 'E', 'D'};

// The last report a recording saw sent asked for the identity block.
bool blockAsked = false;

// An encoded identity block with its checksum at block (room bytes from there on): when the
// checksum holds, its serial number becomes kRecordedSerial and the checksum is made to fit.
void ReplaceSerial(unsigned char *block, size_t room) {
  if (room < static_cast<size_t>(kBlockLen) + 2)
    return;
  const unsigned short stored =
      static_cast<unsigned short>(block[kBlockLen] | block[kBlockLen + 1] << 8);
  if (CheckSum(block, kBlockLen) != stored)
    return;
  std::array<unsigned char, kBlockLen> plain{};
  DecodeData(block, plain.data());
  memcpy(plain.data() + SN_ADDR, kRecordedSerial.data(), kSerialLen);
  EncodeData(plain.data(), block, 0, kBlockLen);
  const unsigned short sum = CheckSum(block, kBlockLen);
  block[kBlockLen] = static_cast<unsigned char>(sum);
  block[kBlockLen + 1] = static_cast<unsigned char>(sum >> 8);
}

} // namespace

int ReadIdentityBlock(hid_device *DeviceHandle) {
  char text[17] = {};
  unsigned char block[kBlockLen] = {};
  int result = 0;
  for (int attempt = 0; attempt < kIdentityReadAttempts; attempt++) {
    result = ReadParames(DeviceHandle, block, kBlockLen);
    if (result == 1) {
      memcpy(DevInfo.SN, block + SN_ADDR, sizeof DevInfo.SN);
      for (size_t i = 0; i < sizeof DevInfo.SN; i++)
        snprintf(text + 2 * i, 3, "%02X", DevInfo.SN[i]);
      DevInfo.OLD_VID = Field16(block, 0);
      DevInfo.OLD_PID = Field16(block, 2);
      DevInfo.FWRevFlash = Field16(block, 4);
      DebugMsg(3, "***GetMySN FLASH SN:%s OLD VID:0x%04X PID:0x%04X***\n", text, DevInfo.OLD_VID,
               DevInfo.OLD_PID);
      return 1;
    }
    DebugMsg(3, "GetMySN ReadParamas fail\n");
    ProtocolSleep(kIdentityRetryMs);
  }
  return result;
}

unsigned char GetMySN(hid_device *DeviceHandle) {
  return ReadIdentityBlock(DeviceHandle) == 1 ? 1 : 0;
}

bool IdentityNeedsRewrite() {
  return DevInfo.FWRev != DevInfo.FWRevFlash || (DevInfo.OLD_PID == 0 && DevInfo.OLD_VID == 0) ||
         DevInfo.OLD_PID == HYBRID_PID || DevInfo.OLD_PID == MOUSE_PID;
}

unsigned char SetMySN(hid_device *DeviceHandle) {
  unsigned char block[kBlockLen] = {};
  int pid = DevInfo.PID;
  if (pid == HYBRID_PID || pid == MOUSE_PID)
    pid = GetDefaultPID(DevInfo.VID);
  memcpy(block + SN_ADDR, DevInfo.SN, sizeof DevInfo.SN);
  PutField16(block, 0, DevInfo.VID);
  PutField16(block, 2, pid);
  PutField16(block, 4, DevInfo.FWRev);
  int status = WriteParames(DeviceHandle, block, kBlockLen);
  DebugMsg(3, "***SetMySN WriteParamas status=%d SN_ADDR:%d***\n", status, SN_ADDR);
  return static_cast<unsigned char>(status);
}

int GetDefaultPID(int VendorID) {
  switch (VendorID) {
  case 0x22B9:
    return 0x0040;
  case 0x2575:
    return 0x8753;
  case 0x2149:
    return 0x3D28;
  default:
    return 0x8753;
  }
}

void GenerateSreialNumber(unsigned char *SN) {
  unsigned char R[16] = {};
  DrawRandom(R, 1);
  for (size_t i = 0; i < kSerialLen; i++)
    SN[i] = R[kSerialPicks[i]];
}

void ReplaceSerials(RecordedBytes kind, unsigned char *data, size_t len) {
  const size_t offset = static_cast<size_t>(PctDataOffset(IsLegacy == 1));
  switch (kind) {
  case RECORD_RANDOM:
    if (len < 16)
      return;
    memset(data, 0, len);
    for (size_t i = 0; i < kSerialLen; i++)
      data[kSerialPicks[i]] = kRecordedSerial[i];
    return;
  case RECORD_SENT:
    if (len < 3) {
      blockAsked = false;
      return;
    }
    blockAsked = data[0] == kPctReadReport && data[1] == 0xA1 && data[2] == kBlockLen + 2;
    if (data[0] == kPctCommandReport && data[1] == 0xA8 && data[2] == kBlockLen + 2 && len > offset)
      ReplaceSerial(data + offset, len - offset);
    return;
  case RECORD_RECEIVED:
    if (blockAsked && len > offset && data[0] == kPctReplyReport)
      ReplaceSerial(data + offset, len - offset);
    blockAsked = false;
    return;
  }
}

unsigned char ChkSNFlash(hid_device *DeviceHandle) {
  bool write = false;
  if (GetMySN(DeviceHandle) == 0) {
    GenerateSreialNumber(DevInfo.SN);
    write = true;
  } else if (IdentityNeedsRewrite()) {
    // The firmware changed since the block was written, or the recorded home IDs are missing
    // or a mode's product ID: rewrite it, keeping the serial number just read.
    write = true;
  }
  if (!write)
    return 1;
  unsigned char result = 0;
  if (SetMySN(DeviceHandle) != 0)
    result = GetMySN(DeviceHandle);
  DebugMsg(3, "GetMySN---2 New OLD_VID:0x%04X OLD_PID:0x%04X\n", DevInfo.OLD_VID, DevInfo.OLD_PID);
  return result;
}
