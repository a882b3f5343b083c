// panelcfg-sim as a user runs it: its own options, the built-in bus, the state between runs.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

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

  // Starts the simulator in the background, its output (both streams) into out; the simulator
  // writes standard output line by line.
  pid_t Start(const std::string &args, const fs::path &out) {
    std::string cmd = "exec env -u PANELCFG_SIM_SCENARIO -u PANELCFG_SIM_STATE -u "
                      "PANELCFG_SIM_DIR -u PANELCFG_SIM_INSTANT HOME='" +
                      home_.string() + "' " PANELCFG_SIM " " + args + " >'" + out.string() +
                      "' 2>&1";
    std::string sh = "/bin/sh";
    std::string c = "-c";
    std::vector<char *> argv = {sh.data(), c.data(), cmd.data(), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, argv.data(), environ) != 0)
      return -1;
    return pid;
  }

  // The exit status of a child; 128 + the signal that ended it.
  static int Wait(pid_t pid) {
    int st = 0;
    if (waitpid(pid, &st, 0) != pid)
      return -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  }

  // Polls until done() holds; false when it still does not after a long while.
  static bool Until(const std::function<bool()> &done) {
    for (int i = 0; i < 20000; i++) {
      if (done())
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }

  fs::path Scenario(const std::string &json) {
    fs::path p = home_ / "bus.json";
    std::ofstream(p) << json;
    return p;
  }

  std::vector<std::string> Entries(const fs::path &dir) {
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(dir))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path home_;
};

// The controllers of a scenario as a state file leaves them; empty when there is no file yet.
std::vector<vusb::Device> StateOf(const fs::path &scenario, const fs::path &state) {
  std::string text = Slurp(state);
  if (text.empty())
    return {};
  vusb::LoadScenarioText(Slurp(scenario));
  vusb::ApplyStateText(text);
  std::vector<vusb::Device> out;
  out.reserve(static_cast<size_t>(vusb::DeviceCount()));
  for (int i = 0; i < vusb::DeviceCount(); i++)
    out.push_back(vusb::Dev(i));
  vusb::Reset();
  return out;
}

bool Detached(const fs::path &scenario, const fs::path &state, size_t device) {
  std::vector<vusb::Device> devs = StateOf(scenario, state);
  return devs.size() > device && devs[device].boundDriver.empty();
}

std::string Pid(pid_t pid) { return std::to_string(pid) + "\n"; }

TEST_F(Sim, ModeSwitchIsSeenByTheNextRunOnTheBuiltInBus) {
  // Status first: new controllers in digitizer mode, without an identity block.
  Result fresh = Run("--instant --fresh --status");
  EXPECT_EQ(fresh.status, 0);
  EXPECT_EQ(fresh.out,
            "bus 001 device 003: 2575:8753 PCT current generation, firmware S1.2.04(r368) chip 8, "
            "mode 1 (digitizer), identity absent or checksum wrong\n"
            "bus 002 device 002: 22b9:0040 PCT legacy generation, firmware S3.0.12(r325) chip "
            "10, mode 1 (digitizer), identity absent or checksum wrong\n"
            "bus 002 device 003: 1234:8888 resistive, firmware V2.9 (supported), rotation 0\n");
  EXPECT_FALSE(fs::exists(home_ / ".panelcfg-sim" / "state.json")); // nothing to save
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

  // Status after the switch: both PCT controllers in mouse mode, read through their hidraw nodes
  // (the trace marks every feature report so), and the state file as it was, byte for byte.
  const fs::path stateFile = home_ / ".panelcfg-sim" / "state.json";
  const std::string saved = Slurp(stateFile);
  const auto savedTime = fs::last_write_time(stateFile);
  Result status = Run("--instant --trace --status --json", "", true);
  EXPECT_EQ(status.status, 0);
  EXPECT_EQ(Slurp(stateFile), saved);
  EXPECT_EQ(fs::last_write_time(stateFile), savedTime);
  int hidrawReports = 0;
  std::istringstream lines(status.out);
  std::string json;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("vusb:", 0) != 0) {
      json += line;
      json += '\n';
      continue;
    }
    const bool report =
        line.find(" set ") != std::string::npos || line.find(" get ") != std::string::npos;
    EXPECT_TRUE(!report || line.find(" hidraw ") != std::string::npos) << line; // not usbfs
    EXPECT_EQ(line.find("usb_detach_kernel_driver_np"), std::string::npos) << line;
    EXPECT_EQ(line.find("usb_claim_interface"), std::string::npos) << line;
    hidrawReports += line.find(" hidraw set ") != std::string::npos ? 1 : 0;
  }
  EXPECT_GT(hidrawReports, 0);
  const nlohmann::json doc = nlohmann::json::parse(json);
  ASSERT_EQ(doc["devices"].size(), 3u);
  for (int k : {0, 1}) {
    EXPECT_EQ(doc["devices"][k]["mode"]["number"], 2);
    EXPECT_EQ(doc["devices"][k]["mode"]["name"], "mouse");
    EXPECT_EQ(doc["devices"][k]["identity"]["valid"], true);
    EXPECT_EQ(doc["devices"][k]["driver_bound"], true);
  }
  EXPECT_EQ(doc["devices"][0]["id"], "2575:9969");
  EXPECT_EQ(doc["devices"][2]["rotation"], 0);

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

// ---------------------------------------------------------------------------------------------
// Runs at the same time, runs stopped and killed, path limits

constexpr char kTwoPanels[] = R"({"devices":[{"name":"a","model":"pct-current"},
                                             {"name":"b","model":"pct-legacy"}]})";
constexpr char kCurrent[] = "II:Firmware Version:S1.2.04(r368) ChipID:8\n";
constexpr char kLegacy[] = "II:Firmware Version:S3.0.12(r325) ChipID:10\n";

TEST_F(Sim, SecondRunOnTheSameStateWaitsForTheFirstAndSeesWhatItSaved) {
  fs::path bus = Scenario(kTwoPanels);
  fs::path state = home_ / "s.json";
  fs::path lock = home_ / "s.json.lock";
  const std::string common = "--scenario " + bus.string() + " --state " + state.string() +
                             " --dir " + (home_ / "panel").string();

  // The first, with real pauses, is held still while it holds the lock.
  pid_t first = Start(common + " setpos 3", home_ / "first.txt");
  ASSERT_GT(first, 0);
  ASSERT_TRUE(Until([&] { return Slurp(lock) == Pid(first); }));
  kill(first, SIGSTOP);
  ASSERT_EQ(Slurp(lock), Pid(first)); // stopped before letting it go

  pid_t second = Start("--instant " + common + " getpos", home_ / "second.txt");
  ASSERT_GT(second, 0);
  const std::string waiting =
      "II:waiting for the other panelcfg run (pid " + std::to_string(first) + ") to finish\n";
  EXPECT_TRUE(Until([&] { return Slurp(home_ / "second.txt") == waiting; }));
  // A third one, stopped while it waits, does nothing.
  pid_t third = Start("--instant " + common + " --mouse", home_ / "third.txt");
  ASSERT_GT(third, 0);
  EXPECT_TRUE(Until([&] { return Slurp(home_ / "third.txt") == waiting; }));
  kill(third, SIGTERM);
  EXPECT_EQ(Wait(third), 143);
  // A status waits too (its messages on standard error), and reads what the run left.
  pid_t status = Start("--instant " + common + " --status", home_ / "status.txt");
  ASSERT_GT(status, 0);
  EXPECT_TRUE(Until([&] { return Slurp(home_ / "status.txt") == waiting; }));
  EXPECT_EQ(Slurp(home_ / "third.txt"),
            waiting + "EE:interrupted by SIGTERM while waiting for the other run; nothing done\n");
  kill(first, SIGCONT);

  EXPECT_EQ(Wait(first), 2);
  EXPECT_EQ(Wait(second), 2);
  EXPECT_EQ(Wait(status), 0);
  const std::string statusOut = Slurp(home_ / "status.txt");
  EXPECT_EQ(statusOut.rfind(waiting, 0), 0u);
  EXPECT_NE(statusOut.find("mode 3 (hybrid-d)"), std::string::npos) << statusOut;
  EXPECT_EQ(Slurp(home_ / "first.txt"), std::string(kCurrent) + kLegacy + "II:PCT Devices:2\n");
  // The second loaded the state only after the first had saved it.
  EXPECT_EQ(Slurp(home_ / "second.txt"),
            waiting + kCurrent + "pos mode=3\n" + kLegacy + "pos mode=3\nII:PCT Devices:2\n");
  std::vector<vusb::Device> devs = StateOf(bus, state);
  ASSERT_EQ(devs.size(), 2u);
  for (const vusb::Device &d : devs) {
    EXPECT_EQ(d.PosMode(), 3) << d.name;
    EXPECT_EQ(d.boundDriver, "usbhid") << d.name;
  }
  EXPECT_EQ(Slurp(home_ / "panel" / ".pctdevid.conf"), "2575:8753\n22b9:0040\n");
  EXPECT_EQ(Slurp(lock), ""); // names no holder
  EXPECT_EQ(Entries(home_),
            (std::vector<std::string>{"bus.json", "first.txt", "panel", "s.json", "s.json.lock",
                                      "s.json.merge", "second.txt", "status.txt", "third.txt"}));
  EXPECT_FALSE(fs::exists(home_ / "panel" / "Util.conf")); // the third wrote no mode
}

TEST_F(Sim, KilledRunLeavesItsControllerWithoutDriverUntilRecover) {
  fs::path bus = Scenario(R"({"devices":[{"name":"p","model":"pct-current"}]})");
  fs::path state = home_ / "s.json";
  const std::string common = "--scenario " + bus.string() + " --state " + state.string() +
                             " --dir " + (home_ / "panel").string();
  pid_t run = Start(common + " --mouse", home_ / "out.txt");
  ASSERT_GT(run, 0);
  ASSERT_TRUE(Until([&] { return Detached(bus, state, 0); }));
  kill(run, SIGKILL);
  EXPECT_EQ(Wait(run), 128 + SIGKILL);

  // The mode switch had not reached the flash yet; the driver is off the controller.
  EXPECT_EQ(Slurp(state), "{\n  \"devices\": {\n    \"p\": {\n      \"driverBound\": false,\n"
                          "      \"identity\": \"0x12048170\",\n      \"params\": \"\",\n"
                          "      \"pid\": \"0x8753\",\n      \"storedPosMode\": 32,\n"
                          "      \"vid\": \"0x2575\"\n    }\n  }\n}\n");
  EXPECT_EQ(Entries(home_), (std::vector<std::string>{"bus.json", "out.txt", "panel", "s.json",
                                                      "s.json.lock", "s.json.merge"}));

  // A normal run leaves it alone, as it would a real one.
  Result r = Run("--instant " + common + " getpos", "", true);
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("panelcfg --recover resets it\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("pos mode="), std::string::npos) << r.out;

  r = Run("--instant " + common + " --recover");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "II:reset bus 001 device 002: 2575:8753 PCT, which had no kernel driver\n"
                   "II:Controllers reset:1\n");
  ASSERT_EQ(StateOf(bus, state).size(), 1u);
  EXPECT_EQ(StateOf(bus, state)[0].boundDriver, "usbhid");
  r = Run("--instant " + common + " --recover");
  EXPECT_EQ(r.status, 0); // nothing left to recover
  EXPECT_EQ(r.out, "II:Controllers reset:0\n");

  r = Run("--instant " + common + " getpos");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, std::string(kCurrent) + "pos mode=1\nII:PCT Devices:1\n");
}

TEST_F(Sim, StopSignalFinishesTheControllerInHandAndWritesNoListFile) {
  // The legacy controller first; it ignores its first ten mode changes, which its handling
  // retries with pauses.
  fs::path bus = Scenario(R"({"devices":[
      {"name":"b","model":"pct-legacy","faults":{"ignoredModeSets":10}},
      {"name":"a","model":"pct-current"}]})");
  fs::path state = home_ / "s.json";
  fs::path panel = home_ / "panel";
  pid_t run = Start("--scenario " + bus.string() + " --state " + state.string() + " --dir " +
                        panel.string() + " getpos",
                    home_ / "out.txt");
  ASSERT_GT(run, 0);
  ASSERT_TRUE(Until([&] { return Detached(bus, state, 0); }));
  kill(run, SIGTERM);
  EXPECT_EQ(Wait(run), 143);
  EXPECT_EQ(Slurp(home_ / "out.txt"),
            std::string(kLegacy) +
                "pos mode=1\nEE:interrupted by SIGTERM: 1 supported device not visited, no list "
                "file written\n");
  EXPECT_EQ(Entries(panel), std::vector<std::string>{});
  std::vector<vusb::Device> devs = StateOf(bus, state);
  ASSERT_EQ(devs.size(), 2u);
  EXPECT_EQ(devs[0].boundDriver, "usbhid"); // finished with its reset
  EXPECT_EQ(devs[1].boundDriver, "usbhid"); // never touched
}

TEST_F(Sim, TooLongPathsStopTheSimulatorBeforeAnythingIsCreated) {
  fs::path bus = Scenario(R"({"options":{"res":1},"devices":[{"model":"pct-current"}]})");
  const std::string base = home_.string() + "/";
  const std::string dir254 = base + std::string(254 - base.size(), 'd');
  const std::string state = " --state " + base + "s.json --scenario " + bus.string();

  Result r = Run("--instant --dir " + dir254 + "x" + state + " getpos", "", true);
  EXPECT_EQ(r.status, 125);
  EXPECT_EQ(r.out, "panelcfg-sim: --dir is too long (at most 254 bytes): " + dir254 + "x\n");
  r = Run("--instant" + state + " getpos", "PANELCFG_SIM_DIR=" + dir254 + "xy", true);
  EXPECT_EQ(r.status, 125);
  EXPECT_EQ(r.out, "panelcfg-sim: --dir is too long (at most 254 bytes): " + dir254 + "xy\n");

  std::string longState = base;
  while (longState.size() < 4089)
    longState += std::string(std::min<size_t>(200, 4088 - longState.size()), 's') + "/";
  longState.back() = 'j';
  r = Run("--instant --dir " + base + "p --state " + longState + " getpos", "", true);
  EXPECT_EQ(r.status, 125);
  EXPECT_EQ(r.out, "panelcfg-sim: --state is too long (at most 4088 bytes): " + longState + "\n");
  const std::string name249 = base + std::string(249, 'n');
  r = Run("--instant --dir " + base + "p --state " + name249 + " getpos", "", true);
  EXPECT_EQ(r.status, 125);
  EXPECT_EQ(r.out, "panelcfg-sim: the file name of --state is too long (at most 248 bytes): " +
                       name249 + "\n");
  EXPECT_EQ(Entries(home_), std::vector<std::string>{"bus.json"});

  // At the limits everything fits: DIR (a trailing slash left out) and the names beside FILE.
  const std::string name248 = base + std::string(248, 'n');
  r = Run("--instant --dir " + dir254 + "/ --state " + name248 + " --scenario " + bus.string() +
          " getpos");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, std::string(kCurrent) + "pos mode=1\nII:PCT Devices:1\n");
  EXPECT_EQ(Slurp(dir254 + "/options.ini"), "[options]\nres=1\n");
  EXPECT_EQ(Slurp(dir254 + "/.pctdevid.conf"), "2575:8753\n");
  EXPECT_TRUE(fs::exists(name248 + ".lock"));

  r = Run("--sim-help");
  EXPECT_NE(r.out.find("holds the lock FILE.lock"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("DIR may be at most 254 bytes long (trailing slashes left out), FILE at "
                       "most 4088\nbytes with a last component of at most 248 bytes.\n"),
            std::string::npos)
      << r.out;
}

TEST_F(Sim, ManyRunsAtOnceNeverFailTheSimulator) {
  fs::path bus = Scenario(R"({"options":{"res":1},"devices":[{"model":"pct-current"}]})");
  fs::path states = home_ / "states";
  fs::create_directory(states);
  // Twenty state files side by side in one directory, two runs on each.
  std::vector<pid_t> runs;
  // File names with a number, built by appending: GCC 12 reports a literal + a temporary string
  // as overlapping copies (-Wrestrict, a false positive of its inlined char_traits copy).
  auto Named = [](const char *prefix, int i, const char *suffix) {
    std::string name = prefix;
    name += std::to_string(i);
    name += suffix;
    return name;
  };
  auto OutName = [&](int i) { return Named("out", i, ".txt"); };
  for (int i = 0; i < 40; i++) {
    // Appended piece by piece, for the same reason.
    std::string args = "--instant --scenario ";
    args += bus.string();
    args += " --state ";
    args += (states / Named("s", i / 2, ".json")).string();
    args += " --dir ";
    args += (home_ / Named("panel", i / 2, "")).string();
    args += " getpos";
    runs.push_back(Start(args, home_ / OutName(i)));
  }
  std::vector<std::string> expected;
  for (size_t i = 0; i < runs.size(); i++) {
    ASSERT_GT(runs[i], 0);
    EXPECT_EQ(Wait(runs[i]), 1) << Slurp(home_ / OutName(i));
    if (i % 2 == 0) {
      expected.push_back(Named("s", static_cast<int>(i / 2), ".json"));
      expected.push_back(Named("s", static_cast<int>(i / 2), ".json.lock"));
      expected.push_back(Named("s", static_cast<int>(i / 2), ".json.merge"));
    }
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(Entries(states), expected); // every file whole, no temporary left behind
  for (int i = 0; i < 20; i++) {
    std::vector<vusb::Device> devs = StateOf(bus, states / Named("s", i, ".json"));
    ASSERT_EQ(devs.size(), 1u);
    EXPECT_EQ(devs[0].boundDriver, "usbhid");
    EXPECT_EQ(Slurp(home_ / Named("panel", i, "") / "options.ini"), "[options]\nres=1\n");
  }
}

} // namespace

// Panels plugged in together: a handler for each, each its own process on the one simulated
// bus, as udev starts them. Every panel ends in the site mode, and the list files name every
// one of them: the handlers merge their rows under a lock of their own.
TEST_F(Sim, PanelsPluggedInTogetherAllGetTheSiteMode) {
  // Built piece by piece: GCC 12 takes a literal + a temporary string for overlapping copies.
  std::string text = R"({"devices":[)";
  for (int i = 1; i <= 6; i++) {
    text += i > 1 ? "," : "";
    text += R"({"model":"pct-current","product":"P)";
    text += std::to_string(i);
    text += R"("})";
  }
  text += "]}";
  fs::path bus = Scenario(text);
  const std::string common = "--instant --scenario " + bus.string() + " --state " +
                             (home_ / "s.json").string() + " --dir " + (home_ / "panel").string();
  ASSERT_EQ(Run(common + " --site-mode mouse").status, 0);
  std::vector<pid_t> handlers;
  auto OutOf = [this](int i) {
    std::string name = "h";
    name += std::to_string(i);
    name += ".txt";
    return home_ / name;
  };
  for (int i = 1; i <= 6; i++) {
    std::string args = common;
    args += " --hotplug 1-";
    args += std::to_string(i);
    handlers.push_back(Start(args, OutOf(i)));
  }
  for (int i = 1; i <= 6; i++) {
    EXPECT_EQ(Wait(handlers[static_cast<size_t>(i - 1)]), 0);
    std::string line = "<6>panelcfg: hotplug 1-";
    line += std::to_string(i);
    line += " 2575:8753: mode 1 (digitizer), site mode 2 (mouse): switched\n";
    const std::string out = Slurp(OutOf(i));
    EXPECT_NE(out.find(line), std::string::npos) << out;
  }
  std::vector<std::string> products;
  std::istringstream lines(Slurp(home_ / "panel" / ".prodlist.conf"));
  for (std::string line; std::getline(lines, line);)
    products.push_back(line);
  std::sort(products.begin(), products.end());
  EXPECT_EQ(products, (std::vector<std::string>{"P1", "P2", "P3", "P4", "P5", "P6"}));
  const std::string status = Run(common + " --status").out;
  for (int i = 1; i <= 6; i++)
    EXPECT_NE(status.find(" 2575:9969 PCT current generation, firmware S1.2.04(r368) chip 8, mode "
                          "2 (mouse)"),
              std::string::npos)
        << status;
  EXPECT_EQ(std::count(status.begin(), status.end(), '\n'), 6);
  EXPECT_EQ(Slurp(home_ / "panel" / "Util.conf"), "[SETUP]\nPOSMODE=2\n");
}

// A report that cannot be written is a failure: status 1 and the reason on standard error.
TEST_F(Sim, ReportsThatCannotBeWrittenFail) {
  // Standard error to the pipe, standard output to a full device or closed (no file the program
  // opens may then take its place); the rest of the line is a comment.
  const std::pair<const char *, const char *> kOutputs[] = {
      {">/dev/full", "No space left on device"}, {">&-", "Bad file descriptor"}};
  for (const auto &[to, why] : kOutputs)
    for (const char *args : {"--list", "--list --json", "--status", "--status --json",
                             "--device 1-2 --status --json", "--hotplug 1-2", "--site-mode"}) {
      SCOPED_TRACE(std::string(args) + " " + to);
      Result r = Run(std::string("--instant ") + args + " 2>&1 " + to + " #");
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.out, std::string("panelcfg: cannot write to standard output: ") + why + "\n");
    }
  EXPECT_EQ(Slurp(home_ / ".panelcfg-sim" / "state.json.lock"), "");
}

// The simulator runs the hotplug handler with its records beside the state file: the new
// controller gets the site's mode, the one that comes back is left alone.
TEST_F(Sim, HotplugGivesTheSiteModeOnceAndKeepsItsRecordsBesideTheState) {
  fs::path dir = home_ / ".panelcfg-sim" / "touch_panel";
  fs::create_directories(dir);
  std::ofstream(dir / "Util.conf") << "[SETUP]\nPOSMODE=2\n";
  Result first = Run("--instant --fresh --hotplug 1-2");
  EXPECT_EQ(first.status, 0);
  // For the journal: the run's lines at debug priority, the handler's one line at info.
  const size_t last = first.out.rfind("\n<");
  ASSERT_NE(last, std::string::npos);
  EXPECT_EQ(first.out.substr(last + 1),
            "<6>panelcfg: hotplug 1-2 2575:8753: mode 1 (digitizer), site mode 2 (mouse): "
            "switched\n");
  for (size_t at = 0; at < last; at = first.out.find('\n', at) + 1)
    EXPECT_EQ(first.out.substr(at, 3), "<7>") << first.out.substr(at, 40);
  EXPECT_EQ(Entries(home_ / ".panelcfg-sim" / "state.json.hotplug"),
            std::vector<std::string>{"hotplug-1-2"});
  // Only that controller was handled: the list files name it alone.
  EXPECT_EQ(Slurp(dir / ".pctdevid.conf"), "2575:8753\n");
  Result again = Run("--instant --hotplug hidraw1");
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.out, "<6>panelcfg: hotplug 1-2 2575:9969: already in mode 2 (mouse), nothing to "
                       "do\n");
  EXPECT_TRUE(Entries(home_ / ".panelcfg-sim" / "state.json.hotplug").empty());
  // This firmware stores hybrid-d as 4: the handler names it so and leaves it there.
  ASSERT_EQ(Run("--instant --hybrid-d").status, 2);
  EXPECT_EQ(Run("--instant --hotplug 1-2").out,
            "<6>panelcfg: hotplug 1-2 2575:9968: already in mode 4 (hybrid-d), nothing to do\n");
  Result list = Run("--instant --device 2:3 --list");
  EXPECT_EQ(list.out, "bus 002 device 003: 1234:8888 resistive, manufacturer \"Orrin Devices\", "
                      "product \"RT-4W Resistive Touch\"\n");
}

namespace {

const char kFirstRun[] = "II:Firmware Version:S1.2.04(r368) ChipID:8\nII:check pass\n"
                         "II:Firmware Version:S3.0.12(r325) ChipID:10\nII:check pass\n"
                         "II:Firmware Version:V2.9\nRes Rotation:0\nII:PCT Devices:2\n";

TEST_F(Sim, ARecordedRunReplaysWithItsOutputAndStatus) {
  const fs::path rec = home_ / "first.json";
  Result r = Run("--instant --fresh --record " + rec.string());
  ASSERT_EQ(r.status, 2);
  ASSERT_EQ(r.out, kFirstRun);
  const nlohmann::json doc = nlohmann::json::parse(Slurp(rec));
  EXPECT_EQ(doc["arguments"], nlohmann::json::array());
  EXPECT_EQ(doc["complete"], true);
  EXPECT_EQ(doc["status"], 2);
  EXPECT_EQ(doc["options"]["res"], 1);
  EXPECT_EQ(fs::status(rec).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);

  // Without arguments: the recorded command line, its output and status; no state is touched.
  const std::string replay = "--dir " + (home_ / "replay").string() + " --replay " + rec.string();
  const auto before = fs::last_write_time(home_ / ".panelcfg-sim" / "state.json");
  r = Run(replay, "", true);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, kFirstRun);
  EXPECT_EQ(fs::last_write_time(home_ / ".panelcfg-sim" / "state.json"), before);
  EXPECT_EQ(Slurp(home_ / "replay" / "options.ini"),
            "[options]\nalt_pct_vendors=0\ndisable_8752=0\nnew_fw=0\nres=1\n");

  // Another word parts from the recording at its first own request: the position mode read in
  // place of the identity block read.
  r = Run(replay + " getpos", "", true);
  EXPECT_EQ(r.status, vusb::kReplayDiverged);
  const std::string request = R"("call":"usb_control_msg","device":"001/003","index":0,)"
                              R"("length":8,"request":9,"requestType":33,"sent":")";
  EXPECT_EQ(r.out, "II:Firmware Version:S1.2.04(r368) ChipID:8\n"
                   "panelcfg-sim: replay diverges at call 16: recorded {" +
                       request + R"(06a1220000000000","timeout":5000,"value":774}, asked {)" +
                       request + "06a2100000000000\",\"timeout\":5000,\"value\":774}\n");

  // A file that is no recording stops the simulator before the run.
  std::ofstream(home_ / "bad.json") << R"({"recording":1,"arguments":[],"calls":[{"call":)"
                                       R"("usb_open","answer":{"opened":"yes"}}]})";
  r = Run("--replay " + (home_ / "bad.json").string(), "", true);
  EXPECT_EQ(r.status, 125);
  EXPECT_EQ(r.out, "panelcfg-sim: " + (home_ / "bad.json").string() +
                       ": call 1: \"opened\" is not true or false\n");
}

TEST_F(Sim, ARecordingIsAScenarioOfTheControllersAsItFoundThem) {
  ASSERT_EQ(Run("--instant --fresh --mouse").status, 2);
  ASSERT_EQ(Run("--instant --rotation").status, 2);
  const fs::path rec = home_ / "status.json";
  ASSERT_EQ(Run("--record " + rec.string() + " --status").status, 0);
  const std::string twin = "--instant --fresh --scenario " + rec.string() + " --state " +
                           (home_ / "twin.json").string() + " --dir " + (home_ / "twin").string();
  Result r = Run(twin + " --status");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "bus 001 device 003: 2575:9969 PCT current generation, firmware S1.2.04(r368) "
                   "chip 8, mode 2 (mouse), identity valid (home 2575:8753, firmware revision "
                   "368, serial 5245444143544544)\n"
                   "bus 002 device 002: 22b9:0040 PCT legacy generation, firmware S3.0.12(r325) "
                   "chip 10, mode 2 (mouse), identity valid (home 22b9:0040, firmware revision "
                   "325, serial 5245444143544544)\n"
                   "bus 002 device 003: 1234:8888 resistive, firmware V2.9 (supported), "
                   "rotation 1\n");
  r = Run(twin + " --list");
  EXPECT_EQ(r.out, "bus 001 device 002: 0f0f:0101 not supported\n"
                   "bus 001 device 003: 2575:9969 PCT, manufacturer \"Tessel Panels\", product "
                   "\"TP8753 Multi-Touch\"\n"
                   "bus 001 device 004: 0f0f:0202 not supported\n"
                   "bus 002 device 002: 22b9:0040 PCT, manufacturer \"Tessel Panels\", product "
                   "\"TP8752 Multi-Touch\"\n"
                   "bus 002 device 003: 1234:8888 resistive, manufacturer \"Orrin Devices\", "
                   "product \"RT-4W Resistive Touch\"\n"
                   "bus 002 device 004: 0f0f:0303 not supported\n");
}

TEST_F(Sim, AKilledRunLeavesARecordingMarkedIncomplete) {
  const fs::path rec = home_ / "killed.json";
  pid_t run = Start("--fresh --record " + rec.string() + " --mouse", home_ / "out.txt");
  ASSERT_GT(run, 0);
  ASSERT_TRUE(
      Until([&] { return Slurp(home_ / "out.txt").find("II:Firmware") != std::string::npos; }));
  kill(run, SIGKILL);
  EXPECT_EQ(Wait(run), 128 + SIGKILL);
  const nlohmann::json doc = nlohmann::json::parse(Slurp(rec));
  EXPECT_EQ(doc["complete"], false);
  EXPECT_EQ(doc["arguments"], nlohmann::json::array({"--mouse"}));
  EXPECT_FALSE(doc.contains("calls"));
  // A replay refuses it.
  Result r = Run("--replay " + rec.string(), "", true);
  EXPECT_EQ(r.status, 125);
  EXPECT_EQ(r.out, "panelcfg-sim: " + rec.string() + ": the recording has no \"calls\" list\n");
}

// The runs the VM bed recorded from the packaged panelcfg on the real kernel (usbfs, usbhid,
// hidraw) replay here with the output and exit status they had there: a change to what goes on
// the wire shows as a divergence naming the call.
TEST_F(Sim, RecordingsFromTheRealKernelReplayWithTheirOutputAndStatus) {
  std::vector<std::string> names;
  for (const auto &e : fs::directory_iterator(PANELCFG_VMBED_RECORDINGS))
    if (e.path().extension() == ".json")
      names.push_back(e.path().stem().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names,
            (std::vector<std::string>{"digit", "legnone", "mouse1", "none1", "resrot", "status1"}));
  const fs::path dir = PANELCFG_VMBED_RECORDINGS;
  for (const std::string &name : names) {
    const Result r =
        Run("--dir " + (home_ / name).string() + " --replay " + (dir / (name + ".json")).string(),
            "", true);
    EXPECT_EQ(r.out, Slurp(dir / (name + ".out"))) << name;
    EXPECT_EQ(std::to_string(r.status) + "\n", Slurp(dir / (name + ".rc"))) << name;
  }
}

} // namespace
