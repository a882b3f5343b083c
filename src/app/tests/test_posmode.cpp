// Position-mode and USB-ID commands on both controller generations: what goes over the wire,
// where the position configuration is read from, and what the results are.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "base/state.h"
#include "pct/posmode.h"
#include "pct_helpers.h"
#include "vusb.h"

namespace {

using namespace pct;

class PosModeTest : public PctTest {};

// ---------------------------------------------------------------------------------------------
// SetPOSMode

TEST_F(PosModeTest, SetPosModeOnCurrentControllerReadsWritesAndResets) {
  int id = vusb::AddPctCurrent();
  Open(id);
  DbgFlag = 1;

  std::string out = Stdout([&] { SetPOSMode(dev_, 2); });

  EXPECT_EQ(Seq(), Concat({PosRead(false, 1), {"set 08 84 c9 00 21 /64"}, ResetCurrent()}));
  EXPECT_EQ(vusb::Waits(), (std::vector<unsigned>{20}));
  EXPECT_EQ(vusb::Dev(id).storedPosMode, 0x21u);
  EXPECT_EQ(vusb::Dev(id).resets, 1);
  EXPECT_EQ(out, "panelcfg DD:***GetPOSMode raw_data : 0***\n"
                 "panelcfg DD:###set pos mode 1 to 2(0x21)###\n"
                 "panelcfg DD:***WritePOSMode 8753***\n"
                 "panelcfg DD:***ResetDevice***\n");
}

TEST_F(PosModeTest, SetPosModeOnLegacyControllerBracketsTheWriteAndTheReset) {
  int id = vusb::AddPctLegacy();
  Open(id);
  DbgFlag = 1;

  std::string out = Stdout([&] { SetPOSMode(dev_, 2); });

  // The read needs no command mode; the write and the reset each get their own bracket.
  EXPECT_EQ(Seq(), Concat({PosRead(true, 1),
                           EnterCmd(),
                           {"set 08 91 05 00 c9 21 /64"},
                           LeaveCmd(),
                           ResetLegacy()}));
  EXPECT_EQ(vusb::Dev(id).storedPosMode, 0x21u);
  EXPECT_EQ(vusb::Dev(id).resets, 1);
  EXPECT_EQ(vusb::Dev(id).deviceMode, 0x01);
  EXPECT_EQ(out, "panelcfg DD:***GetPOSMode raw_data : 0***\n"
                 "panelcfg DD:###set pos mode 1 to 2(0x21)###\n"
                 "panelcfg DD:***enter_cmd_mode count:20***\n"
                 "panelcfg DD:***WritePOSMode 8752***\n"
                 "panelcfg DD:***leave_cmd_mode count:20***\n"
                 "panelcfg DD:***ResetDevice***\n"
                 "panelcfg DD:***enter_cmd_mode count:20***\n"
                 "panelcfg DD:***leave_cmd_mode count:20***\n");
}

TEST_F(PosModeTest, SetPosModeWritesEachModeEvenWhenAlreadySet) {
  for (bool legacy : {false, true}) {
    for (int mode = 1; mode <= 4; mode++) {
      SCOPED_TRACE((legacy ? "legacy mode " : "current mode ") + std::to_string(mode));
      int id = OnlyController(legacy);
      vusb::Dev(id).SetPosMode(mode);
      Open(id);

      SetPOSMode(dev_, mode);

      EXPECT_EQ(PosWrites(id), std::vector<int>{mode + 31});
      EXPECT_EQ(ResetRequests(id), 1);
      EXPECT_EQ(vusb::Dev(id).PosMode(), mode);
      // No read-back after the write: the only position read is the one before it.
      EXPECT_EQ(Commands(id, 0x06, 0xA2).size(), 1u);
      Close();
    }
  }
}

TEST_F(PosModeTest, SetPosModeNeverStoresAValueOutsideTheFourModes) {
  for (bool legacy : {false, true}) {
    for (int mode : {0, 5, -1, 9, 224, 256 + 2}) {
      SCOPED_TRACE((legacy ? "legacy " : "current ") + std::to_string(mode));
      int id = OnlyController(legacy);
      vusb::Dev(id).SetPosMode(3);
      Open(id);

      SetPOSMode(dev_, mode);

      EXPECT_TRUE(vusb::SetReports(id, 0x08).empty());
      EXPECT_EQ(vusb::Dev(id).storedPosMode, 0x22u);
      EXPECT_EQ(vusb::Dev(id).resets, 0);
      Close();
    }
  }
}

TEST_F(PosModeTest, SetPosModeSendsNoResetWhenCommandModeIsRefused) {
  int id = vusb::AddPctLegacy();
  vusb::Dev(id).faults.ignoredModeSets = -1;
  Open(id);

  SetPOSMode(dev_, 4);

  // Twenty unconfirmed attempts to enter, then nothing: no write, no reset, no leave.
  std::vector<Bytes> modeSets = Commands(id, 0x08, 0x91);
  ASSERT_EQ(modeSets.size(), 20u);
  for (const Bytes &b : modeSets)
    EXPECT_EQ(b, Report({0x08, 0x91, 0x02, 0x00, 0x82, 0x90}, 6));
  EXPECT_TRUE(PosWrites(id).empty());
  EXPECT_EQ(ResetRequests(id), 0);
  EXPECT_EQ(vusb::Dev(id).storedPosMode, 0x20u);
}

// ---------------------------------------------------------------------------------------------
// WritePOSMode

TEST_F(PosModeTest, WritePosModeCarriesFourBytesOnLegacyAndTheLowByteOnCurrent) {
  struct Case {
    int value;
    Bytes legacy;
    Bytes current;
  };
  const Case cases[] = {
      {0x21, Report({0x08, 0x91, 0x05, 0x00, 0xC9, 0x21}), Report({0x08, 0x84, 0xC9, 0x00, 0x21})},
      {0x12345622, Report({0x08, 0x91, 0x05, 0x00, 0xC9, 0x22, 0x56, 0x34, 0x12}),
       Report({0x08, 0x84, 0xC9, 0x00, 0x22})},
      {0x1FF, Report({0x08, 0x91, 0x05, 0x00, 0xC9, 0xFF, 0x01}),
       Report({0x08, 0x84, 0xC9, 0x00, 0xFF})},
      {-1, Report({0x08, 0x91, 0x05, 0x00, 0xC9, 0xFF, 0xFF, 0xFF, 0xFF}),
       Report({0x08, 0x84, 0xC9, 0x00, 0xFF})},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.value);
    for (bool legacy : {false, true}) {
      int id = OnlyController(legacy);
      Open(id);

      EXPECT_EQ(WritePOSMode(dev_, c.value), 1);

      std::vector<Bytes> writes = Commands(id, 0x08, legacy ? 0x91 : 0x84);
      if (legacy) {
        // enter, the write, leave
        ASSERT_EQ(writes.size(), 3u);
        EXPECT_EQ(writes[1], c.legacy);
        EXPECT_EQ(vusb::Dev(id).storedPosMode, static_cast<uint32_t>(c.value));
      } else {
        ASSERT_EQ(writes.size(), 1u);
        EXPECT_EQ(writes[0], c.current);
        EXPECT_EQ(vusb::Dev(id).storedPosMode, static_cast<uint32_t>(c.value & 0xFF));
      }
      EXPECT_EQ(ResetRequests(id), 0);
      Close();
    }
  }
}

TEST_F(PosModeTest, WritePosModeResultFollowsCommandModeOnly) {
  struct Case {
    const char *name;
    bool legacy;
    std::function<void(vusb::Device &)> arrange;
    int result;
    size_t writes; // position-mode requests that went out
  };
  // A legacy write at the first attempts: entry is transfers 1 to 3, the write the 4th, exit
  // from the 5th on.
  const Case cases[] = {
      {"current, the write stalls", false,
       [](vusb::Device &d) { FaultAll(d.id, kSet, 0x08, 0x84, -EPIPE); }, 1, 1},
      {"current, the write moves nothing", false,
       [](vusb::Device &d) { FaultAll(d.id, kSet, 0x08, 0x84, 0); }, 1, 1},
      {"legacy, the write stalls", true, [](vusb::Device &d) { FaultNth(d.id, 4, -EPIPE); }, 1, 1},
      {"legacy, entry never confirmed", true,
       [](vusb::Device &d) { d.faults.ignoredModeSets = -1; }, 0, 0},
      {"legacy, exit never confirmed", true, [](vusb::Device &d) { d.faults.unplugAtTransfer = 5; },
       0, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    int id = OnlyController(c.legacy);
    Open(id);
    c.arrange(vusb::Dev(id));

    EXPECT_EQ(WritePOSMode(dev_, 0x23), c.result);
    EXPECT_EQ(PosWrites(id).size(), c.writes);
    Close();
  }
}

// ---------------------------------------------------------------------------------------------
// WriteUSBID

TEST_F(PosModeTest, WriteUsbIdSendsLowBytesFirstAtBytesSixToNine) {
  struct Case {
    int vid, pid;
    Bytes sent;
  };
  const Case cases[] = {
      {0x22B9, 0x9969, Report({0xF3, 0x08, 0x00, 0x02, 0x00, 0x00, 0xB9, 0x22, 0x69, 0x99})},
      {0x2575, 0x8753, Report({0xF3, 0x08, 0x00, 0x02, 0x00, 0x00, 0x75, 0x25, 0x53, 0x87})},
      // Only the low 16 bits of each ID travel.
      {0x7122B9, 0x3D0040, Report({0xF3, 0x08, 0x00, 0x02, 0x00, 0x00, 0xB9, 0x22, 0x40, 0x00})},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.vid);
    vusb::Reset();
    int id = vusb::AddPctCurrent();
    Open(id);
    DbgFlag = 1;
    char result = 0;

    std::string out = Stdout([&] { result = WriteUSBID(dev_, c.vid, c.pid); });

    EXPECT_EQ(result, 64);
    EXPECT_EQ(vusb::SetReports(id), std::vector<Bytes>{c.sent});
    EXPECT_TRUE(vusb::Waits().empty());
    EXPECT_TRUE(vusb::GetReports(id).empty());
    char line[64];
    snprintf(line, sizeof line, "panelcfg DD:WriteUSBID VID:0x%04X PID:0x%04X\n", c.vid, c.pid);
    EXPECT_EQ(out, line);
    // Taken over only at the next reset.
    EXPECT_TRUE(vusb::Dev(id).pendingIds);
    EXPECT_EQ(vusb::Dev(id).pendingVid, c.sent[6] | c.sent[7] << 8);
    EXPECT_EQ(vusb::Dev(id).pendingPid, c.sent[8] | c.sent[9] << 8);
    Close();
  }
}

TEST_F(PosModeTest, WriteUsbIdFailsWhenNothingMovedOrTheTransferFailed) {
  for (int fault : {-EPIPE, -ETIMEDOUT, 0}) {
    SCOPED_TRACE(fault);
    vusb::Reset();
    int id = vusb::AddPctCurrent();
    Open(id);
    FaultAll(id, kSet, 0xF3, -1, fault);

    EXPECT_EQ(WriteUSBID(dev_, 0x22B9, 0x9969), 0);
    EXPECT_EQ(vusb::SetReports(id, 0xF3).size(), 1u);
    EXPECT_TRUE(vusb::Waits().empty());
    Close();
  }
}

// ---------------------------------------------------------------------------------------------
// ReadPOSConfig and GetPOSMode

TEST_F(PosModeTest, ReadPosConfigRequestLengthAndCopyOffsetFollowTheGeneration) {
  for (bool legacy : {false, true}) {
    SCOPED_TRACE(legacy ? "legacy" : "current");
    int id = OnlyController(legacy);
    vusb::Dev(id).SetPosMode(4); // the configuration reports 0x03 at its byte 1
    Open(id);
    unsigned char area[20];
    memset(area, 0xEE, sizeof area);

    EXPECT_EQ(static_cast<unsigned char>(ReadPOSConfig(dev_, area, 16)), 64);

    // No command mode in either generation: the request, the pause, the reply.
    EXPECT_EQ(Seq(), PosRead(legacy, 4));
    EXPECT_EQ(vusb::SetReports(id),
              std::vector<Bytes>{Report({0x06, 0xA2, 0x10}, legacy ? 64 : 8)});
    // Copied from the data offset: byte 1 there is 0x03, and nothing past the 16 bytes.
    Bytes expected(16, 0);
    expected[1] = 0x03;
    EXPECT_EQ(Bytes(area, area + 16), expected);
    EXPECT_EQ(area[16], 0xEE);
    Close();
  }
}

TEST_F(PosModeTest, ReadPosConfigCopiesOnlyTheLengthAsked) {
  int id = vusb::AddPctCurrent();
  vusb::Dev(id).SetPosMode(3);
  Open(id);
  unsigned char area[4] = {0xEE, 0xEE, 0xEE, 0xEE};

  EXPECT_NE(ReadPOSConfig(dev_, area, 2), 0);

  EXPECT_EQ(vusb::SetReports(id), std::vector<Bytes>{Report({0x06, 0xA2, 0x02}, 8)});
  EXPECT_EQ(Bytes(area, area + 4), (Bytes{0x00, 0x02, 0xEE, 0xEE}));
}

TEST_F(PosModeTest, ReadPosConfigFailuresLeaveTheAreaAndSayWhere) {
  struct Case {
    const char *name;
    int request;
    int result;
    std::vector<unsigned> waits;
    const char *out;
  };
  const Case cases[] = {
      {"request stalls",
       kSet,
       -EPIPE,
       {},
       "panelcfg DD:ReadPOSConfig SetFeature failed err=000\r\n "},
      {"request moves nothing",
       kSet,
       0,
       {},
       "panelcfg DD:ReadPOSConfig SetFeature failed err=000\r\n "},
      {"reply stalls",
       kGet,
       -EPIPE,
       {20},
       "panelcfg DD:ReadPOSConfig GetFeature failed err=001\r\n "},
      {"reply moves nothing",
       kGet,
       0,
       {20},
       "panelcfg DD:ReadPOSConfig GetFeature failed err=001\r\n "},
  };
  for (bool legacy : {false, true}) {
    for (const Case &c : cases) {
      SCOPED_TRACE(std::string(legacy ? "legacy, " : "current, ") + c.name);
      int id = OnlyController(legacy);
      vusb::Dev(id).SetPosMode(2);
      Open(id);
      FaultAll(id, c.request, c.request == kSet ? 0x06 : 0x07, -1, c.result);
      DbgFlag = 1;
      unsigned char area[16];
      memset(area, 0xEE, sizeof area);
      char result = 1;

      std::string out = Stdout([&] { result = ReadPOSConfig(dev_, area, 16); });

      EXPECT_EQ(result, 0);
      EXPECT_EQ(out, c.out);
      EXPECT_EQ(vusb::Waits(), c.waits);
      EXPECT_EQ(Bytes(area, area + 16), Bytes(16, 0xEE));
      Close();
    }
  }
}

TEST_F(PosModeTest, GetPosModeIsByteOnePlusOne) {
  struct Case {
    uint32_t stored; // byte 1 of the configuration is stored - 32
    int mode;
    const char *raw;
  };
  const Case cases[] = {
      {0x20, 1, "0"}, {0x21, 2, "1"},   {0x22, 3, "2"},
      {0x23, 4, "3"}, {0x1F, 0, "255"}, // 0xFF wraps to 0, the same as a failed read
      {0x24, 5, "4"},
  };
  for (bool legacy : {false, true}) {
    for (const Case &c : cases) {
      SCOPED_TRACE(std::string(legacy ? "legacy " : "current ") + c.raw);
      int id = OnlyController(legacy);
      vusb::Dev(id).storedPosMode = c.stored;
      Open(id);
      DbgFlag = 1;
      unsigned char mode = 99;

      std::string out = Stdout([&] { mode = GetPOSMode(dev_); });

      EXPECT_EQ(mode, c.mode);
      EXPECT_EQ(out, std::string("panelcfg DD:***GetPOSMode raw_data : ") + c.raw + "***\n");
      EXPECT_EQ(vusb::SetReports(id),
                std::vector<Bytes>{Report({0x06, 0xA2, 0x10}, legacy ? 64 : 8)});
      Close();
    }
  }
}

TEST_F(PosModeTest, GetPosModeIsZeroWhenTheConfigurationCannotBeRead) {
  for (int request : {kSet, kGet}) {
    SCOPED_TRACE(request);
    vusb::Reset();
    int id = vusb::AddPctCurrent();
    vusb::Dev(id).SetPosMode(3);
    Open(id);
    FaultAll(id, request, request == kSet ? 0x06 : 0x07, -1, -EPIPE);
    DbgFlag = 1;
    unsigned char mode = 99;

    std::string out = Stdout([&] { mode = GetPOSMode(dev_); });

    EXPECT_EQ(mode, 0);
    EXPECT_EQ(out.find("raw_data"), std::string::npos) << out;
    Close();
  }
}

} // namespace
