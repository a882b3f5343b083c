// Helpers shared by the PCT suites: a controller on the virtual bus taken over the way the scan
// takes it over, report builders, the parameter area as a controller stores it, the command-mode
// brackets and position reads as they show in the transaction log, and captured output.
#pragma once

#include <gtest/gtest.h>
#include <usb.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "base/state.h"
#include "log_lines.h"
#include "scratch_dir.h"
#include "support/support.h"
#include "takeover.h"
#include "transport/hid.h"
#include "vusb.h"

namespace pct {

using vusb::Bytes;

// A report of len bytes that starts with head and is zero elsewhere.
inline Bytes Report(std::initializer_list<int> head, size_t len = 64) {
  Bytes r(len, 0);
  size_t i = 0;
  for (int b : head)
    r[i++] = static_cast<uint8_t>(b);
  return r;
}

// The 32 plain bytes of a device identity block: big-endian IDs and revision, serial at 12.
inline Bytes Block(int vid, int pid, int fwrev, const Bytes &sn) {
  Bytes b(32, 0);
  b[0] = static_cast<uint8_t>(vid >> 8);
  b[1] = static_cast<uint8_t>(vid);
  b[2] = static_cast<uint8_t>(pid >> 8);
  b[3] = static_cast<uint8_t>(pid);
  b[4] = static_cast<uint8_t>(fwrev >> 8);
  b[5] = static_cast<uint8_t>(fwrev);
  for (size_t i = 0; i < sn.size() && i < 8; i++)
    b[12 + i] = sn[i];
  return b;
}

// 0x6666 plus every byte, modulo 0x10000; computed here on its own, not with the utility's code.
inline unsigned Sum16(const uint8_t *p, size_t n) {
  unsigned sum = 0x6666;
  for (size_t i = 0; i < n; i++)
    sum = (sum + p[i]) & 0xFFFF;
  return sum;
}

// What a controller holds after a parameter write of plain: 32 encoded bytes, then their
// checksum low byte first.
inline Bytes Stored(const Bytes &plain) {
  Bytes enc(32, 0);
  EncodeData(plain.data(), enc.data(), 0, 32);
  unsigned sum = Sum16(enc.data(), enc.size());
  enc.push_back(static_cast<uint8_t>(sum));
  enc.push_back(static_cast<uint8_t>(sum >> 8));
  return enc;
}

// The plain block that the first 32 bytes of a stored parameter area decode to.
inline Bytes Decoded(const Bytes &area) {
  Bytes in(32, 0);
  for (size_t i = 0; i < 32 && i < area.size(); i++)
    in[i] = area[i];
  Bytes out(32, 0);
  DecodeData(in.data(), out.data());
  return out;
}

inline std::vector<unsigned> Waits(std::initializer_list<std::pair<unsigned, int>> runs) {
  std::vector<unsigned> out;
  for (const auto &[ms, n] : runs)
    out.insert(out.end(), static_cast<size_t>(n), ms);
  return out;
}

// One device-mode attempt of a legacy controller: set_device_mode with target, then
// get_device_mode answered with answer (0: an answer of zeros).
inline Lines ModeAttempt(int target, int answer) {
  char set[32];
  char get[32];
  snprintf(set, sizeof set, "set 08 91 02 00 82 %02x /6", target);
  if (answer == 0)
    snprintf(get, sizeof get, "get 07 /64");
  else
    snprintf(get, sizeof get, "get 07 00 00 00 %02x /64", answer);
  return {set, "wait 5", "set 06 73 0c /8", "wait 10", get};
}

// A legacy controller entering (0x90) and leaving (0x01) command mode at the first attempt.
inline Lines EnterCmd() { return ModeAttempt(0x90, 0x90); }
inline Lines LeaveCmd() { return ModeAttempt(0x01, 0x01); }

// The 16-byte position-configuration read of a controller that reports mode.
inline Lines PosRead(bool legacy, int mode) {
  std::string get = "get 07 ";
  int raw = (mode - 1) & 0xFF;
  if (raw != 0) {
    for (int i = 1; i < (legacy ? 4 : 8) + 1; i++)
      get += "00 ";
    char b[4];
    snprintf(b, sizeof b, "%02x ", raw);
    get += b;
  }
  get += "/64";
  return {legacy ? "set 06 a2 10 /64" : "set 06 a2 10 /8", "wait 20", get};
}

// A Set_Report of data as vusb::Sequence shows it.
inline std::string SetLine(const Bytes &data) {
  vusb::Entry e;
  e.kind = vusb::Kind::Transfer;
  e.requestType = 0x21;
  e.request = 0x09;
  e.value = static_cast<uint16_t>(0x0300 | (data.empty() ? 0 : data[0]));
  e.length = static_cast<uint16_t>(data.size());
  e.result = static_cast<int>(data.size());
  e.data = data;
  return vusb::Describe(e);
}

// The level-3 hex dump of whole groups of eight bytes under title.
inline std::string Dump(const std::string &title, const Bytes &data) {
  std::string out = "panelcfg DD:" + title + "---start\n";
  for (size_t i = 0; i + 8 <= data.size(); i += 8) {
    char line[80];
    snprintf(line, sizeof line,
             "panelcfg DD:0x%02x 0x%02x 0x%02x 0x%02x 0x%02x 0x%02x 0x%02x 0x%02x\n", data[i],
             data[i + 1], data[i + 2], data[i + 3], data[i + 4], data[i + 5], data[i + 6],
             data[i + 7]);
    out += line;
  }
  return out + "panelcfg DD:" + title + "---End\n";
}

// Reset requests of each generation.
inline Lines ResetCurrent() { return {"set 08 84 09 /64"}; }
inline Lines ResetLegacy() { return Concat({EnterCmd(), {"set 08 85 01 00 02 /64"}, LeaveCmd()}); }

// What f writes on standard output.
inline std::string Stdout(const std::function<void()> &f) {
  testing::internal::CaptureStdout();
  f();
  return testing::internal::GetCapturedStdout();
}

// Set_Report data of one device whose byte 1 is command.
inline std::vector<Bytes> Commands(int id, int reportId, int command) {
  std::vector<Bytes> out;
  for (const Bytes &b : vusb::SetReports(id, reportId))
    if (b.size() > 1 && b[1] == command)
      out.push_back(b);
  return out;
}

// Values of the position-mode writes (0x08 0x84 0xC9 current, 0x08 0x91 .. 0xC9 legacy).
inline std::vector<int> PosWrites(int id) {
  std::vector<int> out;
  for (const Bytes &b : vusb::SetReports(id, 0x08)) {
    if (b.size() > 8 && b[1] == 0x84 && b[2] == 0xC9)
      out.push_back(b[4]);
    else if (b.size() > 8 && b[1] == 0x91 && b[4] == 0xC9)
      out.push_back(b[5] | b[6] << 8 | b[7] << 16 | b[8] << 24);
  }
  return out;
}

// USB IDs sent with report 0xF3, as vendor << 16 | product.
inline std::vector<uint32_t> UsbIdWrites(int id) {
  std::vector<uint32_t> out;
  for (const Bytes &b : vusb::SetReports(id, 0xF3))
    if (b.size() > 9)
      out.push_back(static_cast<uint32_t>(b[6] | b[7] << 8) << 16 |
                    static_cast<uint32_t>(b[8] | b[9] << 8));
  return out;
}

// Reset requests sent to one device (either generation).
inline int ResetRequests(int id) {
  int n = 0;
  for (const Bytes &b : vusb::SetReports(id, 0x08))
    if (b.size() > 2 && ((b[1] == 0x84 && b[2] == 0x09) || b[1] == 0x85))
      n++;
  return n;
}

// A fault that lets the device's nth control transfer report result without reaching the
// controller (a positive result: the host believes it went through).
inline void FaultNth(int id, int nth, int result) {
  vusb::TransferFault f;
  f.nth = nth;
  f.times = 1;
  f.result = result;
  vusb::Dev(id).faults.transfers.push_back(f);
}

inline void FaultAll(int id, int request, int reportId, int command, int result, int times = -1) {
  vusb::TransferFault f;
  f.request = request;
  f.reportId = reportId;
  f.command = command;
  f.result = result;
  f.times = times;
  vusb::Dev(id).faults.transfers.push_back(f);
}

// A trace line as the debug mode prints it.
inline std::string DD(const std::string &line) { return "panelcfg DD:" + line; }

// USB IDs as one number, vendor << 16 | product.
constexpr uint32_t Ids(uint32_t vid, uint32_t pid) { return vid << 16 | pid; }

constexpr int kSet = 0x09;
constexpr int kGet = 0x01;

// A fixture with a fresh run state and bus; Open takes one controller over the way the scan
// does and fills the run state the scan would have filled for it.
class PctTest : public ControllerTest {
protected:
  hid_device *Open(int id) {
    if (!TakeOver(id))
      return dev_;
    const vusb::Device &d = vusb::Dev(id);
    IsLegacy = d.model == vusb::Model::PctLegacy ? 1 : 2;
    DevInfo.VID = d.vid;
    DevInfo.PID = d.pid;
    ChipID = static_cast<int>(d.identity >> 12 & 0xF);
    FwRev = static_cast<int>(d.identity & 0xFFF);
    DevInfo.FWRev = FwRev;
    return dev_;
  }

  // Empties the bus and adds one controller of the generation with the default identity; its ID.
  static int OnlyController(bool legacy) {
    vusb::Reset();
    return legacy ? vusb::AddPctLegacy() : vusb::AddPctCurrent();
  }

  // The log of the device in hand, waits included.
  Lines Seq() const { return vusb::Sequence(id_); }
};

} // namespace pct
