// What the utility does with one PCT controller: each operation, and the mode decision by
// requested mode, generation, firmware and the controller's state.
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "base/state.h"
#include "pct_helpers.h"
#include "policy/dispatch.h"
#include "vusb.h"

namespace {

using namespace pct;

const Bytes kSN = {0x01, 0x02, 0x0A, 0x0B, 0x10, 0x20, 0xA0, 0xFF};

class DispatchTest : public PctTest {
protected:
  // A controller with a valid identity block recording home product ID homePid and the firmware
  // revision it runs, opened with the firmware identity set as GetFwID would set it.
  int AddWithBlock(bool legacy, uint16_t pid, int stored, int homePid, int chip, int rev) {
    const uint16_t vid = legacy ? 0x22B9 : 0x2575;
    int id = legacy ? vusb::AddPctLegacy(vid, pid) : vusb::AddPctCurrent(vid, pid);
    vusb::Dev(id).SetPosMode(stored);
    vusb::Dev(id).params = Stored(Block(vid, homePid, rev, kSN));
    Open(id);
    ChipID = chip;
    FwRev = rev;
    DevInfo.FWRev = rev;
    return id;
  }
};

// ---------------------------------------------------------------------------------------------
// The mode decision

TEST_F(DispatchTest, ModeDecisionTable) {
  struct Case {
    const char *name;
    int isLegacy;
    int chip, rev;
    int posMode;
    uint16_t pid; // enumerated
    int stored;   // position mode the controller reports
    int homePid;  // recorded in the identity block
    std::vector<uint32_t> ids;
    std::vector<int> writes;
    int resets;
  };
  const uint32_t kMouse = Ids(0x2575, 0x9969);
  const uint32_t kHybrid = Ids(0x2575, 0x9968);
  const Case cases[] = {
      // Digitizer
      {"legacy digitizer, reports 1", 1, 0, 0x145, 1, 0x0040, 1, 0x0040, {}, {}, 0},
      {"legacy digitizer, reports 2", 1, 0, 0x145, 1, 0x0040, 2, 0x0040, {}, {0x20}, 1},
      {"current digitizer, reports 1 at home", 2, 8, 368, 1, 0x8753, 1, 0x8753, {}, {}, 0},
      {"current digitizer, reports 1 under another ID",
       2,
       8,
       368,
       1,
       0x9969,
       1,
       0x8753,
       {Ids(0x2575, 0x8753)},
       {0x20},
       1},
      {"current digitizer, reports 2 at home", 2, 8, 368, 1, 0x8753, 2, 0x8753, {}, {0x20}, 1},
      // Mouse
      {"legacy mouse, reports 2", 1, 0, 0x145, 2, 0x0040, 2, 0x0040, {}, {}, 0},
      {"legacy mouse, reports 1", 1, 0, 0x145, 2, 0x0040, 1, 0x0040, {}, {0x21}, 1},
      {"current mouse, reports 2 under 9969", 2, 8, 368, 2, 0x9969, 2, 0x8753, {}, {}, 0},
      {"current mouse, reports 2 at home", 2, 8, 368, 2, 0x8753, 2, 0x8753, {kMouse}, {0x21}, 1},
      {"current mouse, reports 1 under 9969", 2, 8, 368, 2, 0x9969, 1, 0x8753, {}, {0x21}, 1},
      // Hybrid-d
      {"legacy hybrid-d, reports 4", 1, 0, 0x145, 3, 0x0040, 4, 0x0040, {}, {}, 0},
      {"legacy hybrid-d, reports 3", 1, 0, 0x145, 3, 0x0040, 3, 0x0040, {}, {0x23}, 1},
      {"qualifying hybrid-d, reports 3 under 9968", 2, 8, 392, 3, 0x9968, 3, 0x8753, {}, {}, 0},
      {"qualifying hybrid-d, reports 4 under 9968", 2, 8, 392, 3, 0x9968, 4, 0x8753, {}, {}, 1},
      {"other hybrid-d, reports 4 under 9968", 2, 8, 391, 3, 0x9968, 4, 0x8753, {}, {}, 0},
      {"other hybrid-d, reports 3 under 9968", 2, 8, 391, 3, 0x9968, 3, 0x8753, {}, {}, 1},
      {"chip 8 r391 hybrid-d", 2, 8, 391, 3, 0x8753, 1, 0x8753, {kHybrid}, {0x23}, 1},
      {"chip 8 r392 hybrid-d", 2, 8, 392, 3, 0x8753, 1, 0x8753, {kHybrid}, {0x22}, 1},
      {"chip 8 r799 hybrid-d", 2, 8, 799, 3, 0x8753, 1, 0x8753, {kHybrid}, {0x22}, 1},
      {"chip 8 r800 hybrid-d", 2, 8, 800, 3, 0x8753, 1, 0x8753, {kHybrid}, {0x23}, 1},
      {"chip 2 r407 hybrid-d", 2, 2, 407, 3, 0x8753, 1, 0x8753, {kHybrid}, {0x23}, 1},
      {"chip 2 r408 hybrid-d", 2, 2, 408, 3, 0x8753, 1, 0x8753, {kHybrid}, {0x22}, 1},
      {"chip 2 r4095 hybrid-d", 2, 2, 4095, 3, 0x8753, 1, 0x8753, {kHybrid}, {0x22}, 1},
      {"chip 5 hybrid-d", 2, 5, 500, 3, 0x8753, 1, 0x8753, {kHybrid}, {0x23}, 1},
      {"chip 0 hybrid-d", 3, 0, 500, 3, 0x8753, 1, 0x8753, {kHybrid}, {0x23}, 1},
      {"generation unknown, chip 8 r392 hybrid-d",
       0,
       8,
       392,
       3,
       0x8753,
       1,
       0x8753,
       {kHybrid},
       {0x22},
       1},
      // Hybrid-m
      {"legacy hybrid-m, reports 4", 1, 0, 0x145, 4, 0x0040, 4, 0x0040, {}, {}, 0},
      {"legacy hybrid-m, reports 3", 1, 0, 0x145, 4, 0x0040, 3, 0x0040, {}, {0x23}, 1},
      {"legacy hybrid-m, chip 2 r408", 1, 2, 408, 4, 0x0040, 1, 0x0040, {}, {0x23}, 1},
      {"qualifying hybrid-m, reports 4 under 9968", 2, 2, 408, 4, 0x9968, 4, 0x8753, {}, {}, 0},
      {"qualifying hybrid-m, reports 1", 2, 2, 408, 4, 0x8753, 1, 0x8753, {kHybrid}, {0x23}, 1},
      {"chip 5 hybrid-m, reports 3 under 9968", 2, 5, 500, 4, 0x9968, 3, 0x8753, {}, {}, 0},
      {"chip 5 hybrid-m, reports 1", 2, 5, 500, 4, 0x8753, 1, 0x8753, {kHybrid}, {0x22}, 1},
      {"chip 5 hybrid-m, reports 4 under 9968", 2, 5, 500, 4, 0x9968, 4, 0x8753, {}, {}, 1},
      {"chip 5 hybrid-m, reports 3 at home", 2, 5, 500, 4, 0x8753, 3, 0x8753, {kHybrid}, {0x22}, 1},
      {"chip 8 r800 hybrid-m", 2, 8, 800, 4, 0x8753, 1, 0x8753, {kHybrid}, {0x22}, 1},
      {"chip 8 r799 hybrid-m", 2, 8, 799, 4, 0x8753, 1, 0x8753, {kHybrid}, {0x23}, 1},
      // No mode requested
      {"legacy, no mode", 1, 0, 0x145, 0, 0x0040, 3, 0x0040, {}, {}, 0},
      {"current, no mode", 2, 8, 368, 0, 0x9969, 1, 0x8753, {}, {}, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    vusb::Reset();
    int id = AddWithBlock(c.isLegacy == 1, c.pid, c.stored, c.homePid, c.chip, c.rev);
    IsLegacy = c.isLegacy;
    FunctionMode = FM_CONFIGURE;
    POSMode = c.posMode;
    int result = 0;

    std::string out = Stdout([&] { result = SetPCTDevices(dev_); });

    EXPECT_EQ(result, 1);
    EXPECT_EQ(out.rfind("II:check pass\n", 0), 0u) << out;
    EXPECT_TRUE(Commands(id, 0x08, 0xA8).empty()); // the block was good as it was
    EXPECT_EQ(UsbIdWrites(id), c.ids);
    EXPECT_EQ(PosWrites(id), c.writes);
    EXPECT_EQ(ResetRequests(id), c.resets);
    if (c.resets == 0) {
      // Nothing done: one position read, nothing written.
      EXPECT_EQ(Commands(id, 0x06, 0xA2).size(), 1u);
      EXPECT_EQ(out, "II:check pass\n");
    }
    Close();
  }
}

TEST_F(DispatchTest, NoModeRequestedValidatesTheBlockAndReadsTheMode) {
  int id = AddWithBlock(false, 0x9969, 2, 0x8753, 8, 368);
  FunctionMode = FM_CONFIGURE;
  POSMode = 0;
  DbgFlag = 1;

  std::string out = Stdout([&] { EXPECT_EQ(SetPCTDevices(dev_), 1); });

  // One read of the block, one of the position configuration, nothing else.
  Lines seq = Seq();
  ASSERT_EQ(seq.size(), 6u);
  EXPECT_EQ(seq[0], "set 06 a1 22 /8");
  EXPECT_EQ(seq[1], "wait 10");
  EXPECT_EQ(Lines(seq.begin() + 3, seq.end()), PosRead(false, 2));
  EXPECT_EQ(Commands(id, 0x06, 0xA1).size(), 1u);
  EXPECT_EQ(Commands(id, 0x06, 0xA2).size(), 1u);
  EXPECT_TRUE(vusb::SetReports(id, 0x08).empty());
  EXPECT_TRUE(vusb::SetReports(id, 0xF3).empty());
  const std::string tail = "II:check pass\n" + DD("***GetPOSMode raw_data : 1***\n") +
                           DD("pos mode=2 set to POSMode:0\n");
  ASSERT_GE(out.size(), tail.size());
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail) << out;
}

TEST_F(DispatchTest, NotResetDeviceIsNarrowedToEightBits) {
  const std::pair<int, int> cases[] = {{0, 1}, {1, 0}, {256, 1}, {257, 0}, {-1, 0}};
  for (const auto &[notReset, resets] : cases) {
    SCOPED_TRACE(notReset);
    vusb::Reset();
    int id = AddWithBlock(false, 0x8753, 1, 0x8753, 8, 368);
    FunctionMode = FM_CONFIGURE;
    POSMode = 2;
    NotResetDevice = notReset;

    Stdout([&] { SetPCTDevices(dev_); });

    EXPECT_EQ(PosWrites(id), std::vector<int>{0x21});
    EXPECT_EQ(ResetRequests(id), resets);
    Close();
  }
}

// ---------------------------------------------------------------------------------------------
// The identity check

TEST_F(DispatchTest, FailedIdentityCheckIsReportedAndLeavesTheModeAlone) {
  struct Case {
    const char *name;
    std::function<void(vusb::Device &)> arrange;
  };
  const Case cases[] = {
      {"block write refused", [](vusb::Device &d) { FaultAll(d.id, kSet, 0x08, 0xA8, -EPIPE); }},
      {"block never reads back", [](vusb::Device &d) { d.faults.corruptChecksum = true; }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    vusb::Reset();
    int id = vusb::AddPctCurrent();
    Open(id);
    c.arrange(vusb::Dev(id));
    FunctionMode = FM_CONFIGURE;
    POSMode = 2;
    int result = 0;

    std::string out = Stdout([&] { result = SetPCTDevices(dev_); });

    EXPECT_EQ(result, 1);
    EXPECT_EQ(out, "EE:check fail,not support this touch screen.\n");
    EXPECT_TRUE(Commands(id, 0x06, 0xA2).empty());
    EXPECT_TRUE(vusb::SetReports(id, 0xF3).empty());
    EXPECT_TRUE(PosWrites(id).empty());
    EXPECT_EQ(ResetRequests(id), 0);
    Close();
  }
}

TEST_F(DispatchTest, BlankBlockIsWrittenBeforeTheSwitch) {
  int id = vusb::AddPctCurrent();
  Open(id);
  FunctionMode = FM_CONFIGURE;
  POSMode = 2;

  std::string out = Stdout([&] { EXPECT_EQ(SetPCTDevices(dev_), 1); });

  EXPECT_EQ(out, "II:check pass\nII:Set to mouse\n");
  // The block records the IDs the controller had before the switch.
  EXPECT_EQ(Decoded(vusb::Dev(id).params)[2], 0x87);
  EXPECT_EQ(Decoded(vusb::Dev(id).params)[3], 0x53);
  EXPECT_EQ(UsbIdWrites(id), std::vector<uint32_t>{Ids(0x2575, 0x9969)});
  EXPECT_EQ(PosWrites(id), std::vector<int>{0x21});
  EXPECT_EQ(ResetRequests(id), 1);
  // Identity write before any position or ID write.
  std::vector<vusb::Entry> t = vusb::Transfers(id);
  size_t block = 0, ids = 0;
  for (size_t i = 0; i < t.size(); i++) {
    if (t[i].IsSetReport() && t[i].data[1] == 0xA8)
      block = i;
    if (t[i].IsSetReport() && t[i].ReportId() == 0xF3 && ids == 0)
      ids = i;
  }
  EXPECT_LT(block, ids);
}

// ---------------------------------------------------------------------------------------------
// The other operations

TEST_F(DispatchTest, CleanClearsTheAreaAndGoesNoFurther) {
  for (bool legacy : {false, true}) {
    SCOPED_TRACE(legacy ? "legacy" : "current");
    vusb::Reset();
    int id = AddWithBlock(legacy, legacy ? 0x0040 : 0x8753, 1, legacy ? 0x0040 : 0x8753, 8, 368);
    FunctionMode = FM_CLEAN;
    POSMode = 2;
    int result = 0;

    std::string out = Stdout([&] { result = SetPCTDevices(dev_); });

    EXPECT_EQ(result, 1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(vusb::Dev(id).params, Bytes(64, 0));
    EXPECT_EQ(Commands(id, 0x08, 0xA8), std::vector<Bytes>{Report({0x08, 0xA8, 0x40})});
    EXPECT_TRUE(Commands(id, 0x06, 0xA2).empty());
    EXPECT_TRUE(PosWrites(id).empty());
    EXPECT_EQ(ResetRequests(id), 0);
    Close();
  }
}

TEST_F(DispatchTest, CleanThatFailsSaysNothing) {
  int id = vusb::AddPctCurrent();
  Open(id);
  FaultAll(id, kSet, 0x08, 0xA8, -EPIPE);
  FunctionMode = FM_CLEAN;

  std::string out = Stdout([&] { EXPECT_EQ(SetPCTDevices(dev_), 1); });

  EXPECT_EQ(out, "");
  EXPECT_EQ(vusb::Transfers(id).size(), 1u);
}

TEST_F(DispatchTest, TestOperationClearsTheAreaThenDecides) {
  struct Case {
    const char *name;
    int posMode;
    uint16_t pid;
    int stored;
    std::vector<uint32_t> ids;
    std::vector<int> writes;
    const char *out;
  };
  const Case cases[] = {
      {"mouse from digitizer",
       2,
       0x8753,
       1,
       {Ids(0x2575, 0x9969)},
       {0x21},
       "II:check pass\nII:Set to mouse\n"},
      // No block is read: the home product ID is unknown (0), so a controller at home in
      // digitizer mode is still handed to the switch, which finds nothing to write.
      {"digitizer, already there", 1, 0x8753, 1, {}, {}, "II:check pass\nII:Set to digitizer\n"},
      {"digitizer from mouse",
       1,
       0x9969,
       2,
       {Ids(0x2575, 0x8753)},
       {0x20},
       "II:check pass\nII:Set to digitizer\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    vusb::Reset();
    int id = vusb::AddPctCurrent(0x2575, c.pid);
    vusb::Dev(id).SetPosMode(c.stored);
    vusb::Dev(id).params = Stored(Block(0x2575, 0x3D28, 368, kSN));
    Open(id);
    FunctionMode = FM_TEST;
    POSMode = c.posMode;

    std::string out = Stdout([&] { EXPECT_EQ(SetPCTDevices(dev_), 1); });

    EXPECT_EQ(out, c.out);
    EXPECT_EQ(DevInfo.OLD_PID, 0);
    EXPECT_TRUE(Commands(id, 0x06, 0xA1).size() == 1u); // only the read-back of the clearing
    EXPECT_EQ(vusb::Dev(id).params, Bytes(64, 0));
    EXPECT_EQ(UsbIdWrites(id), c.ids);
    EXPECT_EQ(PosWrites(id), c.writes);
    EXPECT_EQ(ResetRequests(id), 1);
    Close();
  }
}

TEST_F(DispatchTest, TestOperationWithAFailedClearingSwitchesNothingAndSaysNothing) {
  int id = vusb::AddPctCurrent();
  Open(id);
  FaultAll(id, kGet, 0x07, -1, -EPIPE);
  FunctionMode = FM_TEST;
  POSMode = 2;

  std::string out = Stdout([&] { EXPECT_EQ(SetPCTDevices(dev_), 1); });

  EXPECT_EQ(out, "");
  EXPECT_TRUE(Commands(id, 0x06, 0xA2).empty());
  EXPECT_TRUE(vusb::SetReports(id, 0xF3).empty());
  EXPECT_TRUE(PosWrites(id).empty());
  EXPECT_EQ(ResetRequests(id), 0);
}

TEST_F(DispatchTest, SerialOperationOnlyReadsTheBlock) {
  struct Case {
    const char *name;
    Bytes params;
    size_t reads;
  };
  const Case cases[] = {
      {"good block", Stored(Block(0x2575, 0x8753, 0x100, kSN)), 1},
      {"blank block", {}, 11},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    for (int dbg : {0, 1}) {
      vusb::Reset();
      int id = vusb::AddPctCurrent();
      vusb::Dev(id).params = c.params;
      Open(id);
      FunctionMode = FM_SN;
      POSMode = 2;
      DbgFlag = dbg;

      std::string out = Stdout([&] { EXPECT_EQ(SetPCTDevices(dev_), 1); });

      EXPECT_EQ(Commands(id, 0x06, 0xA1).size(), c.reads);
      EXPECT_TRUE(vusb::SetReports(id, 0x08).empty());
      EXPECT_TRUE(vusb::SetReports(id, 0xF3).empty());
      EXPECT_TRUE(Commands(id, 0x06, 0xA2).empty());
      EXPECT_EQ(vusb::Dev(id).params, c.params);
      if (dbg == 0) {
        EXPECT_EQ(out, "");
      } else if (c.reads == 1) {
        EXPECT_NE(out.find(DD("***GetMySN FLASH SN:01020A0B1020A0FF OLD VID:0x2575 "
                              "PID:0x8753***\n")),
                  std::string::npos)
            << out;
      }
      EXPECT_EQ(out.find("EE:"), std::string::npos);
      Close();
    }
  }
}

TEST_F(DispatchTest, RotationSendsNothingToAPctController) {
  int id = vusb::AddPctCurrent();
  Open(id);
  FunctionMode = FM_ROTATION;
  POSMode = 2;
  DbgFlag = 1;

  std::string out = Stdout([&] { EXPECT_EQ(SetPCTDevices(dev_), 1); });

  EXPECT_TRUE(vusb::Transfers(id).empty());
  EXPECT_EQ(out, "");
}

TEST_F(DispatchTest, SetposWritesTheModeAndResets) {
  for (bool legacy : {false, true}) {
    for (int mode = 1; mode <= 4; mode++) {
      SCOPED_TRACE((legacy ? "legacy " : "current ") + std::to_string(mode));
      int id = OnlyController(legacy);
      vusb::Dev(id).SetPosMode(2);
      Open(id);
      FunctionMode = FM_SETPOS;
      POSMode = mode;
      DbgFlag = 1;

      std::string out = Stdout([&] { EXPECT_EQ(SetPCTDevices(dev_), 1); });

      char first[64];
      snprintf(first, sizeof first, "===set pos mode=%d===\n", mode);
      EXPECT_EQ(out.rfind(DD(first), 0), 0u) << out;
      EXPECT_EQ(out.find("check"), std::string::npos) << out;
      EXPECT_EQ(PosWrites(id), std::vector<int>{mode + 31});
      EXPECT_EQ(ResetRequests(id), 1);
      EXPECT_TRUE(vusb::SetReports(id, 0xF3).empty());
      EXPECT_TRUE(Commands(id, 0x06, 0xA1).empty());
      if (!legacy) {
        char write[32];
        snprintf(write, sizeof write, "set 08 84 c9 00 %02x /64", mode + 31);
        EXPECT_EQ(Seq(), Concat({PosRead(false, 2), {write}, ResetCurrent()}));
      }
      Close();
    }
  }
}

TEST_F(DispatchTest, GetposPrintsTheModeStraightToStandardOutput) {
  struct Case {
    const char *name;
    int stored;
    bool unreadable;
    int dbg;
    std::string out;
  };
  const Case cases[] = {
      {"mouse", 2, false, 0, "pos mode=2\n"},
      {"hybrid-m", 4, false, 0, "pos mode=4\n"},
      {"unreadable", 2, true, 0, "pos mode=0\n"},
      {"mouse, debug on", 2, false, 1, DD("***GetPOSMode raw_data : 1***\n") + "pos mode=2\n"},
      {"unreadable, debug on", 2, true, 1,
       DD("ReadPOSConfig SetFeature failed err=000\r\n ") + "pos mode=0\n"},
  };
  for (bool legacy : {false, true}) {
    for (const Case &c : cases) {
      SCOPED_TRACE(std::string(legacy ? "legacy, " : "current, ") + c.name);
      int id = OnlyController(legacy);
      vusb::Dev(id).SetPosMode(c.stored);
      Open(id);
      if (c.unreadable)
        FaultAll(id, kSet, 0x06, 0xA2, -EPIPE);
      FunctionMode = FM_GETPOS;
      POSMode = 1;
      DbgFlag = c.dbg;

      std::string out = Stdout([&] { EXPECT_EQ(SetPCTDevices(dev_), 1); });

      EXPECT_EQ(out, c.out);
      EXPECT_EQ(Commands(id, 0x06, 0xA2).size(), 1u);
      EXPECT_TRUE(vusb::SetReports(id, 0x08).empty());
      EXPECT_TRUE(vusb::SetReports(id, 0xF3).empty());
      Close();
    }
  }
}

} // namespace
