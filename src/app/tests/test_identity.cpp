// The device identity block: reading it with retries, writing it, new serial numbers, the
// vendor default product ID, and the decision whether a controller's block is (re)written.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "base/state.h"
#include "log_lines.h"
#include "pct_helpers.h"
#include "policy/identity.h"
#include "support/support.h"
#include "vusb.h"

namespace {

// Random bytes handed to the utility: injected ones when set, else the support library's.
const unsigned char *injectedRand = nullptr;
int randCalls = 0;
int randBlocks = 0;

} // namespace

// Stands in for the support library's GenerateRand in this suite only.
extern "C" void GenerateRand(unsigned char *buf, int blocks) {
  randCalls++;
  randBlocks = blocks;
  if (injectedRand != nullptr) {
    memcpy(buf, injectedRand, 16);
    return;
  }
  using Fn = void (*)(unsigned char *, int);
  static Fn library = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "GenerateRand"));
  ASSERT_NE(library, nullptr);
  library(buf, blocks);
}

namespace {

using namespace pct;

// 00 11 22 .. FF: every byte tells its position.
const unsigned char kRand[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
// R[5], R[10], R[2], R[7], R[11], R[9], R[3], R[8]
const Bytes kRandSN = {0x55, 0xAA, 0x22, 0x77, 0xBB, 0x99, 0x33, 0x88};
const Bytes kSN = {0x01, 0x02, 0x0A, 0x0B, 0x10, 0x20, 0xA0, 0xFF};

size_t Count(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    n++;
  return n;
}

bool EndsWith(const std::string &text, const std::string &tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

Bytes SN() { return Bytes(DevInfo.SN, DevInfo.SN + 8); }

class IdentityTest : public PctTest {
protected:
  void SetUp() override {
    PctTest::SetUp();
    injectedRand = kRand;
    randCalls = 0;
    randBlocks = 0;
  }
  void TearDown() override {
    injectedRand = nullptr;
    PctTest::TearDown();
  }

  // Fields of DevInfo that the reads fill, set to values no block here holds.
  static void MarkDevInfo() {
    DevInfo.OLD_VID = 0x5A5A;
    DevInfo.OLD_PID = 0xA5A5;
    DevInfo.FWRevFlash = 0x0BAD;
    memset(DevInfo.SN, 0xEE, sizeof DevInfo.SN);
  }
};

std::vector<unsigned> FailedReads(int n) { return RepeatWaits(n, {10, 300}); }

// ---------------------------------------------------------------------------------------------
// GetDefaultPID and GenerateSreialNumber

TEST_F(IdentityTest, VendorDefaultProductIds) {
  const std::pair<int, int> cases[] = {
      {0x22B9, 0x0040}, {0x2575, 0x8753}, {0x2149, 0x3D28},  {0x1BFD, 0x8753},
      {0x2619, 0x8753}, {0x0000, 0x8753}, {0x122B9, 0x8753},
  };
  for (const auto &[vid, pid] : cases) {
    SCOPED_TRACE(vid);
    EXPECT_EQ(GetDefaultPID(vid), pid);
  }
}

TEST_F(IdentityTest, SerialNumberPicksEightBytesOfOneRandomBlock) {
  unsigned char sn[9];
  memset(sn, 0xEE, sizeof sn);

  GenerateSreialNumber(sn);

  EXPECT_EQ(Bytes(sn, sn + 8), kRandSN);
  EXPECT_EQ(sn[8], 0xEE);
  EXPECT_EQ(randCalls, 1);
  EXPECT_EQ(randBlocks, 1);
}

TEST_F(IdentityTest, SerialNumbersFromTheLibraryDiffer) {
  injectedRand = nullptr;
  unsigned char a[8] = {};
  unsigned char b[8] = {};
  GenerateSreialNumber(a);
  GenerateSreialNumber(b);
  // Two equal draws of 64 random bits would take far more runs than this suite will ever see.
  EXPECT_NE(Bytes(a, a + 8), Bytes(b, b + 8));
  EXPECT_EQ(randCalls, 2);
}

// ---------------------------------------------------------------------------------------------
// GetMySN

TEST_F(IdentityTest, ReadFillsDevInfoFromBigEndianFieldsAndLogsTheSerialInUpperCase) {
  int id = vusb::AddPctCurrent();
  vusb::Dev(id).params = Stored(Block(0xABCD, 0x9E01, 0x0FFF, kSN));
  Open(id);
  MarkDevInfo();
  DbgFlag = 1;
  unsigned char result = 0;

  std::string trace = Stdout([&] { result = GetMySN(dev_); });

  EXPECT_EQ(result, 1);
  EXPECT_EQ(DevInfo.OLD_VID, 0xABCD);
  EXPECT_EQ(DevInfo.OLD_PID, 0x9E01);
  EXPECT_EQ(DevInfo.FWRevFlash, 0x0FFF);
  EXPECT_EQ(SN(), kSN);
  EXPECT_TRUE(
      EndsWith(trace, DD("***GetMySN FLASH SN:01020A0B1020A0FF OLD VID:0xABCD PID:0x9E01***\n")))
      << trace;
  EXPECT_EQ(vusb::Waits(), (std::vector<unsigned>{10}));
  EXPECT_TRUE(vusb::SetReports(id, 0x08).empty());
}

TEST_F(IdentityTest, ReadIsTriedElevenTimesAndLeavesDevInfoAlone) {
  struct Case {
    const char *name;
    bool legacy;
    std::function<void(vusb::Device &)> arrange;
  };
  const Case cases[] = {
      {"erased area, current", false, [](vusb::Device &) {}},
      {"erased area, legacy", true, [](vusb::Device &) {}},
      {"corrupted replies", false,
       [](vusb::Device &d) {
         d.params = Stored(Block(0x2575, 0x8753, 0x170, kSN));
         d.faults.corruptChecksum = true;
       }},
      {"reply stalls", false,
       [](vusb::Device &d) {
         d.params = Stored(Block(0x2575, 0x8753, 0x170, kSN));
         FaultAll(d.id, kGet, 0x07, -1, -EPIPE);
       }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    int id = OnlyController(c.legacy);
    Open(id);
    c.arrange(vusb::Dev(id));
    MarkDevInfo();
    DbgFlag = 1;
    unsigned char result = 9;

    std::string trace = Stdout([&] { result = GetMySN(dev_); });

    EXPECT_EQ(result, 0);
    EXPECT_EQ(Commands(id, 0x06, 0xA1).size(), 11u);
    std::vector<unsigned> pauses;
    for (unsigned ms : vusb::Waits())
      if (ms == 300)
        pauses.push_back(ms);
    EXPECT_EQ(pauses.size(), 11u);
    EXPECT_EQ(vusb::Waits().back(), 300u); // the last pause follows the last read
    EXPECT_EQ(Count(trace, DD("GetMySN ReadParamas fail\n")), 11u);
    EXPECT_EQ(DevInfo.OLD_VID, 0x5A5A);
    EXPECT_EQ(DevInfo.OLD_PID, 0xA5A5);
    EXPECT_EQ(DevInfo.FWRevFlash, 0x0BAD);
    EXPECT_EQ(SN(), Bytes(8, 0xEE));
    EXPECT_TRUE(Commands(id, 0x08, 0xA8).empty());
    Close();
  }
}

TEST_F(IdentityTest, ReadStopsAtTheFirstGoodBlock) {
  int id = vusb::AddPctCurrent();
  vusb::Dev(id).params = Stored(Block(0x2575, 0x8753, 0x170, kSN));
  Open(id);
  FaultAll(id, kGet, 0x07, -1, -EPIPE, 2);

  EXPECT_EQ(GetMySN(dev_), 1);

  EXPECT_EQ(Commands(id, 0x06, 0xA1).size(), 3u);
  EXPECT_EQ(vusb::Waits(), (std::vector<unsigned>{10, 300, 10, 300, 10}));
  EXPECT_EQ(SN(), kSN);
}

// ---------------------------------------------------------------------------------------------
// SetMySN

TEST_F(IdentityTest, WriteRecordsCurrentIdsRevisionAndSerial) {
  struct Case {
    uint16_t vid, pid;
    int recordedPid;
  };
  const Case cases[] = {
      {0x2575, 0x8753, 0x8753}, {0x22B9, 0x9969, 0x0040}, {0x2149, 0x9969, 0x3D28},
      {0x2619, 0x9968, 0x8753}, {0x2575, 0x9969, 0x8753}, {0x22B9, 0x9968, 0x0040},
      {0x2149, 0x1234, 0x1234},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.vid) + ":" + std::to_string(c.pid));
    vusb::Reset();
    int id = vusb::AddPctCurrent(c.vid, c.pid);
    Open(id);
    memcpy(DevInfo.SN, kSN.data(), 8);
    DbgFlag = 1;
    unsigned char result = 0;

    std::string trace = Stdout([&] { result = SetMySN(dev_); });

    EXPECT_EQ(result, 1);
    EXPECT_EQ(vusb::Dev(id).params, Stored(Block(c.vid, c.recordedPid, 0x170, kSN)));
    EXPECT_TRUE(EndsWith(trace, DD("***SetMySN WriteParamas status=1 SN_ADDR:12***\n"))) << trace;
    // The write is not read back here.
    EXPECT_TRUE(Commands(id, 0x06, 0xA1).empty());
    Close();
  }
}

TEST_F(IdentityTest, FailedWriteIsReportedWithItsStatus) {
  int id = vusb::AddPctCurrent();
  Open(id);
  FaultAll(id, kSet, 0x08, 0xA8, -EPIPE);
  DbgFlag = 1;
  unsigned char result = 9;

  std::string trace = Stdout([&] { result = SetMySN(dev_); });

  EXPECT_EQ(result, 0);
  EXPECT_TRUE(EndsWith(trace, DD("***SetMySN WriteParamas status=0 SN_ADDR:12***\n"))) << trace;
  EXPECT_EQ(Commands(id, 0x08, 0xA8).size(), 1u);
}

// ---------------------------------------------------------------------------------------------
// ChkSNFlash

TEST_F(IdentityTest, BlankBlockGetsANewSerialAWriteAndARead) {
  struct Case {
    bool legacy;
    uint16_t vid, pid;
    int fwrev;
  };
  const Case cases[] = {{false, 0x2575, 0x8753, 0x170}, {true, 0x22B9, 0x0040, 0x145}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.legacy ? "legacy" : "current");
    int id = OnlyController(c.legacy);
    Open(id);
    randCalls = 0;
    DbgFlag = 1;
    unsigned char result = 9;

    std::string trace = Stdout([&] { result = ChkSNFlash(dev_); });

    EXPECT_EQ(result, 1);
    EXPECT_EQ(randCalls, 1);
    EXPECT_EQ(Commands(id, 0x06, 0xA1).size(), 12u);
    EXPECT_EQ(Commands(id, 0x08, 0xA8).size(), 1u);
    EXPECT_EQ(vusb::Dev(id).params, Stored(Block(c.vid, c.pid, c.fwrev, kRandSN)));
    EXPECT_EQ(SN(), kRandSN);
    EXPECT_EQ(DevInfo.OLD_VID, c.vid);
    EXPECT_EQ(DevInfo.OLD_PID, c.pid);
    EXPECT_EQ(DevInfo.FWRevFlash, c.fwrev);
    EXPECT_EQ(Count(trace, DD("GetMySN ReadParamas fail\n")), 11u);
    char read[96];
    snprintf(read, sizeof read,
             "***GetMySN FLASH SN:55AA2277BB993388 OLD VID:0x%04X PID:0x%04X***\n", c.vid, c.pid);
    char last[80];
    snprintf(last, sizeof last, "GetMySN---2 New OLD_VID:0x%04X OLD_PID:0x%04X\n", c.vid, c.pid);
    EXPECT_NE(trace.find(DD(read)), std::string::npos) << trace;
    EXPECT_TRUE(EndsWith(trace, DD(last))) << trace;
    if (!c.legacy) {
      std::vector<unsigned> waits = FailedReads(11);
      waits.push_back(100);
      waits.push_back(10);
      EXPECT_EQ(vusb::Waits(), waits);
    }
    Close();
  }
}

TEST_F(IdentityTest, GoodBlockIsLeftAsItIs) {
  const std::pair<int, int> recorded[] = {
      {0x2575, 0x8753},
      {0x2149, 0x3D28},
      {0x22B9, 0x0000}, // a vendor without a product ID is kept
      {0x0000, 0x0040}, // and so is a product ID without a vendor
  };
  for (const auto &[vid, pid] : recorded) {
    SCOPED_TRACE(std::to_string(vid) + ":" + std::to_string(pid));
    vusb::Reset();
    int id = vusb::AddPctCurrent(0x2575, 0x9969);
    const Bytes stored = Stored(Block(vid, pid, 0x170, kSN));
    vusb::Dev(id).params = stored;
    Open(id);
    randCalls = 0;
    DbgFlag = 1;
    unsigned char result = 9;

    std::string trace = Stdout([&] { result = ChkSNFlash(dev_); });

    EXPECT_EQ(result, 1);
    EXPECT_EQ(Commands(id, 0x06, 0xA1).size(), 1u);
    EXPECT_TRUE(vusb::SetReports(id, 0x08).empty());
    EXPECT_EQ(vusb::Waits(), (std::vector<unsigned>{10}));
    EXPECT_EQ(vusb::Dev(id).params, stored);
    EXPECT_EQ(randCalls, 0);
    EXPECT_EQ(DevInfo.OLD_VID, vid);
    EXPECT_EQ(DevInfo.OLD_PID, pid);
    EXPECT_EQ(trace.find("GetMySN---2"), std::string::npos) << trace;
    Close();
  }
}

TEST_F(IdentityTest, BlockIsRewrittenWithTheSameSerial) {
  struct Case {
    const char *name;
    uint16_t vid, pid; // enumerated
    Bytes recorded;
    Bytes rewritten;
  };
  const Case cases[] = {
      {"firmware updated", 0x2575, 0x8753, Block(0x2575, 0x8753, 0x100, kSN),
       Block(0x2575, 0x8753, 0x170, kSN)},
      {"firmware downgraded, in mouse mode", 0x22B9, 0x9969, Block(0x22B9, 0x0040, 0x200, kSN),
       Block(0x22B9, 0x0040, 0x170, kSN)},
      {"no home IDs", 0x2575, 0x8753, Block(0, 0, 0x170, kSN), Block(0x2575, 0x8753, 0x170, kSN)},
      {"no home IDs, found in hybrid mode", 0x2149, 0x9968, Block(0, 0, 0x170, kSN),
       Block(0x2149, 0x3D28, 0x170, kSN)},
      {"mouse product ID recorded", 0x2575, 0x8753, Block(0x2575, 0x9969, 0x170, kSN),
       Block(0x2575, 0x8753, 0x170, kSN)},
      {"hybrid product ID recorded, found in mouse mode", 0x22B9, 0x9969,
       Block(0x22B9, 0x9968, 0x170, kSN), Block(0x22B9, 0x0040, 0x170, kSN)},
      {"other vendor in hybrid mode", 0x2619, 0x9968, Block(0x2619, 0x9969, 0x170, kSN),
       Block(0x2619, 0x8753, 0x170, kSN)},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    vusb::Reset();
    int id = vusb::AddPctCurrent(c.vid, c.pid);
    vusb::Dev(id).params = Stored(c.recorded);
    Open(id);
    randCalls = 0;
    DbgFlag = 1;
    unsigned char result = 9;

    std::string trace = Stdout([&] { result = ChkSNFlash(dev_); });

    EXPECT_EQ(result, 1);
    EXPECT_EQ(randCalls, 0);
    EXPECT_EQ(vusb::Dev(id).params, Stored(c.rewritten));
    EXPECT_EQ(Commands(id, 0x06, 0xA1).size(), 2u);
    EXPECT_EQ(Commands(id, 0x08, 0xA8).size(), 1u);
    EXPECT_EQ(vusb::Waits(), (std::vector<unsigned>{10, 100, 10}));
    // DevInfo shows what now stands in the controller.
    EXPECT_EQ(SN(), kSN);
    EXPECT_EQ(DevInfo.OLD_VID, c.rewritten[0] << 8 | c.rewritten[1]);
    EXPECT_EQ(DevInfo.OLD_PID, c.rewritten[2] << 8 | c.rewritten[3]);
    EXPECT_EQ(DevInfo.FWRevFlash, 0x170);
    char last[80];
    snprintf(last, sizeof last, "GetMySN---2 New OLD_VID:0x%04X OLD_PID:0x%04X\n", DevInfo.OLD_VID,
             DevInfo.OLD_PID);
    EXPECT_TRUE(EndsWith(trace, DD(last))) << trace;
    Close();
  }
}

TEST_F(IdentityTest, FailedWriteEndsTheCheckWithoutAReadBack) {
  struct Case {
    const char *name;
    Bytes params; // empty: erased
    const char *last;
    size_t reads;
  };
  const Case cases[] = {
      {"blank block", {}, "GetMySN---2 New OLD_VID:0x0000 OLD_PID:0x0000\n", 11},
      {"firmware changed", Stored(Block(0x2575, 0x8753, 0x100, kSN)),
       "GetMySN---2 New OLD_VID:0x2575 OLD_PID:0x8753\n", 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    vusb::Reset();
    int id = vusb::AddPctCurrent();
    vusb::Dev(id).params = c.params;
    Open(id);
    FaultAll(id, kSet, 0x08, 0xA8, -EPIPE);
    DbgFlag = 1;
    unsigned char result = 9;

    std::string trace = Stdout([&] { result = ChkSNFlash(dev_); });

    EXPECT_EQ(result, 0);
    EXPECT_EQ(Commands(id, 0x08, 0xA8).size(), 1u);
    EXPECT_EQ(Commands(id, 0x06, 0xA1).size(), c.reads);
    EXPECT_EQ(vusb::Dev(id).params, c.params);
    EXPECT_TRUE(EndsWith(trace, DD(c.last))) << trace;
    Close();
  }
}

TEST_F(IdentityTest, WrittenBlockThatNeverReadsBackFailsTheCheck) {
  int id = vusb::AddPctCurrent();
  vusb::Dev(id).faults.corruptChecksum = true;
  Open(id);

  EXPECT_EQ(ChkSNFlash(dev_), 0);

  EXPECT_EQ(Commands(id, 0x06, 0xA1).size(), 22u);
  EXPECT_EQ(Commands(id, 0x08, 0xA8).size(), 1u);
  std::vector<unsigned> waits = FailedReads(11);
  waits.push_back(100);
  const std::vector<unsigned> again = FailedReads(11);
  waits.insert(waits.end(), again.begin(), again.end());
  EXPECT_EQ(vusb::Waits(), waits);
  // What was written is there all the same.
  EXPECT_EQ(vusb::Dev(id).params, Stored(Block(0x2575, 0x8753, 0x170, kRandSN)));
}

} // namespace
