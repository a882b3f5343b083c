// Command mode, controller generation, firmware identity and reset.
#include <gtest/gtest.h>
#include <usb.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "base/state.h"
#include "captured.h"
#include "log_lines.h"
#include "pct/cmdmode.h"
#include "pct_helpers.h"
#include "takeover.h"
#include "transport/hid.h"
#include "vusb.h"

namespace {

using pct::EnterCmd;
using pct::LeaveCmd;
using pct::ModeAttempt;
using pct::Report;
using vusb::Bytes;
using vusb::Dev;

// The firmware identity from its fields.
uint32_t Identity(unsigned family, unsigned version, unsigned chip, unsigned rev) {
  return family << 28 | version << 16 | chip << 12 | rev;
}

std::vector<unsigned> AttemptWaits(int attempts) { return RepeatWaits(attempts, {5, 10}); }

class CmdModeTest : public TakeOverTest {};

// ---------------------------------------------------------------------------------------------
// Device mode

TEST_F(CmdModeTest, SetDeviceModeWritesItemEightyTwo) {
  int id = vusb::AddPctLegacy();
  hid_device *dev = TakenOver(id);
  for (int mode : {0x90, 0x01, 0x5A}) {
    SCOPED_TRACE(mode);
    vusb::ClearLog();
    Output o = Captured([&] { set_device_mode(dev, static_cast<unsigned char>(mode)); });
    EXPECT_EQ(vusb::SetReports(id),
              (std::vector<Bytes>{{0x08, 0x91, 0x02, 0x00, 0x82, static_cast<uint8_t>(mode)}}));
    EXPECT_EQ(Dev(id).deviceMode, mode);
    EXPECT_TRUE(vusb::GetReports(id).empty());
    EXPECT_EQ(o.out, "");
  }
  EXPECT_TRUE(vusb::Waits().empty());
}

TEST_F(CmdModeTest, SetDeviceModeTriesOnceWhateverTheResult) {
  int id = vusb::AddPctLegacy();
  hid_device *dev = TakenOver(id);
  Dev(id).faults.transfers = {{.request = 0x09}};
  DbgFlag = 1;
  Output o = Captured([&] { set_device_mode(dev, 0x90); });
  EXPECT_EQ(vusb::Sequence(id), std::vector<std::string>{"set 08 91 02 00 82 90 /6 = -32"});
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(o.err, "");
}

TEST_F(CmdModeTest, GetDeviceModeAsksWaitsAndReadsByteFour) {
  int id = vusb::AddPctLegacy();
  hid_device *dev = TakenOver(id);
  for (int mode : {0x01, 0x90, 0x33}) {
    SCOPED_TRACE(mode);
    vusb::ClearLog();
    vusb::ClearWaits();
    Dev(id).deviceMode = static_cast<uint8_t>(mode);
    EXPECT_EQ(get_device_mode(dev), mode);
    char get[32];
    snprintf(get, sizeof get, "get 07 00 00 00 %02x /64", mode);
    EXPECT_EQ(vusb::Sequence(id), (std::vector<std::string>{"set 06 73 0c /8", "wait 10", get}));
    EXPECT_EQ(vusb::SetReports(id),
              (std::vector<Bytes>{{0x06, 0x73, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00}}));
    EXPECT_EQ(vusb::Waits(), std::vector<unsigned>{10});
  }
}

TEST_F(CmdModeTest, GetDeviceModeGivesZeroWhenATransferFailsOrMovesNothing) {
  struct Case {
    const char *name;
    int request; // the transfer that fails: 0x09 the request, 0x01 the reply
    int result;
    std::vector<std::string> sequence;
  };
  const std::vector<Case> cases = {
      {"request fails", 0x09, -EPIPE, {"set 06 73 0c /8 = -32"}},
      {"request moves nothing", 0x09, 0, {"set 06 73 0c /8 = 0"}},
      {"reply fails", 0x01, -ETIMEDOUT, {"set 06 73 0c /8", "wait 10", "get 07 /64 = -110"}},
      {"reply moves nothing", 0x01, 0, {"set 06 73 0c /8", "wait 10", "get 07 /64 = 0"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    vusb::Reset();
    int id = vusb::AddPctLegacy();
    hid_device *dev = TakenOver(id);
    vusb::TransferFault fault;
    fault.request = c.request;
    fault.result = c.result;
    Dev(id).faults.transfers = {fault};
    EXPECT_EQ(get_device_mode(dev), 0);
    EXPECT_EQ(vusb::Sequence(id), c.sequence);
  }
}

// ---------------------------------------------------------------------------------------------
// Command mode

TEST_F(CmdModeTest, EnterConfirmedAtTheFirstAttemptGivesTwenty) {
  int id = vusb::AddPctLegacy();
  hid_device *dev = TakenOver(id);
  DbgFlag = 1;
  int count = -1;
  Output o = Captured([&] { count = enter_cmd_mode(dev); });
  EXPECT_EQ(count, 20);
  EXPECT_EQ(vusb::Sequence(id), ModeAttempt(0x90, 0x90));
  EXPECT_EQ(vusb::Waits(), (std::vector<unsigned>{5, 10}));
  EXPECT_EQ(o.out, "panelcfg DD:***enter_cmd_mode count:20***\n");
  EXPECT_EQ(Dev(id).deviceMode, 0x90);
}

TEST_F(CmdModeTest, EnterCountsTheAttemptsLeft) {
  for (int ignored : {1, 2, 10, 18, 19}) {
    SCOPED_TRACE(ignored);
    vusb::Reset();
    int id = vusb::AddPctLegacy();
    hid_device *dev = TakenOver(id);
    Dev(id).faults.ignoredModeSets = ignored;
    DbgFlag = 1;
    int count = -1;
    Output o = Captured([&] { count = enter_cmd_mode(dev); });
    EXPECT_EQ(count, 20 - ignored);
    EXPECT_EQ(vusb::Sequence(id),
              Concat({Repeat(ignored, ModeAttempt(0x90, 0x01)), ModeAttempt(0x90, 0x90)}));
    EXPECT_EQ(vusb::Waits(), AttemptWaits(ignored + 1));
    EXPECT_EQ(o.out,
              "panelcfg DD:***enter_cmd_mode count:" + std::to_string(20 - ignored) + "***\n");
  }
}

TEST_F(CmdModeTest, EnterNeverConfirmedGivesZeroAfterTwentyAttempts) {
  int id = vusb::AddPctLegacy();
  hid_device *dev = TakenOver(id);
  Dev(id).faults.ignoredModeSets = -1;
  DbgFlag = 1;
  int count = -1;
  Output o = Captured([&] { count = enter_cmd_mode(dev); });
  EXPECT_EQ(count, 0);
  EXPECT_EQ(vusb::SetReports(id, 0x08),
            std::vector<Bytes>(20, Bytes{0x08, 0x91, 0x02, 0x00, 0x82, 0x90}));
  EXPECT_EQ(vusb::GetReports(id, 0x07).size(), 20u);
  EXPECT_EQ(vusb::Waits(), AttemptWaits(20));
  EXPECT_EQ(vusb::TotalWaitMs(), 300u);
  EXPECT_EQ(o.out, "panelcfg DD:***enter_cmd_mode count:0***\n");
}

TEST_F(CmdModeTest, CommandModeIsSilentWithoutDebug) {
  int id = vusb::AddPctLegacy();
  hid_device *dev = TakenOver(id);
  Output o = Captured([&] {
    enter_cmd_mode(dev);
    leave_cmd_mode(dev);
  });
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(o.err, "");
}

TEST_F(CmdModeTest, LeaveLooksForNormalOperation) {
  int id = vusb::AddPctLegacy();
  hid_device *dev = TakenOver(id);
  Dev(id).deviceMode = 0x90;
  DbgFlag = 1;
  int count = -1;
  Output o = Captured([&] { count = leave_cmd_mode(dev); });
  EXPECT_EQ(count, 20);
  EXPECT_EQ(vusb::Sequence(id), ModeAttempt(0x01, 0x01));
  EXPECT_EQ(o.out, "panelcfg DD:***leave_cmd_mode count:20***\n");
  EXPECT_EQ(Dev(id).deviceMode, 0x01);
}

TEST_F(CmdModeTest, LeaveGoesOnWhileTheControllerReportsCommandModeOrNothing) {
  struct Case {
    const char *name;
    int answer; // device mode reported; 0: the reply moves nothing
  };
  for (const Case &c : {Case{"stays in command mode", 0x90}, Case{"reply moves nothing", 0}}) {
    SCOPED_TRACE(c.name);
    vusb::Reset();
    int id = vusb::AddPctLegacy();
    hid_device *dev = TakenOver(id);
    Dev(id).deviceMode = 0x90;
    Dev(id).faults.ignoredModeSets = -1;
    if (c.answer == 0)
      Dev(id).faults.transfers = {{.request = 0x01, .reportId = 0x07, .result = 0}};
    DbgFlag = 1;
    int count = -1;
    Output o = Captured([&] { count = leave_cmd_mode(dev); });
    EXPECT_EQ(count, 0);
    Lines attempt = ModeAttempt(0x01, c.answer);
    if (c.answer == 0)
      attempt.back() = "get 07 /64 = 0";
    EXPECT_EQ(vusb::Sequence(id), Repeat(20, attempt));
    EXPECT_EQ(vusb::TotalWaitMs(), 300u);
    EXPECT_EQ(o.out, "panelcfg DD:***leave_cmd_mode count:0***\n");
  }
}

TEST_F(CmdModeTest, AttemptWhoseModeRequestFailsSkipsTheReplyAndItsWait) {
  int id = vusb::AddPctLegacy();
  hid_device *dev = TakenOver(id);
  Dev(id).faults.transfers = {{.request = 0x09, .reportId = 0x06, .times = 3}};
  EXPECT_EQ(enter_cmd_mode(dev), 17);
  EXPECT_EQ(vusb::Waits(), (std::vector<unsigned>{5, 5, 5, 5, 10}));
  EXPECT_EQ(vusb::GetReports(id).size(), 1u);
  EXPECT_EQ(vusb::SetReports(id, 0x08).size(), 4u);
}

TEST_F(CmdModeTest, CurrentGenerationNeverConfirmsCommandMode) {
  int id = vusb::AddPctCurrent();
  hid_device *dev = TakenOver(id);
  EXPECT_EQ(enter_cmd_mode(dev), 0);
  EXPECT_EQ(leave_cmd_mode(dev), 20);
}

// ---------------------------------------------------------------------------------------------
// Controller generation

TEST_F(CmdModeTest, GenerationIsOneReadOfReportF2WithLength32) {
  int id = vusb::AddPctCurrent();
  hid_device *dev = TakenOver(id);
  EXPECT_EQ(GetIsLegacy(dev), 2);
  std::vector<vusb::Entry> t = vusb::Transfers(id);
  ASSERT_EQ(t.size(), 1u);
  EXPECT_TRUE(t[0].IsGetReport());
  EXPECT_EQ(t[0].value, 0x03F2);
  EXPECT_EQ(t[0].length, 32);
  EXPECT_TRUE(vusb::Waits().empty());
}

TEST_F(CmdModeTest, GenerationFromTheFirmwareIdentity) {
  struct Case {
    uint32_t identity;
    int generation;
  };
  const Case cases[] = {
      // Family digit 3: legacy, whatever the rest says.
      {0x30000000, 1},
      {0x3012A145, 1},
      {0x3FFFFFFF, 1},
      {Identity(3, 0x204, 8, 368), 1},
      {Identity(3, 0x000, 2, 395), 1},
      // Chip digit 8: 800..824 and 360..392.
      {Identity(1, 0x204, 8, 800), 2},
      {Identity(1, 0x204, 8, 824), 2},
      {Identity(1, 0x204, 8, 360), 2},
      {Identity(1, 0x204, 8, 392), 2},
      {Identity(1, 0x204, 8, 368), 2},
      {Identity(1, 0x204, 8, 812), 2},
      {Identity(1, 0x204, 8, 799), 3},
      {Identity(1, 0x204, 8, 825), 3},
      {Identity(1, 0x204, 8, 359), 3},
      {Identity(1, 0x204, 8, 393), 3},
      {Identity(1, 0x204, 8, 395), 3},
      {Identity(1, 0x204, 8, 0), 3},
      {Identity(1, 0x204, 8, 4095), 3},
      // Chip digit 2: 360..395 only.
      {Identity(1, 0x204, 2, 360), 2},
      {Identity(1, 0x204, 2, 395), 2},
      {Identity(1, 0x204, 2, 393), 2},
      {Identity(1, 0x204, 2, 359), 3},
      {Identity(1, 0x204, 2, 396), 3},
      {Identity(1, 0x204, 2, 800), 3},
      {Identity(1, 0x204, 2, 824), 3},
      // Any other chip digit.
      {Identity(1, 0x204, 0, 368), 3},
      {Identity(1, 0x204, 1, 368), 3},
      {Identity(1, 0x204, 3, 368), 3},
      {Identity(1, 0x204, 7, 800), 3},
      {Identity(1, 0x204, 9, 368), 3},
      {Identity(1, 0x204, 0xA, 368), 3},
      {Identity(1, 0x204, 0xF, 368), 3},
      // Other family and version digits do not matter.
      {Identity(0, 0x000, 8, 368), 2},
      {Identity(2, 0xFFF, 8, 800), 2},
      {Identity(4, 0x123, 2, 395), 2},
      {Identity(0xF, 0xFFF, 8, 368), 2},
      {Identity(0xF, 0xFFF, 8, 393), 3},
      {0x00000000, 3},
  };
  int id = vusb::AddPctCurrent();
  hid_device *dev = TakenOver(id);
  for (const Case &c : cases) {
    char label[16];
    snprintf(label, sizeof label, "0x%08X", c.identity);
    SCOPED_TRACE(label);
    Dev(id).identity = c.identity;
    EXPECT_EQ(GetIsLegacy(dev), c.generation);
  }
}

TEST_F(CmdModeTest, LegacyGenerationIsNamedInADebugLine) {
  int id = vusb::AddPctLegacy();
  hid_device *dev = TakenOver(id);
  for (int debug : {1, 0}) {
    DbgFlag = debug;
    int generation = -1;
    Output o = Captured([&] { generation = GetIsLegacy(dev); });
    EXPECT_EQ(generation, 1);
    EXPECT_EQ(o.out, debug ? "panelcfg DD:It is ZAZ8755 or RAV8752 !\n" : "");
  }
  // The current generation gets no line.
  Dev(id).identity = 0x12048170;
  DbgFlag = 1;
  Output o = Captured([&] { GetIsLegacy(dev); });
  EXPECT_EQ(o.out, "");
}

TEST_F(CmdModeTest, FailedGenerationReadGivesZero) {
  int id = vusb::AddPctLegacy();
  hid_device *dev = TakenOver(id);
  DbgFlag = 1;
  for (int code : {-EPIPE, -ETIMEDOUT, -ENODEV}) {
    SCOPED_TRACE(code);
    Dev(id).faults.transfers = {{.request = 0x01, .reportId = 0xF2, .result = code}};
    int generation = -1;
    Output o = Captured([&] { generation = GetIsLegacy(dev); });
    EXPECT_EQ(generation, 0);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "");
  }
  EXPECT_EQ(vusb::Transfers(id).size(), 3u);
}

TEST_F(CmdModeTest, GenerationReadThatMovesNothingIsNotAFailure) {
  // Only a negative result fails here; the cleared buffer then reads as chip digit 0.
  int id = vusb::AddPctLegacy();
  hid_device *dev = TakenOver(id);
  Dev(id).faults.transfers = {{.request = 0x01, .reportId = 0xF2, .result = 0}};
  EXPECT_EQ(GetIsLegacy(dev), 3);
}

// ---------------------------------------------------------------------------------------------
// HexStrToInt

TEST_F(CmdModeTest, HexStrToIntReadsLeadingHexDigits) {
  struct Case {
    const char *text;
    int len;
    int value;
  };
  const Case cases[] = {
      {"1G3", 3, 1},
      {"abc", 3, 0xABC},
      {"ABC", 3, 0xABC},
      {"aBc", 3, 0xABC},
      {"123", 0, 0},
      {"123", -1, 0},
      {"123", 2, 0x12},
      {"123", 1, 1},
      {"FFF", 3, 0xFFF},
      {"fff", 3, 0xFFF},
      {"000", 3, 0},
      {"09", 2, 9},
      {"9aF", 3, 0x9AF},
      {"12", 3, 0x12},
      {"0x1", 3, 0},
      {"G", 1, 0},
      {"g1", 2, 0},
      {" 1", 2, 0},
      {"-1", 2, 0},
      {"/", 1, 0},
      {":", 1, 0},
      {"@", 1, 0},
      {"`", 1, 0},
      {"1:", 2, 1},
      {"1@", 2, 1},
      {"1`", 2, 1},
      {"1g", 2, 1},
      {"8", 1, 8},
      {"12048170", 8, 0x12048170},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.text) + " " + std::to_string(c.len));
    EXPECT_EQ(HexStrToInt(c.text, c.len), c.value);
  }
}

// ---------------------------------------------------------------------------------------------
// Firmware identity

TEST_F(CmdModeTest, FirmwareIdentityOfTheExample) {
  int id = vusb::AddPctCurrent(0x2575, 0x8753, 0x12048170);
  hid_device *dev = TakenOver(id);
  int ok = -1;
  Output o = Captured([&] { ok = GetFwID(dev); });
  EXPECT_EQ(ok, 1);
  EXPECT_EQ(o.out, "II:Firmware Version:S1.2.04(r368) ChipID:8\n");
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(ChipID, 8);
  EXPECT_EQ(FwRev, 368);
  EXPECT_EQ(DevInfo.FWRev, 368);
  std::vector<vusb::Entry> t = vusb::Transfers(id);
  ASSERT_EQ(t.size(), 1u);
  EXPECT_TRUE(t[0].IsGetReport());
  EXPECT_EQ(t[0].value, 0x03F2);
  EXPECT_EQ(t[0].length, 16);
  EXPECT_TRUE(vusb::Waits().empty());
}

TEST_F(CmdModeTest, FirmwareIdentityIsDumpedInDebugMode) {
  int id = vusb::AddPctCurrent(0x2575, 0x8753, 0x12048170);
  hid_device *dev = TakenOver(id);
  DbgFlag = 1;
  Output o = Captured([&] { GetFwID(dev); });
  EXPECT_EQ(o.out, "panelcfg DD:GetFwID RespBuf---start\n"
                   "panelcfg DD:0xf2 0x70 0x81 0x04 0x12 0x00 0x00 0x00\n"
                   "panelcfg DD:0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00\n"
                   "panelcfg DD:GetFwID RespBuf---End\n"
                   "II:Firmware Version:S1.2.04(r368) ChipID:8\n");
}

TEST_F(CmdModeTest, FirmwareVersionTextAndFields) {
  struct Case {
    uint32_t identity;
    const char *version;
    int chip;
    int rev;
  };
  const Case cases[] = {
      {0x00000000, "S0.0.00(r0)", 0, 0},         {0xFFFFFFFF, "SF.F.FF(r4095)", 15, 4095},
      {0xABCDEF12, "SA.B.CD(r3858)", 14, 0xF12}, {0x3012A145, "S3.0.12(r325)", 10, 0x145},
      {0x00000FFF, "S0.0.00(r4095)", 0, 4095},   {0x12042009, "S1.2.04(r9)", 2, 9},
      {0x9ABC8320, "S9.A.BC(r800)", 8, 800},
  };
  int id = vusb::AddPctCurrent();
  hid_device *dev = TakenOver(id);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.version);
    Dev(id).identity = c.identity;
    int ok = -1;
    Output o = Captured([&] { ok = GetFwID(dev); });
    EXPECT_EQ(ok, 1);
    EXPECT_EQ(o.out, std::string("II:Firmware Version:") + c.version +
                         " ChipID:" + std::to_string(c.chip) + "\n");
    EXPECT_EQ(ChipID, c.chip);
    EXPECT_EQ(FwRev, c.rev);
    EXPECT_EQ(DevInfo.FWRev, c.rev);
  }
}

TEST_F(CmdModeTest, FailedFirmwareReadKeepsTheEarlierValues) {
  struct Case {
    const char *name;
    int result;
  };
  for (const Case &c : {Case{"fails", -EPIPE}, Case{"moves nothing", 0}}) {
    for (int debug : {1, 0}) {
      SCOPED_TRACE(std::string(c.name) + (debug ? " (debug)" : ""));
      vusb::Reset();
      int id = vusb::AddPctCurrent();
      hid_device *dev = TakenOver(id);
      Dev(id).faults.transfers = {{.request = 0x01, .reportId = 0xF2, .result = c.result}};
      ChipID = 5;
      FwRev = 77;
      DevInfo.FWRev = 99;
      DbgFlag = debug;
      int ok = -1;
      Output o = Captured([&] { ok = GetFwID(dev); });
      EXPECT_EQ(ok, 0);
      EXPECT_EQ(o.out, debug ? "panelcfg DD:Read FW failed err=001\r\n" : "");
      EXPECT_EQ(o.err, "");
      EXPECT_EQ(ChipID, 5);
      EXPECT_EQ(FwRev, 77);
      EXPECT_EQ(DevInfo.FWRev, 99);
      EXPECT_EQ(vusb::Transfers(id).size(), 1u);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Reset

TEST_F(CmdModeTest, CurrentResetIsOneControlRequest) {
  for (int generation : {2, 3, 0, -1, 7}) {
    SCOPED_TRACE(generation);
    vusb::Reset();
    int id = vusb::AddPctCurrent();
    hid_device *dev = TakenOver(id);
    IsLegacy = generation;
    DbgFlag = 1;
    Output o = Captured([&] { ResetDevice(dev); });
    EXPECT_EQ(vusb::SetReports(id), std::vector<Bytes>{Report({0x08, 0x84, 0x09})});
    EXPECT_EQ(vusb::Sequence(id), std::vector<std::string>{"set 08 84 09 /64"});
    EXPECT_TRUE(vusb::Waits().empty());
    EXPECT_EQ(o.out, "panelcfg DD:***ResetDevice***\n");
    EXPECT_EQ(Dev(id).resets, 1);
    EXPECT_EQ(IsLegacy, generation);
  }
}

TEST_F(CmdModeTest, LegacyResetIsBracketedByCommandMode) {
  int id = vusb::AddPctLegacy();
  hid_device *dev = TakenOver(id);
  IsLegacy = 1;
  DbgFlag = 1;
  Output o = Captured([&] { ResetDevice(dev); });
  EXPECT_EQ(vusb::Sequence(id), Concat({EnterCmd(), {"set 08 85 01 00 02 /64"}, LeaveCmd()}));
  EXPECT_EQ(vusb::SetReports(id, 0x08)[1], Report({0x08, 0x85, 0x01, 0x00, 0x02}));
  EXPECT_EQ(o.out, "panelcfg DD:***ResetDevice***\n"
                   "panelcfg DD:***enter_cmd_mode count:20***\n"
                   "panelcfg DD:***leave_cmd_mode count:20***\n");
  EXPECT_EQ(Dev(id).resets, 1);
  EXPECT_EQ(Dev(id).deviceMode, 0x01);
}

TEST_F(CmdModeTest, LegacyResetWithoutCommandModeSendsNothing) {
  int id = vusb::AddPctLegacy();
  hid_device *dev = TakenOver(id);
  Dev(id).faults.ignoredModeSets = -1;
  IsLegacy = 1;
  DbgFlag = 1;
  Output o = Captured([&] { ResetDevice(dev); });
  // Twenty requests for command mode and nothing else: no reset, no leave.
  EXPECT_EQ(vusb::SetReports(id, 0x08),
            std::vector<Bytes>(20, Bytes{0x08, 0x91, 0x02, 0x00, 0x82, 0x90}));
  EXPECT_EQ(vusb::GetReports(id).size(), 20u);
  EXPECT_EQ(vusb::Waits(), AttemptWaits(20));
  EXPECT_EQ(o.out, "panelcfg DD:***ResetDevice***\n"
                   "panelcfg DD:***enter_cmd_mode count:0***\n");
  EXPECT_EQ(Dev(id).resets, 0);
}

TEST_F(CmdModeTest, LegacyResetLeavesCommandModeEvenWhenTheResetRequestFails) {
  int id = vusb::AddPctLegacy();
  hid_device *dev = TakenOver(id);
  Dev(id).faults.transfers = {{.request = 0x09, .reportId = 0x08, .command = 0x85}};
  IsLegacy = 1;
  ResetDevice(dev);
  EXPECT_EQ(vusb::Sequence(id), Concat({EnterCmd(), {"set 08 85 01 00 02 /64 = -32"}, LeaveCmd()}));
  EXPECT_EQ(Dev(id).resets, 0);
}

TEST_F(CmdModeTest, LegacyResetAfterALateConfirmation) {
  int id = vusb::AddPctLegacy();
  hid_device *dev = TakenOver(id);
  Dev(id).faults.ignoredModeSets = 4;
  IsLegacy = 1;
  DbgFlag = 1;
  Output o = Captured([&] { ResetDevice(dev); });
  EXPECT_EQ(o.out, "panelcfg DD:***ResetDevice***\n"
                   "panelcfg DD:***enter_cmd_mode count:16***\n"
                   "panelcfg DD:***leave_cmd_mode count:20***\n");
  EXPECT_EQ(Dev(id).resets, 1);
  EXPECT_EQ(vusb::SetReports(id, 0x08)[5], Report({0x08, 0x85, 0x01, 0x00, 0x02}));
}

TEST_F(CmdModeTest, ResetIsSilentWithoutDebug) {
  int id = vusb::AddPctLegacy();
  hid_device *dev = TakenOver(id);
  IsLegacy = 1;
  Output o = Captured([&] { ResetDevice(dev); });
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(Dev(id).resets, 1);
}

} // namespace
