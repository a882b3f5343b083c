// Mode switching: the USB-ID write and the position-mode write with their shared attempt
// counter, the read-back rules, the retarget passes and their bounds, and the entry points.
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "base/state.h"
#include "pct_helpers.h"
#include "policy/modeswitch.h"
#include "vusb.h"

namespace {

using namespace pct;

class ModeSwitchTest : public PctTest {
protected:
  // The controller stores no position mode: every current-generation write is swallowed.
  static void IgnorePosWrites(int id) { FaultAll(id, kSet, 0x08, 0x84, 64); }
};

// ---------------------------------------------------------------------------------------------
// The USB-ID write and the shared attempt counter

TEST_F(ModeSwitchTest, UsbIdWriteThatAlwaysFailsGetsSixAttemptsAndNoPositionWrite) {
  for (int fault : {-EPIPE, 0}) {
    SCOPED_TRACE(fault);
    vusb::Reset();
    int id = vusb::AddPctCurrent();
    Open(id);
    FaultAll(id, kSet, 0xF3, -1, fault);

    EXPECT_EQ(SetCurrPOSMode(dev_, 2), 0);

    EXPECT_EQ(UsbIdWrites(id), std::vector<uint32_t>(6, Ids(0x2575, 0x9969)));
    EXPECT_EQ(vusb::Waits(), std::vector<unsigned>(5, 200));
    EXPECT_TRUE(vusb::SetReports(id, 0x06).empty());
    EXPECT_TRUE(vusb::SetReports(id, 0x08).empty());
    EXPECT_TRUE(vusb::GetReports(id).empty());
    Close();
  }
}

TEST_F(ModeSwitchTest, EachFailedUsbIdAttemptCostsThePositionWriteOneAttempt) {
  for (int k = 0; k <= 5; k++) {
    SCOPED_TRACE(k);
    vusb::Reset();
    int id = vusb::AddPctCurrent();
    Open(id);
    FaultAll(id, kSet, 0xF3, -1, -EPIPE, k);
    IgnorePosWrites(id);

    EXPECT_EQ(SetCurrPOSMode(dev_, 2), 1);

    EXPECT_EQ(UsbIdWrites(id), std::vector<uint32_t>(k + 1, Ids(0x2575, 0x9969)));
    // 6 - k writes of mouse mode, then the retarget pass to the reported digitizer mode; its
    // product ID is the enumerated one, so no further USB-ID write.
    std::vector<int> writes(6 - k, 0x21);
    writes.push_back(0x20);
    EXPECT_EQ(PosWrites(id), writes);
    std::vector<unsigned> waits = Waits({{200, k}, {20, 1}, {20, 6 - k}, {20, 2}, {200, 1}});
    EXPECT_EQ(vusb::Waits(), waits);
    Close();
  }
}

TEST_F(ModeSwitchTest, AcceptedUsbIdWriteIsFollowedByAPositionWriteEvenWhenTheModeMatches) {
  int id = vusb::AddPctCurrent(0x22B9, 0x0040);
  vusb::Dev(id).SetPosMode(2);
  Open(id);

  EXPECT_EQ(SetCurrPOSMode(dev_, 2), 1);

  EXPECT_EQ(Seq(), Concat({{"set f3 08 00 02 00 00 b9 22 69 99 /64"},
                           PosRead(false, 2),
                           {"set 08 84 c9 00 21 /64"},
                           PosRead(false, 2),
                           {"wait 200"}}));
}

TEST_F(ModeSwitchTest, MouseSwitchTrace) {
  int id = vusb::AddPctCurrent();
  Open(id);
  DbgFlag = 1;
  unsigned char result = 9;

  std::string trace = Stdout([&] { result = SetCurrPOSMode(dev_, 2); });

  EXPECT_EQ(result, 1);
  EXPECT_EQ(trace, DD("SetCurrPOSMode VID:2575 OLD_PID:0000\n") + "II:Set to mouse\n" +
                       DD("***SetCurrPOSMode 8753 CurrVID:0x2575 NewPID:0x9969***\n") +
                       DD("WriteUSBID VID:0x2575 PID:0x9969\n") +
                       DD("***SetCurrPOSMode 8753 WriteUSBID ret:64 IDFlag:1***\n") +
                       DD("***GetPOSMode raw_data : 0***\n") +
                       DD("***SetCurrPOSMode CurrPOSMode:1***\n") +
                       DD("***WritePOSMode 8753***\n") + DD("***GetPOSMode raw_data : 1***\n") +
                       DD("***SetCurrPOSMode NewMode:2 CurrPOSMode:2***\n") +
                       DD("***SetCurrPOSMode WritePOSMode mode:2 NewPosMode:2***\n"));
}

TEST_F(ModeSwitchTest, OnlyTheModeNameIsShownWithoutDebugOutput) {
  struct Case {
    bool legacy;
    unsigned char mode;
    const char *out;
  };
  const Case cases[] = {
      {false, 1, "II:Set to digitizer\n"},
      {false, 2, "II:Set to mouse\n"},
      {false, 3, "II:Set to hybrid\n"},
      {false, 4, "II:Set to hybrid\n"},
      {true, 2, ""},
      {true, 4, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.legacy ? "legacy " : "current ") + std::to_string(c.mode));
    vusb::Reset();
    int id = c.legacy ? vusb::AddPctLegacy() : vusb::AddPctCurrent(0x2575, 0x1111);
    Open(id);
    std::string out = Stdout([&] { SetCurrPOSMode(dev_, c.mode); });
    EXPECT_EQ(out, c.out);
    EXPECT_EQ(vusb::Dev(id).PosMode(), c.mode);
    Close();
  }
}

// ---------------------------------------------------------------------------------------------
// Nothing to write

TEST_F(ModeSwitchTest, ControllerAlreadyInTheModeIsOnlyRead) {
  struct Case {
    const char *name;
    bool legacy;
    uint16_t pid;
    int stored;
    unsigned char mode;
  };
  const Case cases[] = {
      {"legacy in mouse mode", true, 0x0040, 2, 2},
      {"legacy in hybrid-m mode", true, 0x0040, 4, 4},
      {"current in mouse mode", false, 0x9969, 2, 2},
      {"current in digitizer mode under its home ID", false, 0x8753, 1, 1},
      // Under the hybrid product ID either hybrid mode counts as the one asked for.
      {"current reporting hybrid-m, asked hybrid-d", false, 0x9968, 4, 3},
      {"current reporting hybrid-d, asked hybrid-m", false, 0x9968, 3, 4},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    vusb::Reset();
    int id = c.legacy ? vusb::AddPctLegacy() : vusb::AddPctCurrent(0x2575, c.pid);
    vusb::Dev(id).SetPosMode(c.stored);
    Open(id);

    EXPECT_EQ(SetCurrPOSMode(dev_, c.mode), 0);

    EXPECT_EQ(Seq(), Concat({PosRead(c.legacy, c.stored), {"wait 200"}}));
    Close();
  }
}

TEST_F(ModeSwitchTest, HybridReadBackRuleEndsTheWriteLoopAtOnce) {
  // Mouse mode, asked for hybrid-m; the controller keeps hybrid-d.
  int id = vusb::AddPctCurrent(0x2575, 0x9969);
  vusb::Dev(id).SetPosMode(3);
  Open(id);
  IgnorePosWrites(id);

  EXPECT_EQ(SetCurrPOSMode(dev_, 4), 1);

  EXPECT_EQ(UsbIdWrites(id), std::vector<uint32_t>{Ids(0x2575, 0x9968)});
  EXPECT_EQ(PosWrites(id), std::vector<int>{0x23});
  EXPECT_EQ(vusb::Waits(), (std::vector<unsigned>{20, 20, 200}));
}

TEST_F(ModeSwitchTest, LegacyReadBackIsTakenAsItIs) {
  int id = vusb::AddPctLegacy();
  vusb::Dev(id).SetPosMode(4);
  Open(id);

  EXPECT_EQ(SetCurrPOSMode(dev_, 3), 1);

  EXPECT_EQ(PosWrites(id), std::vector<int>{0x22});
  EXPECT_EQ(vusb::Dev(id).PosMode(), 3);
  EXPECT_TRUE(vusb::SetReports(id, 0xF3).empty());
}

// ---------------------------------------------------------------------------------------------
// Which IDs are written

TEST_F(ModeSwitchTest, DigitizerProductIdComesFromTheBlockTheEnumerationOrTheVendor) {
  struct Case {
    const char *name;
    uint16_t vid, pid;
    int oldVid, oldPid;
    std::vector<uint32_t> written;
  };
  const Case cases[] = {
      {"home ID recorded", 0x2149, 0x9969, 0x2149, 0x3D28, {Ids(0x2149, 0x3D28)}},
      // The recorded ID wins over the vendor default and over the enumerated ID.
      {"home ID recorded, not the vendor default",
       0x2575,
       0x9969,
       0x2575,
       0x1234,
       {Ids(0x2575, 0x1234)}},
      {"home ID recorded, under another ID", 0x22B9, 0x5555, 0x22B9, 0x0041, {Ids(0x22B9, 0x0041)}},
      {"home ID recorded, other than the enumeration",
       0x2575,
       0x9969,
       0x2575,
       0x8753,
       {Ids(0x2575, 0x8753)}},
      {"nothing recorded, in mouse mode", 0x2149, 0x9969, 0, 0, {Ids(0x2149, 0x3D28)}},
      {"nothing recorded, in hybrid mode", 0x22B9, 0x9968, 0, 0, {Ids(0x22B9, 0x0040)}},
      {"nothing recorded, unlisted vendor", 0x2619, 0x9969, 0, 0, {Ids(0x2619, 0x8753)}},
      {"mode ID recorded: the vendor default",
       0x22B9,
       0x9969,
       0x22B9,
       0x9968,
       {Ids(0x22B9, 0x0040)}},
      {"mode ID recorded, already under the default", 0x22B9, 0x0040, 0x22B9, 0x9969, {}},
      {"already under the recorded ID", 0x2575, 0x1234, 0x2575, 0x1234, {}},
      {"nothing recorded, own ID kept", 0x2575, 0x5555, 0, 0, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    vusb::Reset();
    int id = vusb::AddPctCurrent(c.vid, c.pid);
    vusb::Dev(id).SetPosMode(2);
    Open(id);
    DevInfo.OLD_VID = c.oldVid;
    DevInfo.OLD_PID = c.oldPid;

    EXPECT_EQ(SetCurrPOSMode(dev_, 1), 1);

    EXPECT_EQ(UsbIdWrites(id), c.written);
    EXPECT_EQ(PosWrites(id), std::vector<int>{0x20});
    Close();
  }
}

TEST_F(ModeSwitchTest, ModeProductIds) {
  const std::pair<unsigned char, uint32_t> cases[] = {
      {2, Ids(0x2575, 0x9969)}, {3, Ids(0x2575, 0x9968)}, {4, Ids(0x2575, 0x9968)}};
  for (const auto &[mode, ids] : cases) {
    SCOPED_TRACE(mode);
    vusb::Reset();
    int id = vusb::AddPctCurrent();
    Open(id);
    EXPECT_EQ(SetCurrPOSMode(dev_, mode), 1);
    EXPECT_EQ(UsbIdWrites(id), std::vector<uint32_t>{ids});
    EXPECT_EQ(PosWrites(id), std::vector<int>{mode + 31});
    Close();
  }
}

TEST_F(ModeSwitchTest, MissingVendorIdIsTakenFromTheBlockOrFallsBackTo22B9) {
  struct Case {
    int oldVid;
    uint32_t vendor;
  };
  const Case cases[] = {{0x2149, 0x2149}, {0, 0x22B9}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.oldVid);
    vusb::Reset();
    int id = vusb::AddPctCurrent(0x2575, 0x9969);
    vusb::Dev(id).SetPosMode(2);
    Open(id);
    DevInfo.VID = 0;
    DevInfo.OLD_VID = c.oldVid;

    // Even in the mode and under its product ID: a vendor ID of 0 is always rewritten.
    EXPECT_EQ(SetCurrPOSMode(dev_, 2), 1);

    EXPECT_EQ(UsbIdWrites(id), std::vector<uint32_t>{Ids(c.vendor, 0x9969)});
    EXPECT_EQ(PosWrites(id), std::vector<int>{0x21});
    Close();
  }
}

TEST_F(ModeSwitchTest, MissingVendorIdIsWrittenInEveryPass) {
  int id = vusb::AddPctCurrent();
  Open(id);
  IgnorePosWrites(id);
  DevInfo.VID = 0;

  EXPECT_EQ(SetCurrPOSMode(dev_, 2), 1);

  // The retarget pass to the reported digitizer mode writes the IDs again, with the
  // enumerated product ID as no home ID is known.
  EXPECT_EQ(UsbIdWrites(id), (std::vector<uint32_t>{Ids(0x22B9, 0x9969), Ids(0x22B9, 0x8753)}));
  std::vector<int> writes(6, 0x21);
  writes.push_back(0x20);
  EXPECT_EQ(PosWrites(id), writes);
}

TEST_F(ModeSwitchTest, FailedUsbIdWriteInARetargetPassEndsTheCallWithTheLastWriteResult) {
  int id = vusb::AddPctCurrent();
  Open(id);
  IgnorePosWrites(id);
  DevInfo.VID = 0;
  // The first ID write goes out, the one of the retarget pass does not: it follows the write,
  // the read and six attempts of a write and a read, at transfer 22.
  FaultNth(id, 22, -EPIPE);

  EXPECT_EQ(SetCurrPOSMode(dev_, 2), 1);

  EXPECT_EQ(UsbIdWrites(id), (std::vector<uint32_t>{Ids(0x22B9, 0x9969), Ids(0x22B9, 0x8753)}));
  ASSERT_EQ(vusb::Transfers(id).size(), 22u);
  EXPECT_EQ(vusb::Transfers(id)[21].ReportId(), 0xF3);
  EXPECT_EQ(PosWrites(id), std::vector<int>(6, 0x21));
  // No wait after the refused write, no position read after it.
  EXPECT_EQ(vusb::Waits(), std::vector<unsigned>(7, 20));
}

// ---------------------------------------------------------------------------------------------
// Retarget passes

TEST_F(ModeSwitchTest, LegacyControllerStuckInDigitizerModeIsRetargeted) {
  int id = vusb::AddPctLegacy();
  Open(id);
  // Transfers at first-attempt command mode: the read 1-2, then per attempt entry, the write
  // (at 9k - 3), exit and the read. The six mouse-mode writes are swallowed.
  const int swallowed[] = {6, 15, 24, 33, 42, 51};
  for (int n : swallowed)
    FaultNth(id, n, 64);

  EXPECT_EQ(SetCurrPOSMode(dev_, 2), 1);

  std::vector<vusb::Entry> transfers = vusb::Transfers(id);
  for (int n : swallowed) {
    ASSERT_GE(transfers.size(), static_cast<size_t>(n));
    EXPECT_EQ(transfers[n - 1].data[4], 0xC9) << n;
  }
  std::vector<int> writes(6, 0x21);
  writes.push_back(0x20);
  EXPECT_EQ(PosWrites(id), writes);
  EXPECT_EQ(vusb::Dev(id).storedPosMode, 0x20u);
  // Read, six attempts, the retarget read and one attempt, then the wait of the match.
  const std::vector<unsigned> attempt = {5, 10, 5, 10, 20};
  std::vector<unsigned> waits = {20};
  for (int i = 0; i < 7; i++) {
    if (i == 6)
      waits.push_back(20);
    waits.insert(waits.end(), attempt.begin(), attempt.end());
  }
  waits.push_back(200);
  EXPECT_EQ(vusb::Waits(), waits);
}

TEST_F(ModeSwitchTest, RetargetPassesAreBounded) {
  // A legacy controller that never settles: its reported mode flips between mouse and
  // digitizer so that no pass ever sees its own target read back. Transfers at first-attempt
  // command mode: pass 0 reads at 1-2 and makes six attempts of nine transfers (write at
  // 9k - 3, read-back reply at 9k + 2); every later pass is eleven transfers from 57 on, its
  // write at 62 + 11(p - 1) and its read-back reply at 67 + 11(p - 1).
  int id = vusb::AddPctLegacy();
  Open(id);
  for (int k = 1; k <= 6; k++)
    FaultNth(id, 9 * k + 2, 64); // reads back as digitizer: the mouse write seems lost
  for (int p = 1; p <= 30; p++) {
    if (p % 2 == 1)
      FaultNth(id, 62 + 11 * (p - 1), 64); // the digitizer write is swallowed
    else
      FaultNth(id, 67 + 11 * (p - 1), 64); // the mouse write reads back as digitizer
  }

  EXPECT_EQ(SetCurrPOSMode(dev_, 2), 1);

  // Six writes in the first pass, then one per retarget pass: three passes.
  EXPECT_EQ(PosWrites(id),
            (std::vector<int>{0x21, 0x21, 0x21, 0x21, 0x21, 0x21, 0x20, 0x21, 0x20}));
  std::vector<vusb::Entry> transfers = vusb::Transfers(id);
  ASSERT_EQ(transfers.size(), 89u);
  EXPECT_EQ(transfers[61].data[4], 0xC9);
  EXPECT_TRUE(transfers[66].IsGetReport());
  EXPECT_EQ(vusb::Waits().back(), 20u); // no 200 ms: no match was read back
}

TEST_F(ModeSwitchTest, RetargetToAModeOutsideOneToFourWritesNothing) {
  struct Case {
    const char *name;
    bool legacy;
    std::function<void(vusb::Device &)> arrange;
  };
  const Case cases[] = {
      {"current, configuration unreadable", false,
       [](vusb::Device &d) { FaultAll(d.id, kSet, 0x06, 0xA2, -EPIPE); }},
      {"legacy, configuration unreadable", true,
       [](vusb::Device &d) { FaultAll(d.id, kSet, 0x06, 0xA2, -EPIPE); }},
      {"current, reports 0xFF", false,
       [](vusb::Device &d) {
         d.storedPosMode = 0x1F;
         FaultAll(d.id, kSet, 0x08, 0x84, 64);
       }},
      {"current, reports mode 5", false,
       [](vusb::Device &d) {
         d.storedPosMode = 0x24;
         FaultAll(d.id, kSet, 0x08, 0x84, 64);
       }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    int id = OnlyController(c.legacy);
    Open(id);
    c.arrange(vusb::Dev(id));

    EXPECT_EQ(SetCurrPOSMode(dev_, 2), 1);

    EXPECT_EQ(PosWrites(id), std::vector<int>(6, 0x21));
    EXPECT_EQ(UsbIdWrites(id).size(), c.legacy ? 0u : 1u);
    Close();
  }
}

// ---------------------------------------------------------------------------------------------
// Entry points

TEST_F(ModeSwitchTest, EntryPointsSwitchAndResetUnlessTold) {
  struct Entry {
    const char *name;
    void (*fn)(hid_device *, char);
    int mode;
  };
  const Entry entries[] = {{"digitizer", SetDevtoDigitizer, 1},
                           {"mouse", SetDevtoMouse, 2},
                           {"hybrid 1", SetDevtoHybrid1, 3},
                           {"hybrid 2", SetDevtoHybrid2, 4}};
  for (bool legacy : {false, true}) {
    for (const Entry &e : entries) {
      for (char notReset : {0, 1}) {
        SCOPED_TRACE(std::string(legacy ? "legacy " : "current ") + e.name +
                     (notReset ? ", not reset" : ""));
        vusb::Reset();
        int id = legacy ? vusb::AddPctLegacy() : vusb::AddPctCurrent(0x2575, 0x1111);
        vusb::Dev(id).SetPosMode(e.mode == 1 ? 2 : 1);
        Open(id);

        e.fn(dev_, notReset);

        EXPECT_EQ(PosWrites(id), std::vector<int>{e.mode + 31});
        EXPECT_EQ(ResetRequests(id), notReset ? 0 : 1);
        if (!notReset) {
          const Bytes last = vusb::SetReports(id, 0x08).back();
          EXPECT_EQ(last, legacy ? Report({0x08, 0x91, 0x02, 0x00, 0x82, 0x01}, 6)
                                 : Report({0x08, 0x84, 0x09}));
        }
        Close();
      }
    }
  }
}

TEST_F(ModeSwitchTest, EntryPointResetsWhateverTheSwitchAchieved) {
  struct Case {
    const char *name;
    uint16_t pid;
    int stored;
    std::function<void(int)> arrange;
  };
  const Case cases[] = {
      {"USB-ID write refused", 0x8753, 1, [](int id) { FaultAll(id, kSet, 0xF3, -1, -EPIPE); }},
      {"nothing to do", 0x9968, 4, [](int) {}},
  };
  for (const Case &c : cases) {
    for (char notReset : {0, 1}) {
      SCOPED_TRACE(std::string(c.name) + (notReset ? ", not reset" : ""));
      vusb::Reset();
      int id = vusb::AddPctCurrent(0x2575, c.pid);
      vusb::Dev(id).SetPosMode(c.stored);
      Open(id);
      c.arrange(id);

      SetDevtoHybrid1(dev_, notReset);

      EXPECT_TRUE(PosWrites(id).empty());
      EXPECT_EQ(vusb::SetReports(id, 0x08),
                notReset ? std::vector<Bytes>{} : std::vector<Bytes>{Report({0x08, 0x84, 0x09})});
      Close();
    }
  }
}

} // namespace
