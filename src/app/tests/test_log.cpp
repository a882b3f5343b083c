#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "base/log.h"
#include "base/state.h"
#include "scratch_dir.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

class LogTest : public RunStateTest {};

TEST_F(LogTest, DebugMarkerDecidesByExistenceOnly) {
  struct Case {
    const char *name;
    void (*plant)(const std::string &marker);
    int expected;
  };
  const Case cases[] = {
      {"absent", [](const std::string &) {}, 0},
      {"empty file", [](const std::string &m) { WriteBytes(m, ""); }, 1},
      {"file with text", [](const std::string &m) { WriteBytes(m, "0\n"); }, 1},
      {"empty directory", [](const std::string &m) { ASSERT_EQ(0, mkdir(m.c_str(), 0755)); }, 1},
      {"symlink to a directory",
       [](const std::string &m) { ASSERT_EQ(0, symlink("/", m.c_str())); }, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    c.plant(dir.File("enabledebug"));
    ASSERT_EQ(1, SetPanelDir(dir.Path().c_str()));
    EXPECT_EQ(c.expected, EnableDebug());
  }
}

TEST_F(LogTest, MarkerInAnotherDirectoryDoesNotCount) {
  ScratchDir other;
  ScratchDir panel;
  WriteBytes(other.File("enabledebug"), "");
  ASSERT_EQ(1, SetPanelDir(panel.Path().c_str()));
  EXPECT_EQ(0, EnableDebug());
}

TEST_F(LogTest, MissingPanelDirectoryMeansNoDebug) {
  ScratchDir dir;
  ASSERT_EQ(1, SetPanelDir((dir.Path() + "/absent/").c_str()));
  EXPECT_EQ(0, EnableDebug());
}

TEST_F(LogTest, PrefixPerLevelAndDebugGating) {
  struct Case {
    int level;
    int dbg;
    const char *expected;
  };
  const Case cases[] = {
      {0, 0, "EE:text 7\n"}, {1, 0, "II:text 7\n"},
      {2, 0, "CC:text 7\n"}, {3, 0, ""},
      {0, 1, "EE:text 7\n"}, {1, 1, "II:text 7\n"},
      {2, 1, "CC:text 7\n"}, {3, 1, "panelcfg DD:text 7\n"},
      {4, 0, "text 7\n"},    {-1, 0, "text 7\n"},
      {99, 1, "text 7\n"},   {3, 2, "panelcfg DD:text 7\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE("level " + std::to_string(c.level) + " DbgFlag " + std::to_string(c.dbg));
    DbgFlag = c.dbg;
    CaptureStdout();
    DebugMsg(c.level, "text %d\n", 7);
    EXPECT_EQ(c.expected, GetCapturedStdout());
  }
}

TEST_F(LogTest, MessageFollowsPrefixWithoutSeparatorAndKeepsItsOwnLineEnding) {
  DbgFlag = 1;
  CaptureStdout();
  DebugMsg(1, "PCT Devices:%d\n", 2);
  DebugMsg(3, "reply %s\r\n ", "ok");
  DebugMsg(1, "no line end");
  DebugMsg(0, "%s", "");
  EXPECT_EQ("II:PCT Devices:2\n"
            "panelcfg DD:reply ok\r\n "
            "II:no line end"
            "EE:",
            GetCapturedStdout());
}

std::string Dump(void (*dump)(const char *, const unsigned char *, int), const char *title,
                 const unsigned char *buf, int len) {
  CaptureStdout();
  dump(title, buf, len);
  return GetCapturedStdout();
}

TEST_F(LogTest, DumpShowsWholeGroupsOfEightOnly) {
  unsigned char bytes[24];
  for (int i = 0; i < 24; i++)
    bytes[i] = static_cast<unsigned char>(i * 0x11 + 0x0A);
  const std::string start = "panelcfg DD:blk---start\n";
  const std::string end = "panelcfg DD:blk---End\n";
  const std::string line1 = "panelcfg DD:0x0a 0x1b 0x2c 0x3d 0x4e 0x5f 0x70 0x81\n";
  const std::string line2 = "panelcfg DD:0x92 0xa3 0xb4 0xc5 0xd6 0xe7 0xf8 0x09\n";
  const std::string line3 = "panelcfg DD:0x1a 0x2b 0x3c 0x4d 0x5e 0x6f 0x80 0x91\n";
  struct Case {
    int len;
    std::string expected;
  };
  const Case cases[] = {
      {24, start + line1 + line2 + line3 + end},
      {20, start + line1 + line2 + end},
      {16, start + line1 + line2 + end},
      {15, start + line1 + end},
      {8, start + line1 + end},
      {7, start + end},
      {1, start + end},
      {0, start + end},
      {-1, start + end},
      {-9, start + end},
      {-16, start + end},
  };
  DbgFlag = 1;
  for (const Case &c : cases) {
    SCOPED_TRACE("Len " + std::to_string(c.len));
    // A buffer of exactly Len bytes: reading past it would be caught by the sanitizers.
    std::vector<unsigned char> buf(bytes, bytes + (c.len > 0 ? c.len : 0));
    EXPECT_EQ(c.expected, Dump(PrintData, "blk", buf.data(), c.len));
    EXPECT_EQ(c.expected, Dump(EnablePrintData, "blk", buf.data(), c.len));
  }
}

TEST_F(LogTest, DumpIsSilentWithoutDebug) {
  const unsigned char buf[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  DbgFlag = 0;
  EXPECT_EQ("", Dump(PrintData, "blk", buf, 16));
  EXPECT_EQ("", Dump(EnablePrintData, "blk", buf, 16));
}

TEST_F(LogTest, DumpTitleIsPrintedAsText) {
  const unsigned char buf[8] = {0xFF, 0x00, 0xAB, 0xCD, 0xEF, 0x10, 0x7F, 0x80};
  DbgFlag = 1;
  EXPECT_EQ("panelcfg DD:GetFwID %d---start\n"
            "panelcfg DD:0xff 0x00 0xab 0xcd 0xef 0x10 0x7f 0x80\n"
            "panelcfg DD:GetFwID %d---End\n",
            Dump(PrintData, "GetFwID %d", buf, 8));
}

} // namespace
