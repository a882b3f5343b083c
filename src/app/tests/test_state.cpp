#include <gtest/gtest.h>

#include <string>

#include "base/state.h"
#include "scratch_dir.h"

namespace {

class StateTest : public RunStateTest {};

TEST_F(StateTest, PanelDirectoryAlwaysEndsInASlash) {
  struct Case {
    const char *dir;
    const char *expected;
  };
  const Case cases[] = {
      {"/tmp/panel", "/tmp/panel/"},
      {"/tmp/panel/", "/tmp/panel/"},
      {"relative", "relative/"},
      {"/", "/"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.dir);
    EXPECT_EQ(1, SetPanelDir(c.dir));
    EXPECT_STREQ(c.expected, PanelDir);
    char path[512];
    ASSERT_EQ(1, PanelPath(path, sizeof path, "Util.conf"));
    EXPECT_EQ(std::string(c.expected) + "Util.conf", path);
  }
}

TEST_F(StateTest, DirectoryThatDoesNotFitIsRefusedWhole) {
  // 254 characters and the slash fit the buffer with its terminator; 255 do not.
  const std::string fits(254, 'd');
  EXPECT_EQ(1, SetPanelDir(fits.c_str()));
  EXPECT_EQ(fits + "/", PanelDir);

  const std::string tooLong(255, 'd');
  EXPECT_EQ(0, SetPanelDir(tooLong.c_str()));
  EXPECT_STREQ(DEFAULT_PANEL_DIR, PanelDir);
}

TEST_F(StateTest, PathThatDoesNotFitIsRefused) {
  ASSERT_EQ(1, SetPanelDir("/tmp/p"));
  char small[17];
  EXPECT_EQ(1, PanelPath(small, sizeof small, "Util.conf")); // 16 characters
  EXPECT_STREQ("/tmp/p/Util.conf", small);
  EXPECT_EQ(0, PanelPath(small, sizeof small, "Util.conf2"));
}

} // namespace
