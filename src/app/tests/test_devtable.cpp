#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "base/state.h"
#include "scan/devtable.h"
#include "scratch_dir.h"
#include "udevrule.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

constexpr int kOldPids[16] = {0x1688, 0x0001, 0x0006, 0x0008, 0x3050, 0x1668, 0x1568, 0x1368,
                              0x1268, 0x6968, 0x5968, 0x1968, 0x2968, 0x8008, 0x0005, 0x8888};
constexpr int kNewPids[10] = {0x2088, 0x2188, 0x2288, 0x2388, 0x2488,
                              0x2588, 0x2688, 0x2788, 0x2888, 0x2988};
constexpr int kResVids[4] = {0x22B9, 0x1BFD, 0x1DDB, 0x1234};

class DevTableTest : public RunStateTest {
protected:
  void SetUp() override {
    RunStateTest::SetUp();
    cMyHidInfo = MYHIDINFO{};
    LoadVidPid();
  }
  void TearDown() override {
    cMyHidInfo = MYHIDINFO{};
    RunStateTest::TearDown();
  }
};

TEST_F(DevTableTest, TableHoldsTheResistiveIds) {
  EXPECT_EQ(4, cMyHidInfo.VidCnt);
  EXPECT_EQ(26, cMyHidInfo.PidCnt);
  for (int i = 0; i < 4; i++)
    EXPECT_EQ(kResVids[i], cMyHidInfo.Vids[i]) << "Vids[" << i << "]";
  EXPECT_EQ(0, cMyHidInfo.Vids[4]);
  for (int i = 0; i < 16; i++)
    EXPECT_EQ(kOldPids[i], cMyHidInfo.Pids[i]) << "Pids[" << i << "]";
  for (int i = 0; i < 10; i++)
    EXPECT_EQ(kNewPids[i], cMyHidInfo.Pids[16 + i]) << "Pids[" << 16 + i << "]";
}

TEST_F(DevTableTest, SecondLoadWritesTheSameValues) {
  MYHIDINFO first = cMyHidInfo;
  memset(&cMyHidInfo, 0x5A, sizeof cMyHidInfo);
  LoadVidPid();
  EXPECT_EQ(first.VidCnt, cMyHidInfo.VidCnt);
  EXPECT_EQ(first.PidCnt, cMyHidInfo.PidCnt);
  EXPECT_EQ(0, memcmp(first.Vids, cMyHidInfo.Vids, sizeof first.Vids));
  EXPECT_EQ(0, memcmp(first.Pids, cMyHidInfo.Pids, sizeof first.Pids));
}

TEST_F(DevTableTest, ProductLookupsKeepTheTwoSetsApart) {
  for (int pid : kOldPids) {
    SCOPED_TRACE(pid);
    EXPECT_EQ(1, ChkOldPid(pid));
    EXPECT_EQ(0, ChkNewPid(pid));
    EXPECT_EQ(1, ChkAllPid(pid));
  }
  for (int pid : kNewPids) {
    SCOPED_TRACE(pid);
    EXPECT_EQ(0, ChkOldPid(pid));
    EXPECT_EQ(1, ChkNewPid(pid));
    EXPECT_EQ(1, ChkAllPid(pid));
  }
  for (int pid : {0x0000, 0x0002, 0x8753, 0x9969, 0x2089, 0x2A88, 0x1FFFF}) {
    SCOPED_TRACE(pid);
    EXPECT_EQ(0, ChkOldPid(pid));
    EXPECT_EQ(0, ChkNewPid(pid));
    EXPECT_EQ(0, ChkAllPid(pid));
  }
}

TEST_F(DevTableTest, VendorLookupNeverConsultsTheSpareSlot) {
  for (int vid : kResVids)
    EXPECT_EQ(1, ChkVid(vid)) << vid;
  for (int vid : {0x0000, 0x2575, 0x2149, 0x2619, 0x22BA})
    EXPECT_EQ(0, ChkVid(vid)) << vid;
}

TEST_F(DevTableTest, OldSetEndsAtSixteenWhateverTheCount) {
  // Entry 15 stays in the old set even when the count stops short of it.
  cMyHidInfo.PidCnt = 10;
  EXPECT_EQ(1, ChkOldPid(0x8888));
  EXPECT_EQ(0, ChkAllPid(0x8888));
  EXPECT_EQ(1, ChkAllPid(0x6968));
  EXPECT_EQ(0, ChkAllPid(0x5968));
  // The new set runs from entry 16 up to the count.
  cMyHidInfo.PidCnt = 20;
  EXPECT_EQ(1, ChkNewPid(0x2388));
  EXPECT_EQ(0, ChkNewPid(0x2488));
  EXPECT_EQ(0, ChkNewPid(0x1688));
  EXPECT_EQ(0, ChkAllPid(0x2988));
}

struct UsbIdCase {
  int res;
  int new_fw;
  int alt;
  int vid;
  int pid;
  int expected;
};

std::string Describe(const UsbIdCase &c) {
  char text[96];
  snprintf(text, sizeof text, "res=%d new_fw=%d alt=%d %04x:%04x", c.res, c.new_fw, c.alt, c.vid,
           c.pid);
  return text;
}

// Every combination of options that matters, with the vendors that belong to both families.
const UsbIdCase kUsbIdCases[] = {
    // The current-generation PCT controller under both vendor lists.
    {0, 0, 0, 0x2575, 0x8753, USBID_PCT},
    {0, 0, 1, 0x2575, 0x8753, USBID_PCT},
    {1, 1, 1, 0x2575, 0x8753, USBID_PCT},
    // A product ID of either resistive set is never PCT, whatever the options say.
    {0, 0, 0, 0x2575, 0x0001, USBID_NONE},
    {0, 0, 0, 0x2575, 0x2988, USBID_NONE},
    {1, 1, 0, 0x2575, 0x0001, USBID_NONE},
    {1, 0, 1, 0x1BFD, 0x2088, USBID_NONE},
    // Resistive vendors that are no PCT vendor.
    {1, 0, 0, 0x1234, 0x8888, USBID_RES},
    {1, 0, 0, 0x1234, 0x2088, USBID_NONE},
    {0, 0, 0, 0x1234, 0x8888, USBID_NONE},
    {1, 1, 0, 0x1DDB, 0x2988, USBID_RES},
    {1, 1, 0, 0x1DDB, 0x1688, USBID_NONE},
    {1, 1, 0, 0x1234, 0x8753, USBID_NONE},
    // 0x22B9 is resistive and, with the default list, PCT: the resistive test comes first.
    {1, 0, 0, 0x22B9, 0x1688, USBID_RES},
    {1, 0, 0, 0x22B9, 0x0040, USBID_PCT},
    {0, 0, 0, 0x22B9, 0x1688, USBID_NONE},
    {1, 1, 0, 0x22B9, 0x1688, USBID_NONE},
    {1, 1, 0, 0x22B9, 0x2188, USBID_RES},
    {1, 1, 0, 0x22B9, 0x0040, USBID_PCT},
    {1, 0, 1, 0x22B9, 0x1688, USBID_RES},
    // 0x1BFD is resistive and, with the alternative list, PCT.
    {1, 1, 1, 0x1BFD, 0x2288, USBID_RES},
    {0, 1, 1, 0x1BFD, 0x2288, USBID_NONE},
    {1, 0, 1, 0x1BFD, 0x0040, USBID_PCT},
    {1, 0, 0, 0x1BFD, 0x0040, USBID_NONE},
    // The two vendor lists.
    {0, 0, 1, 0x1BFD, 0x8753, USBID_PCT},
    {0, 0, 1, 0x22B9, 0x8753, USBID_NONE},
    {0, 0, 1, 0x2149, 0x8753, USBID_NONE},
    {0, 0, 1, 0x2619, 0x8753, USBID_NONE},
    {0, 0, 0, 0x22B9, 0x8753, USBID_PCT},
    {0, 0, 0, 0x2149, 0x8753, USBID_PCT},
    {0, 0, 0, 0x2619, 0x8753, USBID_PCT},
    {0, 0, 0, 0x1BFD, 0x8753, USBID_NONE},
    {0, 0, 7, 0x1BFD, 0x8753, USBID_PCT},
    // Vendor ID 0 fills the empty slots of both lists and never matches.
    {0, 0, 0, 0x0000, 0x8753, USBID_NONE},
    {0, 0, 1, 0x0000, 0x8753, USBID_NONE},
    {1, 1, 1, 0x0000, 0x0000, USBID_NONE},
    // Other devices.
    {1, 0, 0, 0x046D, 0xC077, USBID_NONE},
    {1, 0, 0, 0xFFFF, 0xFFFF, USBID_NONE},
};

TEST_F(DevTableTest, ClassificationAndDevInfo) {
  for (const UsbIdCase &c : kUsbIdCases) {
    SCOPED_TRACE(Describe(c));
    MyConfig.res = static_cast<unsigned char>(c.res);
    MyConfig.new_fw = static_cast<unsigned char>(c.new_fw);
    MyConfig.alt_pct_vendors = static_cast<unsigned char>(c.alt);
    DevInfo = DEVINFO{};
    DevInfo.VID = 0x0BAD;
    DevInfo.PID = 0x0BEE;
    DevInfo.OLD_VID = 0x1111;
    DevInfo.OLD_PID = 0x2222;

    EXPECT_EQ(c.expected, CheckUSBID(c.vid, c.pid));

    if (c.expected == USBID_PCT) {
      EXPECT_EQ(c.vid, DevInfo.VID);
      EXPECT_EQ(c.pid, DevInfo.PID);
    } else {
      EXPECT_EQ(0x0BAD, DevInfo.VID);
      EXPECT_EQ(0x0BEE, DevInfo.PID);
    }
    EXPECT_EQ(0x1111, DevInfo.OLD_VID);
    EXPECT_EQ(0x2222, DevInfo.OLD_PID);
  }
}

TEST_F(DevTableTest, DebugLinesTellTheOutcome) {
  DbgFlag = 1;
  for (const UsbIdCase &c : kUsbIdCases) {
    SCOPED_TRACE(Describe(c));
    MyConfig.res = static_cast<unsigned char>(c.res);
    MyConfig.new_fw = static_cast<unsigned char>(c.new_fw);
    MyConfig.alt_pct_vendors = static_cast<unsigned char>(c.alt);
    char ids[32];
    snprintf(ids, sizeof ids, "0x%x 0x%x", c.vid, c.pid);
    std::string expected = "panelcfg DD:CheckUSBID " + std::string(ids) + "\n";
    if (c.expected == USBID_RES)
      expected += "panelcfg DD:CheckUSBID RES " + std::string(ids) + "---match\n";
    if (c.expected == USBID_PCT)
      expected += "panelcfg DD:CheckUSBID PCT " + std::string(ids) + "---match\n";

    CaptureStdout();
    CheckUSBID(c.vid, c.pid);
    EXPECT_EQ(expected, GetCapturedStdout());
  }
}

TEST_F(DevTableTest, DebugLinesUseLowerCaseHexWithoutPadding) {
  DbgFlag = 1;
  CaptureStdout();
  EXPECT_EQ(USBID_PCT, CheckUSBID(0x22B9, 0x00AB));
  EXPECT_EQ("panelcfg DD:CheckUSBID 0x22b9 0xab\n"
            "panelcfg DD:CheckUSBID PCT 0x22b9 0xab---match\n",
            GetCapturedStdout());
}

TEST_F(DevTableTest, NothingIsPrintedWithoutDebug) {
  MyConfig.res = 1;
  CaptureStdout();
  CheckUSBID(0x2575, 0x8753);
  CheckUSBID(0x1234, 0x8888);
  CheckUSBID(0x046D, 0xC077);
  EXPECT_EQ("", GetCapturedStdout());
}

} // namespace

namespace {

// One line of the rule: the vendor, and the products it names (none: every product), or those
// it leaves out.
struct RuleLine {
  std::string vendor;
  std::vector<std::string> products;
  bool except = false;
};

std::vector<std::string> Split(const std::string &list) {
  std::vector<std::string> out;
  std::stringstream in(list);
  for (std::string id; std::getline(in, id, '|');)
    out.push_back(id);
  return out;
}

bool RuleMatches(const std::vector<RuleLine> &rule, const std::string &vid,
                 const std::string &pid) {
  for (const RuleLine &l : rule) {
    if (l.vendor != vid)
      continue;
    bool named = false;
    for (const std::string &p : l.products)
      named = named || p == pid;
    if (l.products.empty() || named != l.except)
      return true;
  }
  return false;
}

} // namespace

// The udev rule names exactly the IDs that the table gives a family under some options: every
// vendor with every product ID of the table's sets and one outside them.
TEST_F(DevTableTest, UdevRuleNamesEveryIdTheTableSupports) {
  const std::string text = UdevRuleText();
  const std::string action =
      ", TAG+=\"systemd\", ENV{SYSTEMD_WANTS}+=\"panelcfg-hotplug@%k.service\"";
  std::vector<RuleLine> rule;
  std::stringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("ATTRS{idVendor}==\"", 0) != 0)
      continue;
    ASSERT_EQ(line.size() - action.size(), line.rfind(action)) << line;
    RuleLine l;
    l.vendor = line.substr(18, 4);
    const std::string rest = line.substr(23, line.size() - action.size() - 23);
    if (!rest.empty()) {
      ASSERT_TRUE(rest.rfind(", ATTRS{idProduct}==\"", 0) == 0 ||
                  rest.rfind(", ATTRS{idProduct}!=\"", 0) == 0)
          << rest;
      l.except = rest[18] == '!';
      l.products = Split(rest.substr(21, rest.size() - 22));
    }
    rule.push_back(l);
  }
  EXPECT_EQ(7u, rule.size());
  EXPECT_EQ(0u, text.find("# panelcfg"));
  EXPECT_NE(std::string::npos, text.find("\nACTION!=\"add\", GOTO=\"panelcfg_end\"\n"
                                         "SUBSYSTEM!=\"hidraw\", GOTO=\"panelcfg_end\"\n"));
  EXPECT_EQ(text.size() - 21, text.rfind("LABEL=\"panelcfg_end\"\n"));

  LoadVidPid();
  std::vector<int> pids = {0x0000, 0x8753, 0x9968, 0x9969, 0xFFFF};
  for (int i = 0; i < cMyHidInfo.PidCnt; i++)
    pids.push_back(cMyHidInfo.Pids[i]);
  for (int vid = 0; vid < 0x10000; vid++) {
    for (int pid : pids) {
      bool supported = false;
      for (int set = 0; set < 8; set++) {
        MyConfig.res = set & 1;
        MyConfig.new_fw = (set >> 1) & 1;
        MyConfig.alt_pct_vendors = (set >> 2) & 1;
        supported = supported || ClassifyUSBID(vid, pid) != USBID_NONE;
      }
      char v[8];
      char p[8];
      snprintf(v, sizeof v, "%04x", vid);
      snprintf(p, sizeof p, "%04x", pid);
      if (supported != RuleMatches(rule, v, p))
        ADD_FAILURE() << v << ":" << p
                      << (supported ? " supported, not in the rule" : " in the rule");
    }
  }
}
