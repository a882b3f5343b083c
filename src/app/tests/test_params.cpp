// The parameter block: checksum, the read, the write and the clearing of the area on both
// controller generations, over the wire and in the debug trace.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "base/state.h"
#include "pct/params.h"
#include "pct_helpers.h"
#include "vusb.h"

namespace {

using namespace pct;

class ParamsTest : public PctTest {
protected:
  // An identity block whose stored checksum has different low and high bytes.
  static Bytes SampleBlock() {
    return Block(0x2575, 0x8753, 0x170, {0x01, 0x02, 0x0A, 0x0B, 0x10, 0x20, 0xA0, 0xFF});
  }
};

// ---------------------------------------------------------------------------------------------
// CheckSum

TEST_F(ParamsTest, CheckSumStartsAt6666AndAddsUnsignedBytesModulo65536) {
  constexpr int kAll = -1000; // the whole of data
  struct Case {
    const char *name;
    Bytes data;
    int size;
    unsigned short sum;
  };
  const Case cases[] = {
      {"no bytes", {}, kAll, 0x6666},
      {"abc", {'a', 'b', 'c'}, kAll, 0x678C},
      {"32 zero bytes", Bytes(32, 0), kAll, 0x6666},
      {"32 erased bytes", Bytes(32, 0xFF), kAll, 0x8646},
      {"a byte above 0x7F counts unsigned", {0x80}, kAll, 0x66E6},
      {"wraps past 0xFFFF", Bytes(200, 0xFF), kAll, 0x2D9E},
      {"negative size", {'a'}, -5, 0x6666},
      {"size zero over data", {'a'}, 0, 0x6666},
      {"only size bytes count", {'a', 'b', 'c'}, 2, 0x6729},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    int size = c.size == kAll ? static_cast<int>(c.data.size()) : c.size;
    EXPECT_EQ(CheckSum(c.data.data(), size), c.sum);
  }
}

// ---------------------------------------------------------------------------------------------
// ReadParames

TEST_F(ParamsTest, ReadOnCurrentControllerTakesDataFromByte8AndChecksumFrom40) {
  int id = vusb::AddPctCurrent();
  vusb::Dev(id).params = Stored(SampleBlock());
  Open(id);
  unsigned char out[32];
  memset(out, 0x5A, sizeof out);

  EXPECT_EQ(ReadParames(dev_, out, 32), 1);

  EXPECT_EQ(Bytes(out, out + 32), SampleBlock());
  EXPECT_EQ(vusb::SetReports(id), std::vector<Bytes>{Report({0x06, 0xA1, 0x22, 0, 0, 0, 0, 0}, 8)});
  std::vector<vusb::Entry> replies = vusb::GetReports(id, 0x07);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].length, 64);
  Bytes stored = Stored(SampleBlock());
  EXPECT_EQ(Bytes(replies[0].data.begin() + 8, replies[0].data.begin() + 42), stored);
  EXPECT_EQ(vusb::Waits(), (std::vector<unsigned>{10}));
}

TEST_F(ParamsTest, ReadOnLegacyControllerIsOneCommandModeBracketWithDataFromByte4) {
  int id = vusb::AddPctLegacy();
  vusb::Dev(id).params = Stored(SampleBlock());
  Open(id);
  unsigned char out[32] = {};

  EXPECT_EQ(ReadParames(dev_, out, 32), 1);

  EXPECT_EQ(Bytes(out, out + 32), SampleBlock());
  Lines seq = Seq();
  ASSERT_EQ(seq.size(), 13u);
  EXPECT_EQ(Lines(seq.begin(), seq.begin() + 5), EnterCmd());
  EXPECT_EQ(seq[5], "set 06 a1 22 /64");
  EXPECT_EQ(seq[6], "wait 10");
  EXPECT_EQ(Lines(seq.begin() + 8, seq.end()), LeaveCmd());
  std::vector<vusb::Entry> replies = vusb::GetReports(id, 0x07);
  ASSERT_EQ(replies.size(), 3u);
  EXPECT_EQ(Bytes(replies[1].data.begin() + 4, replies[1].data.begin() + 38),
            Stored(SampleBlock()));
  EXPECT_EQ(vusb::Dev(id).deviceMode, 0x01);
}

TEST_F(ParamsTest, ReadGivesTwoAndLeavesTheBlockWhenTheChecksumDiffers) {
  const Bytes good = Stored(SampleBlock());
  ASSERT_NE(good[32], good[33]); // so that a swap of the two bytes shows
  struct Case {
    const char *name;
    std::function<void(vusb::Device &)> arrange;
    int result;
  };
  const Case cases[] = {
      {"intact", [](vusb::Device &) {}, 1},
      {"checksum bytes swapped", [](vusb::Device &d) { std::swap(d.params[32], d.params[33]); }, 2},
      {"first data byte changed", [](vusb::Device &d) { d.params[0] ^= 0x01; }, 2},
      {"last data byte changed", [](vusb::Device &d) { d.params[31] ^= 0x80; }, 2},
      {"checksum high byte changed", [](vusb::Device &d) { d.params[33] ^= 0x01; }, 2},
      {"two data bytes swapped, same sum",
       [](vusb::Device &d) { std::swap(d.params[0], d.params[1]); }, -1},
      {"reply corrupted in transit", [](vusb::Device &d) { d.faults.corruptChecksum = true; }, 2},
      {"erased area", [](vusb::Device &d) { d.params.clear(); }, 2},
      {"cleared area", [](vusb::Device &d) { d.params.assign(64, 0); }, 2},
  };
  for (bool legacy : {false, true}) {
    for (const Case &c : cases) {
      SCOPED_TRACE(std::string(legacy ? "legacy, " : "current, ") + c.name);
      int id = OnlyController(legacy);
      vusb::Dev(id).params = good;
      c.arrange(vusb::Dev(id));
      Open(id);
      unsigned char out[32];
      memset(out, 0x5A, sizeof out);

      int result = ReadParames(dev_, out, 32);

      if (c.result == -1) {
        // The checksum cannot see the order of the bytes: accepted, decoded as it stands.
        EXPECT_EQ(result, 1);
        EXPECT_EQ(Bytes(out, out + 32), Decoded(vusb::Dev(id).params));
      } else {
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(Bytes(out, out + 32), c.result == 1 ? SampleBlock() : Bytes(32, 0x5A));
      }
      // A mismatch is found only after command mode was left.
      if (legacy) {
        EXPECT_EQ(vusb::Dev(id).deviceMode, 0x01);
      }
      Close();
    }
  }
}

TEST_F(ParamsTest, ReadOfAnErasedAreaTracesTheReplyAndBothSums) {
  int id = vusb::AddPctCurrent();
  Open(id);
  DbgFlag = 1;
  unsigned char out[32] = {};
  int result = -1;

  std::string trace = Stdout([&] { result = ReadParames(dev_, out, 32); });

  EXPECT_EQ(result, 2);
  EXPECT_EQ(trace, "panelcfg DD:***ReadParames Start IsLegacy:2***\n"
                   "panelcfg DD:ReadParames 8753\n"
                   "panelcfg DD:ReadParames RespBuf---start\n"
                   "panelcfg DD:0x07 0x00 0x00 0x00 0x00 0x00 0x00 0x00\n"
                   "panelcfg DD:0xff 0xff 0xff 0xff 0xff 0xff 0xff 0xff\n"
                   "panelcfg DD:0xff 0xff 0xff 0xff 0xff 0xff 0xff 0xff\n"
                   "panelcfg DD:0xff 0xff 0xff 0xff 0xff 0xff 0xff 0xff\n"
                   "panelcfg DD:0xff 0xff 0xff 0xff 0xff 0xff 0xff 0xff\n"
                   "panelcfg DD:0xff 0xff 0x00 0x00 0x00 0x00 0x00 0x00\n"
                   "panelcfg DD:0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00\n"
                   "panelcfg DD:0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00\n"
                   "panelcfg DD:ReadParames RespBuf---End\n"
                   "panelcfg DD:ReadParames checksum fail cSumf=0x8646 cSum=0xffff\n");
}

TEST_F(ParamsTest, ReadThatPassesTracesTheSumsTheDecodedBlockAndTheEnd) {
  int id = vusb::AddPctLegacy();
  vusb::Dev(id).params = Stored(SampleBlock());
  Open(id);
  DbgFlag = 1;
  unsigned char out[32] = {};

  std::string trace = Stdout([&] { EXPECT_EQ(ReadParames(dev_, out, 32), 1); });

  const Bytes stored = Stored(SampleBlock());
  Bytes reply = Report({0x07});
  std::copy(stored.begin(), stored.end(), reply.begin() + 4);
  char sums[96];
  snprintf(sums, sizeof sums, "ReadParames checksum pass cSumf=0x%04x cSum=0x%04x\n",
           Sum16(stored.data(), 32), stored[32] | stored[33] << 8);
  EXPECT_EQ(trace, DD("***ReadParames Start IsLegacy:1***\n") + DD("ReadParames 8752\n") +
                       DD("***enter_cmd_mode count:20***\n") + Dump("ReadParames RespBuf", reply) +
                       DD("***leave_cmd_mode count:20***\n") + DD(sums) +
                       Dump("ReadParames DecodeData", SampleBlock()) +
                       DD("***ReadParames End***\n"));
}

TEST_F(ParamsTest, ReadFailuresGiveZeroAndLegacyOnesStayInCommandMode) {
  struct Case {
    const char *name;
    bool legacy;
    std::function<void(vusb::Device &)> arrange;
    const char *lastLine; // nullptr: no line of this Part after the start lines
    std::vector<unsigned> waits;
    bool staysInCmdMode;
  };
  const char *kSetFail = "ReadParames SetFeature failed err=000\r\n ";
  const char *kGetFail = "ReadParames GetFeature failed err=001\r\n ";
  // Legacy transfers at the first attempts: entry 1 to 3, request 4, reply 5, exit from 6 on.
  const Case cases[] = {
      {"current, request stalls",
       false,
       [](vusb::Device &d) { FaultAll(d.id, kSet, 0x06, 0xA1, -EPIPE); },
       kSetFail,
       {},
       false},
      {"current, request moves nothing",
       false,
       [](vusb::Device &d) { FaultAll(d.id, kSet, 0x06, 0xA1, 0); },
       kSetFail,
       {},
       false},
      {"current, reply stalls",
       false,
       [](vusb::Device &d) { FaultAll(d.id, kGet, 0x07, -1, -EPIPE); },
       kGetFail,
       {10},
       false},
      {"current, reply moves nothing",
       false,
       [](vusb::Device &d) { FaultAll(d.id, kGet, 0x07, -1, 0); },
       kGetFail,
       {10},
       false},
      {"legacy, request stalls",
       true,
       [](vusb::Device &d) { FaultAll(d.id, kSet, 0x06, 0xA1, -EPIPE); },
       kSetFail,
       {5, 10},
       true},
      {"legacy, reply stalls",
       true,
       [](vusb::Device &d) { FaultNth(d.id, 5, -EPIPE); },
       kGetFail,
       {5, 10, 10},
       true},
      {"legacy, reply moves nothing",
       true,
       [](vusb::Device &d) { FaultNth(d.id, 5, 0); },
       kGetFail,
       {5, 10, 10},
       true},
      {"legacy, entry never confirmed", true,
       [](vusb::Device &d) { d.faults.ignoredModeSets = -1; }, nullptr, Waits({{5, 1}, {10, 1}}),
       false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    int id = OnlyController(c.legacy);
    vusb::Dev(id).params = Stored(SampleBlock());
    Open(id);
    c.arrange(vusb::Dev(id));
    DbgFlag = 1;
    unsigned char out[32];
    memset(out, 0x5A, sizeof out);
    int result = -1;

    std::string trace = Stdout([&] { result = ReadParames(dev_, out, 32); });

    EXPECT_EQ(result, 0);
    EXPECT_EQ(Bytes(out, out + 32), Bytes(32, 0x5A));
    EXPECT_EQ(trace.find("checksum"), std::string::npos) << trace;
    if (c.lastLine != nullptr) {
      const std::string last = DD(c.lastLine);
      ASSERT_GE(trace.size(), last.size());
      EXPECT_EQ(trace.substr(trace.size() - last.size()), last);
      EXPECT_EQ(vusb::Waits(), c.waits);
    } else {
      // Twenty unconfirmed entries, and not a single read request.
      std::vector<unsigned> waits;
      for (int i = 0; i < 20; i++)
        waits.insert(waits.end(), c.waits.begin(), c.waits.end());
      EXPECT_EQ(vusb::Waits(), waits);
      EXPECT_TRUE(Commands(id, 0x06, 0xA1).empty());
    }
    if (c.legacy) {
      // Never left: no device-mode write back to 0x01.
      for (const Bytes &b : Commands(id, 0x08, 0x91))
        EXPECT_EQ(b[5], 0x90);
      EXPECT_EQ(vusb::Dev(id).deviceMode, c.staysInCmdMode ? 0x90 : 0x01);
    }
    Close();
  }
}

TEST_F(ParamsTest, LegacyReadGivesZeroWhenCommandModeCannotBeLeft) {
  int id = vusb::AddPctLegacy();
  vusb::Dev(id).params = Stored(SampleBlock());
  Open(id);
  vusb::Dev(id).faults.unplugAtTransfer = 6; // after the reply
  unsigned char out[32];
  memset(out, 0x5A, sizeof out);

  EXPECT_EQ(ReadParames(dev_, out, 32), 0);
  EXPECT_EQ(Bytes(out, out + 32), Bytes(32, 0x5A));
  EXPECT_EQ(Commands(id, 0x08, 0x91).size(), 21u); // entry once, exit twenty times
}

// ---------------------------------------------------------------------------------------------
// WriteParames

TEST_F(ParamsTest, WriteOnCurrentControllerSendsEncodedBlockAndChecksumFromByte8) {
  int id = vusb::AddPctCurrent();
  Open(id);
  DbgFlag = 1;
  const Bytes block = SampleBlock();
  int result = -1;

  std::string trace = Stdout([&] { result = WriteParames(dev_, block.data(), 32); });

  EXPECT_EQ(result, 1);
  Bytes expected = Report({0x08, 0xA8, 0x22, 0x00, 0x00, 0x00, 0x00, 0x00});
  const Bytes stored = Stored(block);
  std::copy(stored.begin(), stored.end(), expected.begin() + 8);
  EXPECT_EQ(vusb::SetReports(id), std::vector<Bytes>{expected});
  EXPECT_EQ(Seq(), (Lines{SetLine(expected), "wait 100"}));
  EXPECT_EQ(vusb::Dev(id).params, stored);
  EXPECT_EQ(trace, Dump("WriteParames original", block) + DD("WriteParames End\n "));
}

TEST_F(ParamsTest, WriteOnLegacyControllerSendsFromByte4InsideCommandMode) {
  int id = vusb::AddPctLegacy();
  Open(id);
  DbgFlag = 1;
  const Bytes block = SampleBlock();
  int result = -1;

  std::string trace = Stdout([&] { result = WriteParames(dev_, block.data(), 32); });

  EXPECT_EQ(result, 1);
  Bytes expected = Report({0x08, 0xA8, 0x22, 0x00});
  const Bytes stored = Stored(block);
  std::copy(stored.begin(), stored.end(), expected.begin() + 4);
  EXPECT_EQ(Seq(), Concat({EnterCmd(), {SetLine(expected), "wait 100"}, LeaveCmd()}));
  EXPECT_EQ(vusb::Dev(id).params, stored);
  EXPECT_EQ(trace, Dump("WriteParames original", block) + DD("***enter_cmd_mode count:20***\n") +
                       DD("enter_cmd_mode pass\n ") + DD("***leave_cmd_mode count:20***\n") +
                       DD("WriteParames End\n "));
}

TEST_F(ParamsTest, WriteFailuresGiveZeroWithoutAMessage) {
  struct Case {
    const char *name;
    bool legacy;
    std::function<void(vusb::Device &)> arrange;
    std::vector<unsigned> waits;
    int deviceMode; // what the controller is left in
  };
  // Legacy transfers at the first attempts: entry 1 to 3, the write 4, exit from 5 on.
  const Case cases[] = {
      {"current, write stalls",
       false,
       [](vusb::Device &d) { FaultAll(d.id, kSet, 0x08, 0xA8, -EPIPE); },
       {},
       0x01},
      {"current, write moves nothing",
       false,
       [](vusb::Device &d) { FaultAll(d.id, kSet, 0x08, 0xA8, 0); },
       {},
       0x01},
      {"legacy, write stalls",
       true,
       [](vusb::Device &d) { FaultAll(d.id, kSet, 0x08, 0xA8, -EPIPE); },
       {5, 10},
       0x90},
      // Gone after the write: each exit attempt is a failed mode write and its 5 ms pause.
      {"legacy, exit never confirmed", true, [](vusb::Device &d) { d.faults.unplugAtTransfer = 5; },
       Waits({{5, 1}, {10, 1}, {100, 1}, {5, 20}}), 0x90},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    int id = OnlyController(c.legacy);
    Open(id);
    c.arrange(vusb::Dev(id));
    DbgFlag = 1;
    const Bytes block = SampleBlock();
    int result = -1;

    std::string trace = Stdout([&] { result = WriteParames(dev_, block.data(), 32); });

    EXPECT_EQ(result, 0);
    EXPECT_EQ(Commands(id, 0x08, 0xA8).size(), 1u);
    EXPECT_EQ(trace.find("WriteParames End"), std::string::npos) << trace;
    EXPECT_EQ(vusb::Waits(), c.waits);
    EXPECT_EQ(vusb::Dev(id).deviceMode, c.deviceMode);
    Close();
  }
}

TEST_F(ParamsTest, LegacyWriteIsNotSentWhenCommandModeIsRefused) {
  int id = vusb::AddPctLegacy();
  vusb::Dev(id).faults.ignoredModeSets = -1;
  Open(id);
  const Bytes block = SampleBlock();

  EXPECT_EQ(WriteParames(dev_, block.data(), 32), 0);
  EXPECT_TRUE(Commands(id, 0x08, 0xA8).empty());
  EXPECT_TRUE(vusb::Dev(id).params.empty());
}

TEST_F(ParamsTest, WrittenBlockReadsBackUnchanged) {
  for (bool legacy : {false, true}) {
    SCOPED_TRACE(legacy ? "legacy" : "current");
    int id = OnlyController(legacy);
    Open(id);
    Bytes block(32);
    for (size_t i = 0; i < block.size(); i++)
      block[i] = static_cast<uint8_t>(0xF0 - 7 * i);
    unsigned char out[32] = {};

    ASSERT_EQ(WriteParames(dev_, block.data(), 32), 1);
    EXPECT_EQ(ReadParames(dev_, out, 32), 1);
    EXPECT_EQ(Bytes(out, out + 32), block);
    Close();
  }
}

// ---------------------------------------------------------------------------------------------
// EmptyParames

TEST_F(ParamsTest, EmptyOnCurrentControllerWritesSixtyFourZerosAndReadsBack) {
  for (int fm : {FM_CLEAN, FM_TEST}) {
    SCOPED_TRACE(fm);
    vusb::Reset();
    int id = vusb::AddPctCurrent();
    vusb::Dev(id).params = Stored(SampleBlock());
    Open(id);
    FunctionMode = fm;
    DbgFlag = 1;
    char result = -1;

    std::string trace = Stdout([&] { result = EmptyParames(dev_); });

    EXPECT_EQ(result, 1);
    EXPECT_EQ(Seq(), (Lines{"set 08 a8 40 /64", "set 06 a1 40 /8", "wait 50", "get 07 /64"}));
    EXPECT_EQ(vusb::Dev(id).params, Bytes(64, 0));
    EXPECT_EQ(trace, DD("EmptyParames\n ") + Dump("EmptyParames RespBuf", Report({0x07})));
    Close();
  }
}

TEST_F(ParamsTest, EmptyOnLegacyControllerIsOneBracketAroundBothHalves) {
  for (int fm : {FM_CLEAN, FM_TEST}) {
    SCOPED_TRACE(fm);
    vusb::Reset();
    int id = vusb::AddPctLegacy();
    vusb::Dev(id).params = Stored(SampleBlock());
    Open(id);
    FunctionMode = fm;
    DbgFlag = 1;
    char result = -1;

    std::string trace = Stdout([&] { result = EmptyParames(dev_); });

    EXPECT_EQ(result, 1);
    EXPECT_EQ(Seq(), Concat({EnterCmd(),
                             {"set 08 a8 40 /64", "set 06 a1 40 /64", "wait 50", "get 07 /64"},
                             LeaveCmd()}));
    EXPECT_EQ(vusb::Dev(id).params, Bytes(64, 0));
    EXPECT_EQ(trace, DD("EmptyParames\n ") + DD("***enter_cmd_mode count:20***\n") +
                         DD("enter_cmd_mode pass\n ") + DD("***leave_cmd_mode count:20***\n") +
                         Dump("EmptyParames RespBuf", Report({0x07})));
    Close();
  }
}

TEST_F(ParamsTest, EmptyFailuresSayWhichHalfFailed) {
  struct Case {
    const char *name;
    std::function<void(vusb::Device &)> arrange;
    const char *line;
    std::vector<unsigned> waits; // current generation
  };
  const Case cases[] = {
      {"write stalls",
       [](vusb::Device &d) { FaultAll(d.id, kSet, 0x08, 0xA8, -EPIPE); },
       "EmptyParames SetFeature failed err=000\n ",
       {}},
      {"write moves nothing",
       [](vusb::Device &d) { FaultAll(d.id, kSet, 0x08, 0xA8, 0); },
       "EmptyParames SetFeature failed err=000\n ",
       {}},
      {"read request stalls",
       [](vusb::Device &d) { FaultAll(d.id, kSet, 0x06, 0xA1, -EPIPE); },
       "EmptyParames SetFeature failed err=001\r\n ",
       {}},
      {"reply stalls",
       [](vusb::Device &d) { FaultAll(d.id, kGet, 0x07, -1, -EPIPE); },
       "EmptyParames GetFeature failed err=002\r\n ",
       {50}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    vusb::Reset();
    int id = vusb::AddPctCurrent();
    Open(id);
    c.arrange(vusb::Dev(id));
    DbgFlag = 1;
    char result = -1;

    std::string trace = Stdout([&] { result = EmptyParames(dev_); });

    EXPECT_EQ(result, 0);
    EXPECT_EQ(trace, DD("EmptyParames\n ") + DD(c.line));
    EXPECT_EQ(vusb::Waits(), c.waits);
    Close();
  }
}

TEST_F(ParamsTest, LegacyEmptyFailuresReturnWithoutLeavingCommandMode) {
  struct Case {
    const char *name;
    std::function<void(vusb::Device &)> arrange;
    const char *line;
    int deviceMode;
  };
  // Transfers at the first attempts: entry 1 to 3, write 4, read request 5, reply 6, exit 7 on.
  const Case cases[] = {
      {"write stalls", [](vusb::Device &d) { FaultNth(d.id, 4, -EPIPE); },
       "EmptyParames SetFeature failed err=000\n ", 0x90},
      {"read request stalls", [](vusb::Device &d) { FaultNth(d.id, 5, -EPIPE); },
       "EmptyParames SetFeature failed err=001\r\n ", 0x90},
      {"reply stalls", [](vusb::Device &d) { FaultNth(d.id, 6, -EPIPE); },
       "EmptyParames GetFeature failed err=002\r\n ", 0x90},
      {"exit never confirmed", [](vusb::Device &d) { d.faults.unplugAtTransfer = 7; },
       "***leave_cmd_mode count:0***\n", 0x90},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    vusb::Reset();
    int id = vusb::AddPctLegacy();
    Open(id);
    c.arrange(vusb::Dev(id));
    DbgFlag = 1;
    char result = -1;

    std::string trace = Stdout([&] { result = EmptyParames(dev_); });

    EXPECT_EQ(result, 0);
    const std::string last = DD(c.line);
    ASSERT_GE(trace.size(), last.size());
    EXPECT_EQ(trace.substr(trace.size() - last.size()), last) << trace;
    EXPECT_EQ(trace.find("RespBuf"), std::string::npos);
    EXPECT_EQ(vusb::Dev(id).deviceMode, c.deviceMode);
    Close();
  }
}

TEST_F(ParamsTest, ClearedAreaFailsTheChecksumAfterwards) {
  for (bool legacy : {false, true}) {
    SCOPED_TRACE(legacy ? "legacy" : "current");
    int id = OnlyController(legacy);
    vusb::Dev(id).params = Stored(SampleBlock());
    Open(id);
    FunctionMode = FM_CLEAN;
    unsigned char out[32];
    memset(out, 0x5A, sizeof out);
    int result = -1;

    ASSERT_EQ(EmptyParames(dev_), 1);
    DbgFlag = 1;
    std::string trace = Stdout([&] { result = ReadParames(dev_, out, 32); });

    EXPECT_EQ(result, 2);
    EXPECT_NE(trace.find(DD("ReadParames checksum fail cSumf=0x6666 cSum=0x0000\n")),
              std::string::npos)
        << trace;
    EXPECT_EQ(Bytes(out, out + 32), Bytes(32, 0x5A));
    Close();
  }
}

} // namespace
