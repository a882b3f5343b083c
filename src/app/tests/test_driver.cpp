#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <cerrno>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "base/runlock.h"
#include "base/state.h"
#include "base/stop.h"
#include "lists/registry.h"
#include "panelcfg_run.h"
#include "run/driver.h"
#include "run/hotplug.h"
#include "scan/devtable.h"
#include "scratch_dir.h"
#include "vusb.h"

namespace {

class DriverTest : public RunTest {
protected:
  void SetUp() override {
    RunTest::SetUp();
    // Leftovers of an earlier run must not survive the start of the next one.
    FunctionMode = FM_GETPOS;
    POSMode = 9;
    NotResetDevice = 1;
  }
};

const char kEmptyRunOutput[] = "II:PCT Devices:0\n";

// The arguments each in single quotes, for a trace.
std::string Quoted(const std::vector<std::string> &args) {
  std::string label;
  for (const std::string &a : args)
    label += "'" + a + "' ";
  return label;
}

TEST_F(DriverTest, OperationWords) {
  struct Case {
    std::vector<std::string> args;
    int functionMode;
    int posMode;
    int utilConfMode; // 0: no Util.conf
  };
  const std::vector<Case> cases = {
      {{}, FM_CONFIGURE, 0, 0},
      {{"--digitizer"}, FM_CONFIGURE, 1, 1},
      {{"--mouse-test"}, FM_TEST, 2, 0},
      {{"--mouse"}, FM_CONFIGURE, 2, 2},
      {{"--hybrid-d"}, FM_CONFIGURE, 3, 3},
      {{"--hybrid-m"}, FM_CONFIGURE, 4, 4},
      {{"--clean"}, FM_CLEAN, 0, 0},
      {{"--rotation"}, FM_ROTATION, 0, 0},
      {{"--digi-test"}, FM_TEST, 1, 0},
      {{"--sn"}, FM_SN, 0, 0},
      {{"setpos", "1"}, FM_SETPOS, 1, 0},
      {{"setpos", "4"}, FM_SETPOS, 4, 0},
      {{"setpos", "2x"}, FM_SETPOS, 2, 0},
      {{"getpos"}, FM_GETPOS, 0, 0},
      // Substring search: the word may sit between other characters.
      {{"x--digitizery"}, FM_CONFIGURE, 1, 1},
      {{"--hybrid-mode"}, FM_CONFIGURE, 4, 4},
      {{"--snapshot"}, FM_SN, 0, 0},
      {{"--getpos"}, FM_GETPOS, 0, 0},
      {{"--mouse-tester"}, FM_TEST, 2, 0},
      // Two words in one argument: the earlier one in the table wins.
      {{"--sn--clean"}, FM_CLEAN, 0, 0},
      {{"--sn--rotation"}, FM_ROTATION, 0, 0},
      {{"--mouse--digitizer"}, FM_CONFIGURE, 1, 1},
      {{"--hybrid-m--hybrid-d"}, FM_CONFIGURE, 3, 3},
      {{"--digi-test--mouse"}, FM_CONFIGURE, 2, 2},
      {{"--mouse-test--mouse"}, FM_TEST, 2, 0},
      {{"--clean--mouse-test"}, FM_TEST, 2, 0},
      {{"getpos--rotation"}, FM_ROTATION, 0, 0},
      {{"getpossetpos", "3"}, FM_SETPOS, 3, 0},
      // Nothing recognised: the defaults.
      {{""}, FM_CONFIGURE, 0, 0},
      {{"--bogus"}, FM_CONFIGURE, 0, 0},
      {{"--MOUSE"}, FM_CONFIGURE, 0, 0},
      {{"-mouse"}, FM_CONFIGURE, 0, 0},
      {{"--digi"}, FM_CONFIGURE, 0, 0},
      {{"SETPOS", "1"}, FM_CONFIGURE, 0, 0},
      {{"mouse", "--mouse"}, FM_CONFIGURE, 0, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(Quoted(c.args));
    ScratchDir dir;
    FunctionMode = FM_GETPOS;
    POSMode = 9;
    NotResetDevice = 1;

    RunResult r = RunPanelcfg(dir, c.args);

    EXPECT_EQ(0, r.status);
    EXPECT_EQ(kEmptyRunOutput, r.out);
    EXPECT_EQ("", r.err);
    EXPECT_EQ(c.functionMode, FunctionMode);
    EXPECT_EQ(c.posMode, POSMode);
    EXPECT_EQ(0, NotResetDevice);
    if (c.utilConfMode == 0) {
      EXPECT_TRUE(dir.Entries().empty());
    } else {
      EXPECT_EQ(std::vector<std::string>{"Util.conf"}, dir.Entries());
      EXPECT_EQ("[SETUP]\nPOSMODE=" + std::to_string(c.utilConfMode) + "\n",
                ReadBytes(dir.File("Util.conf")));
    }
  }
}

TEST_F(DriverTest, NotFlagIsReadFromTheThirdArgumentOnly) {
  struct Case {
    std::vector<std::string> args;
    int notReset;
  };
  const std::vector<Case> cases = {
      {{"--mouse", "not"}, 0},
      {{"--mouse", "x", "not"}, 1},
      {{"setpos", "4", "not"}, 1},
      {{"setpos", "4", "x", "not"}, 0},
      {{"getpos", "a", "cannot"}, 1},
      {{"getpos", "a", "NOT"}, 0},
      {{"getpos", "not", "no"}, 0},
      {{"--sn", "a", "b", "c"}, 0},
      {{"--sn", "a", "b-not-c", "d"}, 1},
      {{"--bogus", "x", "not"}, 1},
      {{"not"}, 0},
      {{"not", "not"}, 0},
      {{"not", "not", "not"}, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(Quoted(c.args));
    ScratchDir dir;
    NotResetDevice = 7;
    RunResult r = RunPanelcfg(dir, c.args);
    EXPECT_EQ(kEmptyRunOutput, r.out);
    EXPECT_EQ(c.notReset, NotResetDevice);
  }
}

TEST_F(DriverTest, SetposAndNotTogether) {
  RunResult r = RunPanelcfg(dir_, {"setpos", "4", "not"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(FM_SETPOS, FunctionMode);
  EXPECT_EQ(4, POSMode);
  EXPECT_EQ(1, NotResetDevice);
  EXPECT_TRUE(dir_.Entries().empty());
}

TEST_F(DriverTest, SetposWithoutAValidModeStopsWithAMessage) {
  const std::vector<std::vector<std::string>> cases = {
      {"setpos"},         {"setpos", ""},         {"setpos", "0"},     {"setpos", "5"},
      {"setpos", "9"},    {"setpos", "x"},        {"setpos", " 1"},    {"setpos", "-1"},
      {"setpos", "\xB1"}, {"setpos", "0", "not"}, {"--setpos--", "/"},
  };
  for (const std::vector<std::string> &args : cases) {
    SCOPED_TRACE(Quoted(args));
    ScratchDir dir;
    // Registries with rows: a run that went on would write their list files.
    ClearRegistries();
    ManufCnt += SetManufacturerName(ManufCnt, "Maker", "Panel");
    DevIDCnt += SetPCTDevID(DevIDCnt, 0x2575, 0x8753);

    RunResult r = RunPanelcfg(dir, args);

    EXPECT_EQ(0, r.status);
    EXPECT_EQ("EE:setpos needs a position mode: 1 digitizer, 2 mouse, 3 hybrid-d, 4 hybrid-m\n",
              r.out);
    EXPECT_EQ("", r.err);
    EXPECT_TRUE(dir.Entries().empty());
  }
}

TEST_F(DriverTest, HelpAndVersionTouchNothing) {
  struct Case {
    const char *arg;
    bool usage;
  };
  const Case cases[] = {{"--help", true}, {"-h", true}, {"--version", false}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.arg);
    ScratchDir dir;
    // A debug marker and a broken options file: neither may be looked at.
    ASSERT_EQ(0, mkdir(dir.File("enabledebug").c_str(), 0755));
    WriteBytes(dir.File("options.ini"), "[options]\nres=300\n");
    ClearRegistries();
    ManufCnt += SetManufacturerName(ManufCnt, "Maker", "Panel");
    MyConfig.res = 1;
    MyConfig.enable_hidraw = 5;

    RunResult r = RunPanelcfg(dir, {c.arg, "--mouse", "not"});

    EXPECT_EQ(0, r.status);
    EXPECT_EQ("", r.err);
    if (c.usage) {
      EXPECT_EQ(0u, r.out.rfind("Usage: panelcfg ", 0)) << r.out;
      for (const char *word :
           {"--digitizer", "--mouse-test", "--mouse", "--hybrid-d", "--hybrid-m", "--clean",
            "--rotation", "--digi-test", "--sn", "setpos", "getpos", "not"})
        EXPECT_NE(std::string::npos, r.out.find(word)) << word;
    } else {
      EXPECT_EQ("panelcfg " PANELCFG_VERSION "\n", r.out);
    }
    EXPECT_EQ(std::string::npos, r.out.find("DD:"));
    EXPECT_EQ(std::string::npos, r.out.find("PCT Devices"));
    EXPECT_EQ((std::vector<std::string>{"enabledebug", "options.ini"}), dir.Entries());
    EXPECT_EQ(FM_GETPOS, FunctionMode);
    EXPECT_EQ(9, POSMode);
    EXPECT_EQ(1, MyConfig.res);
    EXPECT_EQ(5, MyConfig.enable_hidraw);
    EXPECT_EQ(0, cMyHidInfo.VidCnt);
  }
}

TEST_F(DriverTest, HelpIsOnlyRecognisedAsTheWholeFirstArgument) {
  for (const char *arg : {"--helpme", "x-h", "--version2"}) {
    SCOPED_TRACE(arg);
    RunResult r = RunPanelcfg(dir_, {arg});
    EXPECT_EQ(kEmptyRunOutput, r.out);
    EXPECT_EQ(FM_CONFIGURE, FunctionMode);
  }
  RunResult r = RunPanelcfg(dir_, {"--mouse", "--help"});
  EXPECT_EQ(kEmptyRunOutput, r.out);
  EXPECT_EQ(2, POSMode);
}

TEST_F(DriverTest, ListFilesAreWrittenOnlyForNonZeroCounters) {
  struct Case {
    const char *name;
    bool pctNames, pctIds, resNames, resIds;
    std::vector<std::string> files;
  };
  const std::vector<Case> cases = {
      {"none", false, false, false, false, {}},
      {"PCT names", true, false, false, false, {".prodlist.conf", "manuflist.conf"}},
      {"PCT IDs", false, true, false, false, {".pctdevid.conf"}},
      {"resistive names", false, false, true, false, {".rprodlist.conf", "rmanuflist.conf"}},
      {"resistive IDs", false, false, false, true, {".resdevid.conf"}},
      {"all",
       true,
       true,
       true,
       true,
       {".pctdevid.conf", ".prodlist.conf", ".resdevid.conf", ".rprodlist.conf", "manuflist.conf",
        "rmanuflist.conf"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    ClearRegistries();
    if (c.pctNames) {
      ManufCnt += SetManufacturerName(ManufCnt, "Maker A", "Panel");
      ManufCnt += SetManufacturerName(ManufCnt, "Maker B", "Panel");
    }
    if (c.pctIds)
      DevIDCnt += SetPCTDevID(DevIDCnt, 0x2575, 0x8753);
    if (c.resNames)
      rManufCnt += SetResManufacturerName(rManufCnt, "Res Co", "Touch");
    if (c.resIds) {
      rDevIDCnt += SetResDevID(rDevIDCnt, 0x1234, 0x8888);
      rDevIDCnt += SetResDevID(rDevIDCnt, 0x0A0B, 0x00C1);
    }

    RunResult r = RunPanelcfg(dir, {});

    EXPECT_EQ(kEmptyRunOutput, r.out);
    EXPECT_EQ(c.files, dir.Entries());
    if (c.pctNames) {
      EXPECT_EQ("Maker A Panel\nMaker B Panel\n", ReadBytes(dir.File("manuflist.conf")));
      EXPECT_EQ("Panel\nPanel\n", ReadBytes(dir.File(".prodlist.conf")));
    }
    if (c.pctIds) {
      EXPECT_EQ("2575:8753\n", ReadBytes(dir.File(".pctdevid.conf")));
    }
    if (c.resNames) {
      EXPECT_EQ("Res Co Touch\n", ReadBytes(dir.File("rmanuflist.conf")));
      EXPECT_EQ("Touch\n", ReadBytes(dir.File(".rprodlist.conf")));
    }
    if (c.resIds) {
      EXPECT_EQ("1234:8888\n0a0b:00c1\n", ReadBytes(dir.File(".resdevid.conf")));
    }
  }
}

TEST_F(DriverTest, FilesOfAFamilyNotFoundAreLeftAsTheyWere) {
  const char *const files[] = {"manuflist.conf",  ".prodlist.conf",  ".pctdevid.conf",
                               "rmanuflist.conf", ".rprodlist.conf", ".resdevid.conf",
                               "Util.conf"};
  for (const char *f : files)
    WriteBytes(dir_.File(f), std::string("earlier ") + f + "\n");
  rDevIDCnt += SetResDevID(rDevIDCnt, 0x1234, 0x8888);

  RunResult r = RunPanelcfg(dir_, {"--clean"});

  EXPECT_EQ(kEmptyRunOutput, r.out);
  for (const char *f : files) {
    SCOPED_TRACE(f);
    const std::string expected =
        strcmp(f, ".resdevid.conf") == 0 ? "1234:8888\n" : std::string("earlier ") + f + "\n";
    EXPECT_EQ(expected, ReadBytes(dir_.File(f)));
  }
}

TEST_F(DriverTest, ModeWordReplacesAnEarlierUtilConf) {
  WriteBytes(dir_.File("Util.conf"), "[SETUP]\nPOSMODE=1\nEXTRA=1\n");
  RunResult r = RunPanelcfg(dir_, {"--hybrid-m"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("[SETUP]\nPOSMODE=4\n", ReadBytes(dir_.File("Util.conf")));
}

TEST_F(DriverTest, MissingPanelDirectoryDoesNotChangeTheRun) {
  ManufCnt += SetManufacturerName(ManufCnt, "Maker", "Panel");
  ScratchDir parent;
  const std::string absent = parent.File("absent");
  RunResult r = RunPanelcfg(absent, {"--mouse"});
  EXPECT_EQ(0, r.status);
  // Only the files that could not be written are named.
  const std::string missing = ": No such file or directory\n";
  EXPECT_EQ("EE:cannot write " + absent + "/Util.conf" + missing + "EE:cannot write " + absent +
                "/manuflist.conf" + missing + "EE:cannot write " + absent + "/.prodlist.conf" +
                missing + kEmptyRunOutput,
            r.out);
  EXPECT_EQ("", r.err);
  EXPECT_EQ(2, POSMode);
  EXPECT_FALSE(FileExists(absent));
}

TEST_F(DriverTest, DebugMarkerTurnsOnTheTraces) {
  ASSERT_EQ(0, mkdir(dir_.File("enabledebug").c_str(), 0755));
  RunResult r = RunPanelcfg(dir_, {"--sn", "a", "b", "c"});
  EXPECT_EQ(1, DbgFlag);
  EXPECT_EQ(0u, r.out.rfind("panelcfg DD:v0.1\npanelcfg DD:main start argc=5\n", 0)) << r.out;
  const std::string last = "II:PCT Devices:0\n";
  ASSERT_GE(r.out.size(), last.size());
  EXPECT_EQ(last, r.out.substr(r.out.size() - last.size())) << r.out;
}

TEST_F(DriverTest, WithoutTheMarkerNoTraceIsShown) {
  DbgFlag = 1;
  RunResult r = RunPanelcfg(dir_, {"--mouse"});
  EXPECT_EQ(0, DbgFlag);
  EXPECT_EQ(kEmptyRunOutput, r.out);
}

TEST_F(DriverTest, OptionsAreLoadedFromThePanelDirectory) {
  WriteBytes(dir_.File("options.ini"), "[options]\nres=1\nnew_fw=1\nalt_pct_vendors=1\n"
                                       "disable_8752=1\nspec_display=3\nenable_hidraw=4\n"
                                       "param5=255\n");
  RunResult r = RunPanelcfg(dir_, {});
  EXPECT_EQ(kEmptyRunOutput, r.out);
  EXPECT_EQ("", r.err);
  EXPECT_EQ(1, MyConfig.res);
  EXPECT_EQ(1, MyConfig.new_fw);
  EXPECT_EQ(1, MyConfig.alt_pct_vendors);
  EXPECT_EQ(1, MyConfig.disable_8752);
  EXPECT_EQ(3, MyConfig.spec_display);
  EXPECT_EQ(4, MyConfig.enable_hidraw);
  EXPECT_EQ(255, MyConfig.param5);
  EXPECT_EQ(0, MyConfig.param1);
}

TEST_F(DriverTest, FailedOptionLoadSwitchesTheOptionsOff) {
  struct Case {
    const char *name;
    const char *options; // nullptr: no file
    std::string err;
  };
  const std::string path = dir_.File("options.ini");
  const Case cases[] = {
      {"missing", nullptr, ""},
      {"malformed", "[options]\nres=1\nres 256\n", path + ":3: syntax error\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::remove(path.c_str());
    if (c.options != nullptr)
      WriteBytes(path, c.options);
    memset(&MyConfig, 1, sizeof MyConfig);

    RunResult r = RunPanelcfg(dir_, {});

    EXPECT_EQ(kEmptyRunOutput, r.out);
    EXPECT_EQ(c.err, r.err);
    EXPECT_EQ(0, MyConfig.res);
    EXPECT_EQ(0, MyConfig.new_fw);
    EXPECT_EQ(0, MyConfig.alt_pct_vendors);
    EXPECT_EQ(0, MyConfig.disable_8752);
    EXPECT_EQ(0, MyConfig.spec_display);
    // The rest is left as the failed call left it.
    EXPECT_EQ(1, MyConfig.enable_hidraw);
    EXPECT_EQ(1, MyConfig.login_jour_resolution);
    EXPECT_EQ(1, MyConfig.param5);
  }
}

TEST_F(DriverTest, SupportedDeviceTableIsFilled) {
  RunPanelcfg(dir_, {"getpos"});
  EXPECT_EQ(4, cMyHidInfo.VidCnt);
  EXPECT_EQ(26, cMyHidInfo.PidCnt);
  EXPECT_EQ(0x2988, cMyHidInfo.Pids[25]);
}

// Last line of the output, line feed included.
std::string LastLine(const std::string &out) {
  size_t start = out.size() < 2 ? 0 : out.rfind('\n', out.size() - 2);
  return start == std::string::npos ? out : out.substr(start + 1);
}

TEST_F(DriverTest, ExitStatusIsThePctCountWhateverTheWord) {
  const std::vector<std::vector<std::string>> cases = {
      {}, {"--mouse"}, {"--digi-test"}, {"--clean"}, {"--sn"}, {"setpos", "1"}, {"getpos"},
  };
  for (const std::vector<std::string> &args : cases) {
    SCOPED_TRACE(Quoted(args));
    ScratchDir dir;
    ClearRegistries();
    vusb::Reset();
    vusb::AddPctCurrent();
    vusb::AddPlain(0x046D, 0xC077);
    vusb::AddResistive();
    vusb::AddPctLegacy();
    WriteBytes(dir.File("options.ini"), "[options]\nres=1\n");

    RunResult r = RunPanelcfg(dir, args);

    EXPECT_EQ(2, r.status);
    EXPECT_EQ("II:PCT Devices:2\n", LastLine(r.out)) << r.out;
    EXPECT_EQ("1234:8888\n", ReadBytes(dir.File(".resdevid.conf")));
    EXPECT_EQ("2575:8753\n22b9:0040\n", ReadBytes(dir.File(".pctdevid.conf")));
    EXPECT_EQ(0, vusb::OpenHandleCount());
  }
}

TEST_F(DriverTest, ListFilesNameTheControllersFound) {
  vusb::AddPctCurrent();
  vusb::AddResistive();
  vusb::AddPctLegacy();
  WriteBytes(dir_.File("options.ini"), "[options]\nres=1\n");
  RunResult r = RunPanelcfg(dir_, {});
  EXPECT_EQ(2, r.status);
  const std::string pct1 = vusb::Dev(0).strings.at(1) + " " + vusb::Dev(0).strings.at(2);
  const std::string pct2 = vusb::Dev(2).strings.at(1) + " " + vusb::Dev(2).strings.at(2);
  const std::string res = vusb::Dev(1).strings.at(1) + " " + vusb::Dev(1).strings.at(2);
  EXPECT_EQ(pct1 + "\n" + pct2 + "\n", ReadBytes(dir_.File("manuflist.conf")));
  EXPECT_EQ(vusb::Dev(0).strings.at(2) + "\n" + vusb::Dev(2).strings.at(2) + "\n",
            ReadBytes(dir_.File(".prodlist.conf")));
  EXPECT_EQ(res + "\n", ReadBytes(dir_.File("rmanuflist.conf")));
  EXPECT_EQ(vusb::Dev(1).strings.at(2) + "\n", ReadBytes(dir_.File(".rprodlist.conf")));
  EXPECT_FALSE(FileExists(dir_.File("Util.conf")));
}

TEST_F(DriverTest, UtilConfIsWrittenEvenWhenTheControllerFails) {
  int pct = vusb::AddPctCurrent();
  vusb::Dev(pct).faults.openErrno = EACCES;
  RunResult r = RunPanelcfg(dir_, {"--hybrid-d"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("II:PCT Devices:0\n", LastLine(r.out));
  EXPECT_EQ("[SETUP]\nPOSMODE=3\n", ReadBytes(dir_.File("Util.conf")));
  EXPECT_EQ(std::vector<std::string>{"Util.conf"}, dir_.Entries());
}

TEST_F(DriverTest, UtilConfIsWrittenBeforeTheScan) {
  // A directory in the way makes the write fail with a debug line; it must come before the
  // scan's first line.
  ASSERT_EQ(0, mkdir(dir_.File("enabledebug").c_str(), 0755));
  ASSERT_EQ(0, mkdir(dir_.File("Util.conf").c_str(), 0755));
  ASSERT_EQ(0, mkdir(dir_.File("Util.conf/keep").c_str(), 0755));
  vusb::AddPctCurrent();
  RunResult r = RunPanelcfg(dir_, {"--mouse"});
  size_t conf = r.out.find("Util.conf");
  size_t scan = r.out.find("panelcfg DD:call usb_get_busses\n");
  ASSERT_NE(std::string::npos, conf) << r.out;
  ASSERT_NE(std::string::npos, scan) << r.out;
  EXPECT_LT(conf, scan) << r.out;
  EXPECT_EQ("II:PCT Devices:1\n", LastLine(r.out));
}

TEST_F(DriverTest, StoppedRunsTouchNoDevice) {
  const std::vector<std::vector<std::string>> cases = {
      {"--help"}, {"-h"}, {"--version"}, {"setpos"}, {"setpos", "5"}, {"setpos", "0", "not"},
  };
  for (const std::vector<std::string> &args : cases) {
    SCOPED_TRACE(args[0] + (args.size() > 1 ? " " + args[1] : ""));
    ScratchDir dir;
    vusb::Reset();
    int pct = vusb::AddPctCurrent();
    int res = vusb::AddResistive();
    RunResult r = RunPanelcfg(dir, args);
    EXPECT_EQ(0, r.status);
    EXPECT_TRUE(vusb::Log().empty()) << vusb::Describe(vusb::Log().front());
    EXPECT_EQ(0, vusb::Dev(pct).opens);
    EXPECT_EQ(0, vusb::Dev(res).opens);
    EXPECT_TRUE(dir.Entries().empty());
  }
}

// ---------------------------------------------------------------------------------------------
// One run at a time, recovery, and the notice for users who are not root

// The run lock: held with this process named in it, waited for while another holds it, given up
// after the wait, and given up at once on a stop signal.
TEST_F(DriverTest, RunLock) {
  const std::string path = dir_.File("panelcfg.lock");
  int fd = -1;
  Output o = Captured([&] { EXPECT_EQ(RUNLOCK_HELD, TakeRunLock(path.c_str(), 0, &fd)); });
  EXPECT_EQ("", o.out);
  EXPECT_EQ(std::to_string(getpid()) + "\n", ReadBytes(path));
  struct stat st = {};
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 07777);

  // Another open file description of the same file is another holder.
  int other = -1;
  o = Captured([&] { EXPECT_EQ(RUNLOCK_TIMED_OUT, TakeRunLock(path.c_str(), 120, &other)); });
  EXPECT_EQ(-1, other);
  EXPECT_EQ("II:waiting for the other panelcfg run (pid " + std::to_string(getpid()) +
                ") to finish\nEE:another panelcfg run (pid " + std::to_string(getpid()) +
                ") still holds " + path + " after 0 s; nothing done\n",
            o.out);

  InstallStopSignals();
  raise(SIGTERM);
  o = Captured([&] { EXPECT_EQ(RUNLOCK_INTERRUPTED, TakeRunLock(path.c_str(), 60000, &other)); });
  ClearStopSignals();
  EXPECT_EQ("II:waiting for the other panelcfg run (pid " + std::to_string(getpid()) +
                ") to finish\n",
            o.out);

  ReleaseRunLock(fd);
  EXPECT_EQ("", ReadBytes(path)); // names no holder once released
  o = Captured([&] { EXPECT_EQ(RUNLOCK_HELD, TakeRunLock(path.c_str(), 0, &other)); });
  ReleaseRunLock(other);

  // Runs on different devices hold it at the same time; a run on the same device, or on the
  // whole bus, waits for them; while a run on the whole bus holds it, no run on a device starts.
  int one = -1;
  int two = -1;
  ASSERT_EQ(RUNLOCK_HELD, TakeRunLock(path.c_str(), 0, &one, "1-1"));
  EXPECT_EQ(RUNLOCK_HELD, TakeRunLock(path.c_str(), 0, &two, "1-2"));
  o = Captured([&] {
    EXPECT_EQ(RUNLOCK_TIMED_OUT, TakeRunLock(path.c_str(), 0, &other, "1-1"));
    EXPECT_EQ(RUNLOCK_TIMED_OUT, TakeRunLock(path.c_str(), 0, &other));
  });
  EXPECT_EQ("II:waiting for the other panelcfg run (pid " + std::to_string(getpid()) +
                ") to finish\nEE:another panelcfg run (pid " + std::to_string(getpid()) +
                ") still holds " + path +
                "-1-1 after 0 s; nothing done\nII:waiting for the other "
                "panelcfg run to finish\nEE:another panelcfg run (which did not name itself) "
                "still holds " +
                path + " after 0 s; nothing done\n",
            o.out);
  EXPECT_EQ("", ReadBytes(path)); // shared holders name none
  EXPECT_EQ(std::to_string(getpid()) + "\n", ReadBytes(path + "-1-2"));
  // The list files' lock: one holder at a time, none without a run lock.
  const int lists = TakeListLock();
  EXPECT_LE(0, lists);
  EXPECT_NE(0, flock(open((path + "-lists").c_str(), O_RDONLY | O_CLOEXEC), LOCK_EX | LOCK_NB));
  ReleaseListLock(lists);
  ReleaseRunLock(two);
  ReleaseRunLock(one);
  EXPECT_EQ(-1, TakeListLock());
  ASSERT_EQ(RUNLOCK_HELD, TakeRunLock(path.c_str(), 0, &one));
  o = Captured([&] { EXPECT_EQ(RUNLOCK_TIMED_OUT, TakeRunLock(path.c_str(), 0, &other, "1-2")); });
  ReleaseRunLock(one);

  // A holder that has not named itself yet is said to be unknown.
  ASSERT_EQ(RUNLOCK_HELD, TakeRunLock(path.c_str(), 0, &fd));
  ASSERT_EQ(0, ftruncate(fd, 0));
  o = Captured([&] { EXPECT_EQ(RUNLOCK_TIMED_OUT, TakeRunLock(path.c_str(), 0, &other)); });
  EXPECT_EQ("II:waiting for the other panelcfg run to finish\nEE:another panelcfg run (which did "
            "not name itself) still holds " +
                path + " after 0 s; nothing done\n",
            o.out);
  ReleaseRunLock(fd);

  // Anything but a lock file at the path is refused at once, never followed, never waited on:
  // without its lock a run does nothing.
  struct Refused {
    const char *name;
    std::function<void(const std::string &)> make;
    const char *why;
  };
  const Refused kRefused[] = {
      {"link.lock",
       [this](const std::string &p) {
         ASSERT_EQ(0, symlink(dir_.File("target").c_str(), p.c_str()));
       },
       "a symbolic link, not followed"},
      {"fifo.lock", [](const std::string &p) { ASSERT_EQ(0, mkfifo(p.c_str(), 0600)); },
       "not a regular file"},
      {"dir.lock", [](const std::string &p) { ASSERT_EQ(0, mkdir(p.c_str(), 0700)); },
       "Is a directory"},
      {"no/such.lock", [](const std::string &) {}, "No such file or directory"},
  };
  for (const Refused &c : kRefused) {
    SCOPED_TRACE(c.name);
    const std::string at = dir_.File(c.name);
    c.make(at);
    o = Captured([&] { EXPECT_EQ(RUNLOCK_REFUSED, TakeRunLock(at.c_str(), 60000, &fd)); });
    EXPECT_EQ(-1, fd);
    EXPECT_EQ("EE:cannot take the run lock " + at + ": " + c.why + "; nothing done\n", o.out);
  }
  EXPECT_FALSE(FileExists(dir_.File("target")));
}

// --site-mode shows or records the site's mode in Util.conf, as a mode word writes it, and
// touches no device.
TEST_F(DriverTest, SiteModeIsRecordedWithoutTouchingAController) {
  vusb::AddPctCurrent();
  struct Case {
    std::vector<std::string> args;
    const char *utilBefore; // null: none
    int status;
    const char *out;
    const char *utilAfter; // null: none
  };
  const char *mouse = "[SETUP]\nPOSMODE=2\n";
  const Case kCases[] = {
      {{"--site-mode"}, nullptr, 0, "no site mode\n", nullptr},
      {{"--site-mode"}, mouse, 0, "site mode 2 (mouse)\n", mouse},
      {{"--site-mode", "mouse"}, nullptr, 0, "site mode 2 (mouse), recorded\n", mouse},
      {{"--site-mode", "mouse"}, mouse, 0, "site mode 2 (mouse)\n", mouse},
      {{"--site-mode", "hybrid-m"},
       mouse,
       0,
       "site mode 4 (hybrid-m), recorded\n",
       "[SETUP]\nPOSMODE=4\n"},
      {{"--site-mode", "none"}, mouse, 0, "no site mode, removed\n", nullptr},
      {{"--json", "--site-mode"}, mouse, 0, "", mouse}, // not the first argument: a run
      {{"--site-mode", "--json", "digitizer"},
       mouse,
       0,
       "{\n  \"schema\": 1,\n  \"command\": \"site-mode\",\n  \"site_mode\": {\n    \"number\": "
       "1,\n    \"name\": \"digitizer\"\n  },\n  \"changed\": true\n}\n",
       "[SETUP]\nPOSMODE=1\n"},
      {{"--site-mode", "--json"},
       nullptr,
       0,
       "{\n  \"schema\": 1,\n  \"command\": \"site-mode\",\n  \"site_mode\": null,\n  "
       "\"changed\": false\n}\n",
       nullptr},
      {{"--site-mode", "2"}, mouse, 2, "", mouse},
      {{"--site-mode", "mouse", "mouse"}, nullptr, 2, "", nullptr},
      {{"--site-mode", "--device", "1-1"}, nullptr, 2, "", nullptr},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(Quoted(c.args));
    unlink(dir_.File("Util.conf").c_str());
    if (c.utilBefore != nullptr)
      WriteBytes(dir_.File("Util.conf"), c.utilBefore);
    vusb::ReEnumerate();
    vusb::ClearLog();
    RunResult r = RunPanelcfg(dir_, c.args);
    if (c.args[0] == "--json") {
      EXPECT_EQ(1, r.status); // the run without a word handled the controller
      continue;
    }
    EXPECT_EQ(c.status, r.status);
    EXPECT_EQ(c.out, r.out);
    EXPECT_TRUE(vusb::Log().empty());
    if (c.utilAfter == nullptr)
      EXPECT_FALSE(FileExists(dir_.File("Util.conf")));
    else
      EXPECT_EQ(c.utilAfter, ReadBytes(dir_.File("Util.conf")));
  }
  // A Util.conf that cannot be read is said so, and not replaced.
  unlink(dir_.File("Util.conf").c_str());
  ASSERT_EQ(0, mkfifo(dir_.File("Util.conf").c_str(), 0600));
  RunResult r = RunPanelcfg(dir_, {"--site-mode", "mouse"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("EE:cannot read " + dir_.Path() + "/Util.conf: not a regular file\n", r.out);
}

// A command that did not get the run lock ends as it says: a JSON report with a document, the
// hotplug handler with its one line, a run with status 0; the simulator ends the same way.
TEST_F(DriverTest, CommandsThatDidNotGetTheLock) {
  struct Case {
    std::vector<std::string> args;
    RunLockResult why;
    int status;
    const char *out;
  };
  const Case kCases[] = {
      {{"--mouse"}, RUNLOCK_TIMED_OUT, 0, ""},
      {{"--status"}, RUNLOCK_TIMED_OUT, 1, ""},
      {{"--device", "1-1", "--status", "--json"},
       RUNLOCK_TIMED_OUT,
       1,
       "{\n  \"schema\": 1,\n  \"command\": \"status\",\n  \"error\": {\n    \"code\": "
       "\"lock-timeout\",\n    \"text\": \"another panelcfg run held the run lock too long; "
       "nothing read\"\n  }\n}\n"},
      {{"--status", "--json"},
       RUNLOCK_REFUSED,
       1,
       "{\n  \"schema\": 1,\n  \"command\": \"status\",\n  \"error\": {\n    \"code\": "
       "\"lock-refused\",\n    \"text\": \"the run lock cannot be taken; nothing read\"\n  }\n}\n"},
      {{"--hotplug", "1-1"},
       RUNLOCK_TIMED_OUT,
       1,
       "<3>panelcfg: hotplug 1-1: another run held the lock too long, nothing done\n"},
      {{"--hotplug", "1-1"},
       RUNLOCK_REFUSED,
       1,
       "<3>panelcfg: hotplug 1-1: the run lock cannot be taken, nothing done\n"},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(Quoted(c.args));
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), "panelcfg");
    std::vector<char *> argv;
    for (std::string &a : args)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    int status = -1;
    // The hotplug handler takes its lock itself, and ends with its own line.
    Output o = Captured([&] {
      status = args[1] == "--hotplug"
                   ? HotplugLockNotTaken(argv[2], c.why)
                   : LockNotTaken(static_cast<int>(args.size()), argv.data(), c.why);
    });
    EXPECT_EQ(c.status, status);
    EXPECT_EQ(c.out, o.out);
  }
}

// A run that holds the lock frees it when it ends, whichever way it ends; --list and --help never
// take it.
TEST_F(DriverTest, RunsHoldTheLockUntilTheirEnd) {
  const std::string lock = dir_.File("run.lock");
  auto run = [&](std::vector<std::string> args) {
    args.insert(args.begin(), "panelcfg");
    std::vector<char *> argv;
    for (std::string &a : args)
      argv.push_back(a.data());
    RunResult r;
    Output o = Captured([&] {
      r.status = PanelcfgMain(static_cast<int>(args.size()), argv.data(), dir_.Path().c_str(),
                              lock.c_str());
    });
    r.out = o.out;
    return r;
  };
  vusb::AddPctCurrent();
  EXPECT_EQ(1, run({"getpos"}).status);
  EXPECT_EQ("", ReadBytes(lock)); // released
  EXPECT_EQ(0, run({"setpos", "9"}).status);
  EXPECT_EQ("", ReadBytes(lock));
  ASSERT_EQ(0, unlink(lock.c_str()));
  EXPECT_EQ(0, run({"--list"}).status);
  EXPECT_EQ(0, run({"--help"}).status);
  EXPECT_FALSE(FileExists(lock));
}

// --recover resets the controllers left without a driver, writes no file and counts them.
TEST_F(DriverTest, RecoverResetsControllersWithoutADriverAndWritesNothing) {
  vusb::DeviceSpec spec = vusb::PctCurrentSpec();
  spec.driver = "";
  const int lost = vusb::AddDevice(spec);
  const int fine = vusb::AddPctCurrent();
  RunResult r = RunPanelcfg(dir_, {"--recover", "x", "not"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("II:reset bus 001 device 002: 2575:8753 PCT, which had no kernel driver\n"
            "II:Controllers reset:1\n",
            r.out);
  EXPECT_EQ(1, vusb::Dev(lost).resets);
  EXPECT_EQ(0, vusb::Dev(fine).resets);
  EXPECT_TRUE(vusb::SetReports(fine).empty());
  EXPECT_TRUE(dir_.Entries().empty());
}

// A user who is not root is told first what the run needs; the run goes on as before.
TEST_F(DriverTest, UserWhoIsNotRootIsToldFirst) {
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root to become another user";
  ScratchDir dir;
  ASSERT_EQ(0, chmod(dir.Path().c_str(), 0755));
  int err[2];
  ASSERT_EQ(0, pipe(err));
  fflush(stdout);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    dup2(err[1], 2);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    if (setgid(65534) != 0 || setuid(65534) != 0)
      _exit(99);
    char name[] = "panelcfg";
    char *argv[] = {name, nullptr};
    _exit(PanelcfgMain(1, argv, dir.Path().c_str(), nullptr, true));
  }
  close(err[1]);
  std::string text;
  char buf[256];
  ssize_t n;
  while ((n = read(err[0], buf, sizeof buf)) > 0)
    text.append(buf, static_cast<size_t>(n));
  close(err[0]);
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
  EXPECT_EQ("panelcfg: not running as root: panelcfg must run as root to take USB interfaces "
            "from their kernel driver and to write /opt/.touch_panel/\n",
            text);
  // Root, or a word that touches nothing, is not told.
  char name[] = "panelcfg";
  char version[] = "--version";
  char *argv[] = {name, version, nullptr};
  Output o = Captured([&] { PanelcfgMain(2, argv, dir.Path().c_str(), nullptr, true); });
  EXPECT_EQ("", o.err);
  char *none[] = {name, nullptr};
  o = Captured([&] { PanelcfgMain(1, none, dir.Path().c_str(), nullptr, true); });
  EXPECT_EQ("", o.err);
}

} // namespace

// --device SPEC: the run, --list, --status and --recover handle that one device; the others are
// not even opened, and the list files keep the panels they named.
TEST_F(DriverTest, OneDeviceRunsTouchOnlyThatDevice) {
  const int first = vusb::AddPctCurrent();
  const int chosen = vusb::AddDevice(vusb::PctLegacySpec());
  const int plain = vusb::AddPlain(0x046d, 0xc077);
  // bus 001: device 002 "1-1" (/dev/hidraw0), device 003 "1-2" (/dev/hidraw1), device 004.
  // --device counts wherever it stands, and the words see the positions they would without it.
  const std::string s = "1-2";
  const std::vector<std::vector<std::string>> kLines = {
      {"--device", "001:003", "--mouse"},      {"--device", "1:3", "--mouse"},
      {"--device", "1-2", "--mouse"},          {"--device", "hidraw1", "--mouse"},
      {"--mouse", "--device", "/dev/hidraw1"}, {"--mouse", "x", "--device", s, "not"},
      {"--mouse", "x", "not", "--device=1-2"}};
  for (const std::vector<std::string> &line : kLines) {
    SCOPED_TRACE(Quoted(line));
    vusb::ReEnumerate();
    vusb::ClearLog();
    WriteBytes(dir_.File("manuflist.conf"), "Other Maker\tOther Panel\r\n");
    WriteBytes(dir_.File(".pctdevid.conf"), "1111:2222\r\n22b9:0040\r\n");
    RunResult r = RunPanelcfg(dir_, line);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("", r.err);
    EXPECT_TRUE(vusb::Calls(first).empty());
    EXPECT_TRUE(vusb::Calls(plain).empty());
    EXPECT_FALSE(vusb::SetReports(chosen).empty());
    EXPECT_EQ(2, vusb::Dev(chosen).PosMode());
    EXPECT_EQ(1, vusb::Dev(first).PosMode());
    const vusb::Device &c = vusb::Dev(chosen);
    // Rows of other panels are kept byte for byte, but for a CR LF line end; none twice.
    EXPECT_EQ("Other Maker\tOther Panel\n" + c.strings.at(1) + " " + c.strings.at(2) + "\n",
              ReadBytes(dir_.File("manuflist.conf")));
    EXPECT_EQ("1111:2222\n22b9:0040\n", ReadBytes(dir_.File(".pctdevid.conf")));
    // The site's mode is the machine's: a run on one device leaves Util.conf to --site-mode.
    EXPECT_FALSE(FileExists(dir_.File("Util.conf")));
  }
  vusb::ReEnumerate();
  vusb::ClearLog();
  RunResult list = RunPanelcfg(dir_, {"--device", "1-1", "--list"});
  EXPECT_EQ(0, list.status);
  EXPECT_EQ("bus 001 device 002: 2575:8753 PCT, manufacturer \"Tessel Panels\", product "
            "\"TP8753 Multi-Touch\"\n",
            list.out);
  EXPECT_TRUE(vusb::Calls(chosen).empty());
  RunResult status = RunPanelcfg(dir_, {"--device", "1:2", "--status"});
  EXPECT_EQ(0, status.status);
  EXPECT_EQ(0u, status.out.rfind("bus 001 device 002: 2575:8753 PCT current generation", 0));
  EXPECT_EQ(1, std::count(status.out.begin(), status.out.end(), '\n'));
  EXPECT_TRUE(vusb::Calls(chosen).empty());
  EXPECT_TRUE(vusb::Calls(plain).empty());
  RunResult recover = RunPanelcfg(dir_, {"--device", "1:2", "--recover"});
  EXPECT_EQ(0, recover.status);
  EXPECT_EQ("II:Controllers reset:0\n", recover.out);
  EXPECT_TRUE(vusb::Calls(chosen).empty());
}

TEST_F(DriverTest, DeviceWithoutAKnownDeviceIsBadUsage) {
  vusb::AddPctCurrent();
  struct Case {
    std::vector<std::string> args;
    const char *err;
  };
  const Case kCases[] = {
      {{"--device"},
       "panelcfg: --device needs a device: BUS:DEV, the kernel's name of a USB device or a "
       "hidraw node\nTry 'panelcfg --help'.\n"},
      {{"--device", "1:9", "--mouse"}, "panelcfg: --device 1:9: no such USB device\n"},
      {{"--device", "3-1", "--list"}, "panelcfg: --device 3-1: no such USB device\n"},
      {{"--device", "hidraw7", "--status"}, "panelcfg: --device hidraw7: no such USB device\n"},
      {{"--device", "1:x"},
       "panelcfg: --device takes BUS:DEV, the kernel's name of a USB device or a hidraw node, "
       "not \"1:x\"\n"},
      {{"--device", "--mouse"},
       "panelcfg: --device takes BUS:DEV, the kernel's name of a USB device or a hidraw node, "
       "not \"--mouse\"\n"},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(Quoted(c.args));
    vusb::ClearLog();
    RunResult r = RunPanelcfg(dir_, c.args);
    EXPECT_EQ(2, r.status);
    EXPECT_EQ(c.err, r.err);
    EXPECT_TRUE(vusb::SetReports().empty());
    EXPECT_TRUE(dir_.Entries().empty());
  }
}
