// panelcfg-sim as a user runs it: its own options, the built-in bus, the state between runs.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "vusb.h"

namespace {

namespace fs = std::filesystem;

struct Result {
  int status;
  std::string out; // standard output, then standard error when asked for
};

std::string Slurp(const fs::path &p) {
  std::ifstream in(p);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class Sim : public testing::Test {
protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "vusb-sim-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    home_ = pattern;
  }
  void TearDown() override { fs::remove_all(home_); }

  // Runs the simulator with HOME pointing at the scratch directory.
  Result Run(const std::string &args, const std::string &env = "", bool withStderr = false) {
    std::string cmd = "env -u PANELCFG_SIM_SCENARIO -u PANELCFG_SIM_STATE -u PANELCFG_SIM_DIR "
                      "-u PANELCFG_SIM_INSTANT HOME='" +
                      home_.string() + "' " + env + " " PANELCFG_SIM " " + args +
                      (withStderr ? " 2>&1" : " 2>/dev/null");
    FILE *p = popen(cmd.c_str(), "r");
    Result r{-1, ""};
    if (p == nullptr)
      return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
      r.out.append(buf, n);
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
  }

  fs::path home_;
};

TEST_F(Sim, ModeSwitchIsSeenByTheNextRunOnTheBuiltInBus) {
  Result mouse = Run("--instant --mouse");
  EXPECT_EQ(mouse.status, 2); // two PCT controllers on the built-in bus
  EXPECT_NE(mouse.out.find("II:Set to mouse\n"), std::string::npos) << mouse.out;
  fs::path dir = home_ / ".panelcfg-sim" / "touch_panel";
  EXPECT_EQ(Slurp(dir / "options.ini"), "[options]\nres=1\n");
  EXPECT_TRUE(fs::exists(dir / "Util.conf"));
  EXPECT_EQ(Slurp(dir / ".pctdevid.conf"), "2575:8753\n22b9:0040\n");

  // The saved state brings the new product ID and mode back.
  std::string state = Slurp(home_ / ".panelcfg-sim" / "state.json");
  vusb::Reset();
  vusb::LoadScenarioText(Run("--print-scenario").out);
  vusb::ApplyStateText(state);
  int current = -1;
  for (int i = 0; i < vusb::DeviceCount(); i++)
    if (vusb::Dev(i).name == "pct-current")
      current = i;
  ASSERT_GE(current, 0);
  EXPECT_EQ(vusb::Dev(current).pid, 0x9969);
  EXPECT_EQ(vusb::Dev(current).PosMode(), 2);
  vusb::Reset();

  Result getpos = Run("--instant getpos");
  EXPECT_EQ(getpos.status, 2);
  EXPECT_EQ(getpos.out, "II:Firmware Version:S1.2.04(r368) ChipID:8\n"
                        "pos mode=2\n"
                        "II:Firmware Version:S3.0.12(r325) ChipID:10\n"
                        "pos mode=2\n"
                        "II:Firmware Version:V2.9\n"
                        "Res Rotation:0\n"
                        "II:PCT Devices:2\n");

  // --fresh forgets the state: back to digitizer mode.
  EXPECT_NE(Run("--instant --fresh getpos").out.find("pos mode=1\n"), std::string::npos);
}

TEST_F(Sim, OptionsComeFromTheCommandLineOrTheEnvironment) {
  fs::path scenario = home_ / "bus.json";
  std::ofstream(scenario) << R"({"devices":[{"name":"p","model":"pct-current","posMode":3}]})";
  fs::path dir = home_ / "panel";
  fs::path state = home_ / "s.json";

  Result r = Run("--scenario " + scenario.string() + " --dir=" + dir.string() + " --state " +
                 state.string() + " --instant -- getpos");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("pos mode=3\n"), std::string::npos) << r.out;
  EXPECT_TRUE(fs::exists(state));
  EXPECT_FALSE(fs::exists(dir / "options.ini")); // the scenario names no options
  EXPECT_FALSE(fs::exists(home_ / ".panelcfg-sim" / "state.json"));

  r = Run("getpos", "PANELCFG_SIM_SCENARIO=" + scenario.string() +
                        " PANELCFG_SIM_DIR=" + dir.string() +
                        " PANELCFG_SIM_STATE=" + state.string() + " PANELCFG_SIM_INSTANT=1");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("pos mode=3\n"), std::string::npos) << r.out;

  // The utility's own arguments are left alone, its help included.
  r = Run("--instant --help");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("Usage: panelcfg ", 0), 0u) << r.out;
}

TEST_F(Sim, BrokenScenarioStopsTheSimulatorWithItsOwnStatus) {
  fs::path scenario = home_ / "bad.json";
  std::ofstream(scenario) << R"({"devices":[{"model":"pct-current","pdi":1}]})";
  Result r = Run("--instant --scenario " + scenario.string() + " getpos", "", true);
  EXPECT_EQ(r.status, 125);
  EXPECT_EQ(r.out, "panelcfg-sim: " + scenario.string() + ": devices[0].pdi: unknown key\n");
  r = Run("--state", "", true);
  EXPECT_EQ(r.status, 125);
  EXPECT_EQ(r.out, "panelcfg-sim: --state needs a value\n");
}

} // namespace
