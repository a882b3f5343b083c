// The controllers: how each model answers HID feature reports.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "internal.h"

namespace vusb::detail {
namespace {

constexpr int kReportSize = 64;

// Parameter area and position configuration start here in the 0xA8 write and the 0x07 reply.
int DataOffset(const Device &d) { return d.model == Model::PctLegacy ? 4 : 8; }

// Legacy configuration commands run only in command mode. Returns true when the command is to
// be carried out; otherwise result is the transfer's outcome.
bool InCommandMode(const Device &d, int size, int &result) {
  if (d.model != Model::PctLegacy || d.deviceMode == 0x90)
    return true;
  switch (d.outsideCmdMode) {
  case OutsideCmdMode::Accept:
    return true;
  case OutsideCmdMode::Stall:
    result = -EPIPE;
    return false;
  case OutsideCmdMode::Ignore:
    break;
  }
  result = size;
  return false;
}

void SetDeviceMode(Device &d, uint8_t mode) {
  int &ignored = d.faults.ignoredModeSets;
  if (ignored < 0)
    return;
  if (ignored > 0) {
    ignored--;
    return;
  }
  d.deviceMode = mode;
}

void StoreParams(Device &d, const uint8_t *r) {
  int offset = DataOffset(d);
  size_t n = r[2];
  if (d.params.size() < n)
    d.params.resize(n, 0xFF);
  // Bytes announced beyond the end of the report arrive as zeros.
  for (size_t i = 0; i < n; i++)
    d.params[i] = offset + static_cast<int>(i) < kReportSize ? r[offset + i] : 0;
}

int PctSetReport(Device &d, int id, const uint8_t *r, int size) {
  int result = size;
  bool legacy = d.model == Model::PctLegacy;
  switch (id) {
  case 0x06:
    if (r[1] == 0xA1 && !InCommandMode(d, size, result))
      return result;
    d.lastRequest = r[1];
    d.lastRequestLen = r[2];
    return size;
  case 0x08:
    switch (r[1]) {
    case 0x91: // legacy: write an item
      if (!legacy)
        return size;
      if (r[4] == 0x82) {
        SetDeviceMode(d, r[5]);
      } else if (r[4] == 0xC9) {
        if (!InCommandMode(d, size, result))
          return result;
        d.storedPosMode = static_cast<uint32_t>(r[5]) | static_cast<uint32_t>(r[6]) << 8 |
                          static_cast<uint32_t>(r[7]) << 16 | static_cast<uint32_t>(r[8]) << 24;
      }
      return size;
    case 0x84: // current: control item
      if (legacy)
        return size;
      if (r[2] == 0x09)
        OnReset(d);
      else if (r[2] == 0xC9)
        d.storedPosMode = r[4];
      return size;
    case 0x85: // legacy: reset
      if (!legacy)
        return size;
      if (!InCommandMode(d, size, result))
        return result;
      OnReset(d);
      return size;
    case 0xA8: // parameter area write
      if (!InCommandMode(d, size, result))
        return result;
      StoreParams(d, r);
      return size;
    default:
      return size;
    }
  case 0xF3:
    if (legacy)
      return -EPIPE;
    if (r[1] == 0x08) {
      d.pendingIds = true;
      d.idsAfterReset = false;
      d.pendingVid = static_cast<uint16_t>(r[6] | r[7] << 8);
      d.pendingPid = static_cast<uint16_t>(r[8] | r[9] << 8);
    }
    return size;
  default:
    return -EPIPE;
  }
}

int PctGetReport(Device &d, int id, uint8_t *out) {
  uint8_t r[kReportSize] = {};
  r[0] = static_cast<uint8_t>(id);
  if (id == 0xF2) {
    for (int i = 0; i < 4; i++)
      r[1 + i] = static_cast<uint8_t>(d.identity >> (8 * i));
  } else if (id == 0x07) {
    int offset = DataOffset(d);
    int room = kReportSize - offset;
    int n = d.lastRequestLen < room ? d.lastRequestLen : room;
    if (d.lastRequest == 0x73) {
      r[4] = d.deviceMode;
    } else if (d.lastRequest == 0xA2) {
      // Position configuration: byte 1 reports the stored value - 32, the mode - 1.
      if (n > 1)
        r[offset + 1] = static_cast<uint8_t>(d.storedPosMode - 32);
    } else if (d.lastRequest == 0xA1) {
      Bytes area = d.Params(static_cast<size_t>(n));
      for (int i = 0; i < n; i++)
        r[offset + i] = area[static_cast<size_t>(i)];
      if (d.faults.corruptChecksum && n > 0)
        r[offset + n - 1] ^= 0xFF;
    }
  } else {
    return -EPIPE;
  }
  memcpy(out, r, kReportSize);
  return kReportSize;
}

void Answer(Device &d, const std::string &payload) {
  d.lastAnswer.clear();
  d.lastAnswer.push_back(0x01);
  d.lastAnswer.push_back(static_cast<uint8_t>(payload.size() + 2));
  d.lastAnswer.push_back(0x01);
  d.lastAnswer.insert(d.lastAnswer.end(), payload.begin(), payload.end());
  d.lastAnswer.push_back(0x0D);
}

bool HexField(const uint8_t *p, int len, unsigned &value) {
  value = 0;
  for (int i = 0; i < len; i++) {
    int c = p[i];
    int v = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (v < 0)
      return false;
    value = value * 16 + static_cast<unsigned>(v);
  }
  return true;
}

int ResSetReport(Device &d, int id, const uint8_t *r, int size) {
  if (id != 0x01)
    return -EPIPE;
  // Frame: 01 n 01 C C operands... 0D, where n counts the bytes from the start byte on.
  int n = r[1];
  int end = 1 + n;
  if (r[2] != 0x01 || n < 4 || end >= kReportSize || r[end] != 0x0D) {
    Answer(d, "1");
    return size;
  }
  std::string cmd{static_cast<char>(r[3]), static_cast<char>(r[4])};
  const uint8_t *ops = r + 5;
  int opLen = end - 5;
  if (cmd == "RR") {
    d.lastAnswer.clear();
    OnReset(d);
    return size;
  }
  int &statusOne = d.faults.resStatusOne;
  if (statusOne != 0) {
    if (statusOne > 0)
      statusOne--;
    Answer(d, "1");
    return size;
  }
  unsigned addr = 0;
  unsigned value = 0;
  if (cmd == "OI" && opLen == 0) {
    Answer(d, d.firmware);
  } else if (cmd == "GP" && opLen == 2 && HexField(ops, 2, addr) && addr == 0x43) {
    char text[8];
    snprintf(text, sizeof text, "%04X", static_cast<unsigned>(d.liveRotation));
    Answer(d, text);
  } else if (cmd == "SP" && opLen == 6 && HexField(ops, 2, addr) && addr == 0x43 &&
             HexField(ops + 2, 4, value)) {
    d.liveRotation = static_cast<uint16_t>(value);
    Answer(d, "0");
  } else if (cmd == "PL" && opLen == 0) {
    d.rotation = d.liveRotation;
    Answer(d, "0");
  } else {
    Answer(d, "1");
  }
  return size;
}

int ResGetReport(Device &d, int id, uint8_t *out) {
  if (id != 0x01)
    return -EPIPE;
  uint8_t r[kReportSize] = {};
  r[0] = 0x01;
  for (size_t i = 0; i < d.lastAnswer.size() && i < kReportSize; i++)
    r[i] = d.lastAnswer[i];
  memcpy(out, r, kReportSize);
  return kReportSize;
}

} // namespace

void OnReset(Device &d) {
  d.resets++;
  d.restarted = true;
  d.deviceMode = 0x01;
  d.lastRequest = -1;
  d.lastRequestLen = 0;
  d.liveRotation = d.rotation;
  if (d.pendingIds)
    d.idsAfterReset = true;
  if (d.faults.unplugOnReset)
    d.gone = true;
}

int ModelTransfer(Device &d, uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                  uint8_t *data, int size) {
  // Only HID class requests to the controller's interface, for feature reports, are answered.
  if (d.model == Model::Plain || (requestType & 0x7F) != 0x21 ||
      (index & 0xFF) != d.interfaceNumber || (value >> 8) != 3)
    return -EPIPE;
  int id = value & 0xFF;
  bool toDevice = requestType == 0x21 && request == 0x09;
  bool toHost = requestType == 0xA1 && request == 0x01;
  if (!toDevice && !toHost)
    return -EPIPE;
  if (toDevice) {
    if (size > kReportSize || (id != 0 && (size < 1 || data[0] != id)))
      return -EPIPE;
    uint8_t r[kReportSize] = {};
    memcpy(r, data, static_cast<size_t>(size));
    return d.model == Model::Resistive ? ResSetReport(d, id, r, size)
                                       : PctSetReport(d, id, r, size);
  }
  uint8_t r[kReportSize];
  int n = d.model == Model::Resistive ? ResGetReport(d, id, r) : PctGetReport(d, id, r);
  if (n < 0)
    return n;
  int delivered = size < n ? size : n;
  memcpy(data, r, static_cast<size_t>(delivered));
  return delivered;
}

void AddDefaultStrings(DeviceSpec &spec) {
  switch (spec.model) {
  case Model::PctCurrent:
    spec.strings[1] = "Tessel Panels";
    spec.strings[2] = "TP8753 Multi-Touch";
    spec.strings[0x3C] = "zUZOVoDODeRIRArI";
    break;
  case Model::PctLegacy:
    spec.strings[1] = "Tessel Panels";
    spec.strings[2] = "TP8752 Multi-Touch";
    spec.strings[3] = "Velmarine";
    break;
  case Model::Resistive:
    spec.strings[1] = "Orrin Devices";
    spec.strings[2] = "RT-4W Resistive Touch";
    break;
  case Model::Plain:
    spec.strings[1] = "Generic";
    spec.strings[2] = "USB Device";
    break;
  }
}

} // namespace vusb::detail
