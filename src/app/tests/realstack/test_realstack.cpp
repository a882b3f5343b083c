// The panelcfg binary on the system's libusb 0.1, its USB device nodes emulated by umockdev and
// answered by the virtual bus's controllers; each scenario also runs in this process on the
// virtual bus, and the two runs must agree: exit status, output, files, what reached every
// controller and the state it was left in.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <type_traits>
#include <vector>

#include "base/state.h"
#include "pct/params.h"
#include "private_opt.h"
#include "run/driver.h"
#include "scan/devtable.h"
#include "scratch_dir.h"
#include "support/support.h"
#include "usbfs_bed.h"
#include "vusb.h"

#ifndef PANELCFG_BINARY
#error "PANELCFG_BINARY must name the panelcfg binary under test"
#endif

namespace {

using realstack::ChildRun;
using realstack::UsbfsBed;

// What one run of the utility left behind.
struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
  std::map<std::string, std::string> files;    // the panel directory, the run's inputs left out
  std::string state;                           // every controller's state
  std::vector<std::vector<std::string>> calls; // per device: bus calls and feature reports
  std::vector<vusb::Device> devices;           // per device: as the run left it
  // Real stack only, per device: the requests its node received, and how often it was opened.
  std::vector<std::vector<std::string>> wire;
  std::vector<int> nodeOpens;
};

std::map<std::string, std::string> PanelFiles(const ScratchDir &dir) {
  std::map<std::string, std::string> files;
  for (const std::string &name : dir.Entries())
    if (name != "options.ini" && name != "enabledebug")
      files[name] = ReadBytes(dir.File(name));
  return files;
}

// The bus's view of the run. The caller keeps the handlers of a testbed out.
void CollectBus(Outcome &o) {
  o.state = vusb::SaveStateText();
  for (int id = 0; id < vusb::DeviceCount(); id++) {
    std::vector<std::string> calls;
    for (const vusb::Entry &e : vusb::Log())
      if (e.device == id && e.kind != vusb::Kind::Wait)
        calls.push_back(vusb::Describe(e));
    o.calls.push_back(calls);
    o.devices.push_back(vusb::Dev(id));
  }
}

// The stored form of a valid device identity block: home IDs, firmware revision, serial.
vusb::Bytes IdentityBlock(int vid, int pid, int fwRev) {
  unsigned char plain[32] = {};
  plain[0] = static_cast<unsigned char>(vid >> 8);
  plain[1] = static_cast<unsigned char>(vid);
  plain[2] = static_cast<unsigned char>(pid >> 8);
  plain[3] = static_cast<unsigned char>(pid);
  plain[4] = static_cast<unsigned char>(fwRev >> 8);
  plain[5] = static_cast<unsigned char>(fwRev);
  const unsigned char serial[8] = {0x5A, 0x17, 0xC3, 0x08, 0x91, 0x2E, 0x64, 0xB0};
  memcpy(plain + 12, serial, sizeof serial);
  unsigned char encoded[64] = {};
  EncodeData(plain, encoded, 0, 32);
  const unsigned short sum = CheckSum(encoded, 32);
  vusb::Bytes stored(encoded, encoded + 32);
  stored.push_back(static_cast<uint8_t>(sum & 0xFF));
  stored.push_back(static_cast<uint8_t>(sum >> 8));
  return stored;
}

// Requests on a node other than control transfers of feature reports.
std::vector<std::string> NonReportRequests(const std::vector<std::string> &wire) {
  std::vector<std::string> out;
  for (const std::string &w : wire)
    if (w.rfind("CONTROL ", 0) != 0)
      out.push_back(w);
  return out;
}

// The last n lines, or all of them when there are fewer (a run that did less than expected then
// fails its comparison instead of reading before the start).
std::vector<std::string> Tail(const std::vector<std::string> &lines, size_t n) {
  return {lines.end() - static_cast<std::ptrdiff_t>(std::min(n, lines.size())), lines.end()};
}

// The first line that pred accepts, "" when none does.
std::string FirstMatch(const std::vector<std::string> &lines,
                       const std::function<bool(const std::string &)> &pred) {
  const auto it = std::find_if(lines.begin(), lines.end(), pred);
  return it == lines.end() ? std::string() : *it;
}

// Feature reports sent to and fetched from a device ("set ..." and "get ..." calls).
std::vector<std::string> Reports(const std::vector<std::string> &calls) {
  std::vector<std::string> out;
  for (const std::string &c : calls)
    if (c.rfind("set ", 0) == 0 || c.rfind("get ", 0) == 0)
      out.push_back(c);
  return out;
}

// A bus, the words of one or more runs in order, and the panel directory's inputs.
struct Scenario {
  Scenario(std::function<void()> d, std::vector<std::vector<std::string>> r, std::string o = "",
           bool dbg = false)
      : devices(std::move(d)), runs(std::move(r)), options(std::move(o)), debug(dbg) {}
  std::function<void()> devices;
  std::vector<std::vector<std::string>> runs;
  std::string options; // options.ini, none when empty
  bool debug;          // the debug marker
};

// The outcomes of a scenario's runs on each stack.
struct Runs {
  std::vector<Outcome> virt;
  std::vector<Outcome> real;
};

class RealStackTest : public RunStateTest {
protected:
  void SetUp() override {
    RunStateTest::SetUp();
    cMyHidInfo = MYHIDINFO{};
    vusb::Reset();
  }
  void TearDown() override {
    vusb::Reset();
    cMyHidInfo = MYHIDINFO{};
    RunStateTest::TearDown();
  }

  // Runs the scenario on the virtual bus and then, from the same start, on the real stack.
  // False when the real stack could not run: skipReason_ tells why when this machine cannot
  // host it, otherwise a failure has been recorded.
  bool RunBoth(const Scenario &s, Runs &runs) {
    Prepare(s);
    for (const std::vector<std::string> &args : s.runs)
      runs.virt.push_back(RunVirtual(args));
    Prepare(s);
    for (const std::vector<std::string> &args : s.runs) {
      Outcome o;
      if (!RunReal(args, o))
        return false;
      runs.real.push_back(o);
    }
    return true;
  }

  // A fresh bus with the scenario's devices and a fresh panel directory.
  void Prepare(const Scenario &s) {
    vusb::Reset();
    s.devices();
    for (const std::string &name : dir_.Entries())
      std::filesystem::remove_all(dir_.File(name));
    if (!s.options.empty())
      WriteBytes(dir_.File("options.ini"), s.options);
    if (s.debug)
      WriteBytes(dir_.File("enabledebug"), "");
  }

  // One run of the utility in this process, on the virtual bus.
  Outcome RunVirtual(std::vector<std::string> args) {
    InitRunState();
    ClearRegistries();
    cMyHidInfo = MYHIDINFO{};
    vusb::ClearLog();
    args.insert(args.begin(), "panelcfg");
    std::vector<char *> argv;
    for (std::string &a : args)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    Outcome o;
    o.status = PanelcfgMain(static_cast<int>(args.size()), argv.data(), dir_.Path().c_str());
    o.err = testing::internal::GetCapturedStderr();
    o.out = testing::internal::GetCapturedStdout();
    o.files = PanelFiles(dir_);
    CollectBus(o);
    return o;
  }

  // One run of the panelcfg binary on the system's libusb, its device nodes answered by the
  // virtual bus, the panel directory mounted as given. False when it could not run (see
  // RunBoth).
  bool RunReal(const std::vector<std::string> &args, Outcome &o,
               realstack::PanelMount mount = realstack::PanelMount::Bound) {
    // The enumeration the utility starts with on the virtual bus.
    vusb::ReEnumerate();
    vusb::ClearLog();
    UsbfsBed bed;
    if (!bed.Error().empty()) {
      ADD_FAILURE() << "testbed: " << bed.Error();
      return false;
    }
    std::vector<std::string> env = bed.Environment();
    // A sanitizer runtime need not come first when umockdev's library is preloaded.
    const char *asan = getenv("ASAN_OPTIONS");
    env.push_back(std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") +
                  (asan != nullptr && *asan != '\0' ? ":" : "") + "verify_asan_link_order=0");
    ScratchDir work;
    ChildRun run =
        realstack::RunWithPrivateOpt(Binary(), args, env, dir_.Path(), work.Path(), mount);
    if (run.outcome == ChildRun::Outcome::Unavailable) {
      skipReason_ = run.why;
      return false;
    }
    if (run.outcome != ChildRun::Outcome::Ran) {
      ADD_FAILURE() << run.why;
      return false;
    }
    bed.ProcessEnded();
    auto lock = bed.Lock();
    o.status = run.status;
    o.out = run.out;
    o.err = run.err;
    o.files = PanelFiles(dir_);
    CollectBus(o);
    for (int id = 0; id < vusb::DeviceCount(); id++) {
      o.wire.push_back(bed.Wire(id));
      o.nodeOpens.push_back(bed.Opens(id));
    }
    return true;
  }

  static std::string Binary() {
    const char *override = getenv("PANELCFG_REALSTACK_BINARY");
    return override != nullptr && *override != '\0' ? override : PANELCFG_BINARY;
  }

  ScratchDir dir_;
  std::string skipReason_;
};

// The two stacks agree on everything a run shows and leaves.
void ExpectSameRun(const Outcome &virt, const Outcome &real) {
  EXPECT_EQ(virt.status, real.status);
  EXPECT_EQ(virt.out, real.out);
  EXPECT_EQ(virt.err, real.err);
  EXPECT_EQ(virt.files, real.files);
  EXPECT_EQ(virt.state, real.state);
  EXPECT_EQ(virt.calls, real.calls);
  ASSERT_EQ(virt.devices.size(), real.devices.size());
  for (size_t i = 0; i < virt.devices.size(); i++) {
    SCOPED_TRACE("device " + std::to_string(i));
    const vusb::Device &v = virt.devices[i];
    const vusb::Device &r = real.devices[i];
    EXPECT_EQ(v.opens, r.opens);
    EXPECT_EQ(v.resets, r.resets);
    EXPECT_EQ(v.boundDriver, r.boundDriver);
    EXPECT_EQ(v.configuration, r.configuration);
    EXPECT_EQ(v.claimedInterface, r.claimedInterface);
    EXPECT_EQ(v.openHandles, r.openHandles);
    EXPECT_EQ(v.deviceMode, r.deviceMode);
  }
}

void ExpectSameRuns(const Runs &runs) {
  ASSERT_EQ(runs.virt.size(), runs.real.size());
  for (size_t i = 0; i < runs.virt.size(); i++) {
    SCOPED_TRACE("run " + std::to_string(i + 1));
    ExpectSameRun(runs.virt[i], runs.real[i]);
  }
}

// ---------------------------------------------------------------------------------------------

void CurrentControllerInDigitizerMode() {
  vusb::DeviceSpec spec = vusb::PctCurrentSpec();
  spec.params = IdentityBlock(0x2575, 0x8753, 0x170);
  vusb::AddDevice(spec);
}

TEST_F(RealStackTest, MouseSwitchOfACurrentController) {
  Runs runs;
  if (!RunBoth({CurrentControllerInDigitizerMode, {{"--mouse"}, {"getpos"}}}, runs))
    GTEST_SKIP() << skipReason_;
  ExpectSameRuns(runs);
  const Outcome &real = runs.real.at(0);

  EXPECT_EQ(1, real.status);
  EXPECT_EQ("II:Firmware Version:S1.2.04(r368) ChipID:8\nII:check pass\nII:Set to mouse\n"
            "II:PCT Devices:1\n",
            real.out);
  EXPECT_EQ("", real.err);
  const std::map<std::string, std::string> files = {
      {"Util.conf", "[SETUP]\nPOSMODE=2\n"},
      {"manuflist.conf", "Tessel Panels TP8753 Multi-Touch\n"},
      {".prodlist.conf", "TP8753 Multi-Touch\n"},
      {".pctdevid.conf", "2575:8753\n"},
  };
  EXPECT_EQ(files, real.files);

  // The new USB IDs, then the stored mode 0x21 with its read-back, then the resets.
  const std::vector<std::string> reports = Reports(real.calls[0]);
  const std::vector<std::string> tail = Tail(reports, 10);
  EXPECT_EQ((std::vector<std::string>{
                "set 06 a2 10 /8",
                "get 07 /64",
                "set f3 08 00 02 00 00 75 25 69 99 /64",
                "set 06 a2 10 /8",
                "get 07 /64",
                "set 08 84 c9 00 21 /64",
                "set 06 a2 10 /8",
                "get 07 00 00 00 00 00 00 00 00 01 /64",
                "set 08 84 09 /64",
                "set 08 84 09 /64",
            }),
            tail);
  const vusb::Device &after = real.devices[0];
  EXPECT_EQ(0x21u, after.storedPosMode);
  EXPECT_EQ(2, after.resets);
  EXPECT_TRUE(after.pendingIds);
  EXPECT_TRUE(after.idsAfterReset);
  EXPECT_EQ(0x2575, after.pendingVid);
  EXPECT_EQ(0x9969, after.pendingPid);

  // What libusb asked of the node: enumeration, the language table before every string, the
  // take-over, the feature reports (all with libusb's own 5 s time-out) and the release.
  const std::vector<std::string> expected = {
      "CONNECTINFO = 2",
      "PORTINFO 0 = ENOTTY",
      "STRING 0 lang 0000 /255 t1000 = 4",
      "STRING 2 lang 0409 /255 t1000 = 38",
      "STRING 0 lang 0000 /255 t1000 = 4",
      "STRING 1 lang 0409 /255 t1000 = 28",
      "GETDRIVER 0 = usbhid",
      "DISCONNECT 0 = 0",
      "SETCONFIGURATION 1 = 0",
      "CLAIMINTERFACE 0 = 0",
      "SETINTERFACE 0/0 = 0",
      "STRING 0 lang 0000 /255 t1000 = 4",
      "STRING 60 lang 0409 /255 t1000 = 34",
      "RELEASEINTERFACE 0 = 0",
  };
  EXPECT_EQ(expected, NonReportRequests(real.wire[0]));
  const std::vector<std::string> &wire = real.wire[0];
  EXPECT_EQ("CONTROL a1 01 03f2 0000 /32 t5000 = 32",
            FirstMatch(wire, [](const std::string &w) { return w.rfind("CONTROL", 0) == 0; }));
  EXPECT_EQ("CONTROL 21 09 03f3 0000 /64 t5000 = 64",
            FirstMatch(wire, [](const std::string &w) { return w.find(" 03f3 ") != w.npos; }));
  EXPECT_EQ(3, real.nodeOpens[0]); // enumeration twice, the utility once

  // The next run finds the controller under its mouse product ID, in mouse mode.
  const Outcome &next = runs.real.at(1);
  EXPECT_EQ(1, next.status);
  EXPECT_EQ("II:Firmware Version:S1.2.04(r368) ChipID:8\npos mode=2\nII:PCT Devices:1\n", next.out);
  EXPECT_EQ("CONNECTINFO = 3", next.wire[0].at(0));
  EXPECT_EQ(0x9969, next.devices[0].pid);
}

TEST_F(RealStackTest, AnErasedIdentityBlockIsWrittenWithTheHomeIds) {
  Runs runs;
  if (!RunBoth({[] { vusb::AddPctCurrent(); }, {{"--mouse"}}}, runs))
    GTEST_SKIP() << skipReason_;
  // The serial number is random: the block differs between the stacks, the rest must not.
  for (Outcome *o : {&runs.virt[0], &runs.real[0]}) {
    const vusb::Bytes stored = o->devices[0].Params(34);
    unsigned char plain[32] = {};
    DecodeData(stored.data(), plain);
    EXPECT_EQ(CheckSum(stored.data(), 32), stored[32] | stored[33] << 8);
    EXPECT_EQ((std::vector<unsigned char>{0x25, 0x75, 0x87, 0x53, 0x01, 0x70}),
              std::vector<unsigned char>(plain, plain + 6));
    o->state.clear();
    o->devices[0].params.clear();
    for (std::string &c : o->calls[0])
      if (c.rfind("set 08 a8 22 ", 0) == 0 || c.rfind("get 07 00 00 00 00 00 00 00 ", 0) == 0)
        c = c.substr(0, 13);
  }
  ExpectSameRuns(runs);
  EXPECT_EQ(1, runs.real[0].status);
  EXPECT_EQ(1, std::count_if(runs.real[0].calls[0].begin(), runs.real[0].calls[0].end(),
                             [](const std::string &c) { return c == "set 08 a8 22 "; }));
}

TEST_F(RealStackTest, LegacyControllerSwitchesInCommandMode) {
  auto legacy = [] {
    vusb::DeviceSpec spec = vusb::PctLegacySpec();
    spec.params = IdentityBlock(0x22B9, 0x0040, 0x145);
    spec.outsideCmdMode = vusb::OutsideCmdMode::Stall;
    vusb::AddDevice(spec);
  };
  Runs runs;
  if (!RunBoth({legacy, {{"--mouse"}}}, runs))
    GTEST_SKIP() << skipReason_;
  ExpectSameRuns(runs);
  const Outcome &real = runs.real[0];

  EXPECT_EQ(1, real.status);
  EXPECT_EQ("II:Firmware Version:S3.0.12(r325) ChipID:10\nII:check pass\nII:PCT Devices:1\n",
            real.out);
  EXPECT_EQ("", real.err);
  EXPECT_EQ("22b9:0040\n", real.files.at(".pctdevid.conf"));
  EXPECT_EQ("[SETUP]\nPOSMODE=2\n", real.files.at("Util.conf"));
  const vusb::Device &after = real.devices[0];
  EXPECT_EQ(0x21u, after.storedPosMode);
  EXPECT_EQ(2, after.resets);
  EXPECT_EQ(0x01, after.deviceMode);
  EXPECT_FALSE(after.pendingIds);

  // The position-mode write and both resets, each inside command mode (a controller that
  // stalls configuration commands outside it would have failed the transfer).
  const std::vector<std::string> reports = Reports(real.calls[0]);
  const std::string enter = "set 08 91 02 00 82 90 /6";
  const std::string leave = "set 08 91 02 00 82 01 /6";
  for (const std::string cmd : {"set 08 91 05 00 c9 21 /64", "set 08 85 01 00 02 /64"}) {
    SCOPED_TRACE(cmd);
    auto at = std::find(reports.begin(), reports.end(), cmd);
    ASSERT_NE(reports.end(), at);
    auto lastEnter = std::find(std::make_reverse_iterator(at), reports.rend(), enter);
    auto lastLeave = std::find(std::make_reverse_iterator(at), reports.rend(), leave);
    EXPECT_LT(lastEnter - reports.rbegin(), lastLeave - reports.rbegin());
  }
  EXPECT_EQ(2, std::count(reports.begin(), reports.end(), "set 08 85 01 00 02 /64"));
  for (const std::string &r : reports)
    EXPECT_EQ(std::string::npos, r.find("= ")) << "failed transfer: " << r;
  EXPECT_EQ(0, std::count_if(reports.begin(), reports.end(),
                             [](const std::string &r) { return r.rfind("set f3", 0) == 0; }));
}

TEST_F(RealStackTest, ResistiveControllerHasItsRotationReset) {
  auto resistive = [] {
    vusb::DeviceSpec spec = vusb::ResistiveSpec();
    spec.rotation = 3;
    vusb::AddDevice(spec);
  };
  Runs runs;
  if (!RunBoth({resistive, {{}, {"--rotation"}}, "[options]\nres=1\n"}, runs))
    GTEST_SKIP() << skipReason_;
  ExpectSameRuns(runs);

  const Outcome &real = runs.real[0];
  EXPECT_EQ(0, real.status);
  EXPECT_EQ("II:Firmware Version:V2.9\nRes Rotation:3\nII:PCT Devices:0\n", real.out);
  EXPECT_EQ("", real.err);
  const std::map<std::string, std::string> files = {
      {"rmanuflist.conf", "Orrin Devices RT-4W Resistive Touch\n"},
      {".rprodlist.conf", "RT-4W Resistive Touch\n"},
      {".resdevid.conf", "1234:8888\n"},
  };
  EXPECT_EQ(files, real.files);
  EXPECT_EQ((std::vector<std::string>{
                "set 01 04 01 4f 49 0d /6",
                "get 01 06 01 56 32 2e 39 0d /20",
                "set 01 06 01 47 50 34 33 0d /8",
                "get 01 06 01 30 30 30 33 0d /10",
                "set 01 0a 01 53 50 34 33 30 30 30 30 0d /12",
                "get 01 03 01 30 0d /10",
                "set 01 04 01 50 4c 0d /6",
                "get 01 03 01 30 0d /10",
                "set 01 04 01 52 52 0d /6",
            }),
            Reports(real.calls[0]));
  EXPECT_EQ(0, real.devices[0].rotation);

  const Outcome &rotation = runs.real[1];
  EXPECT_EQ(0, rotation.status);
  EXPECT_EQ("Res Rotation:1\nII:PCT Devices:0\n", rotation.out);
  EXPECT_EQ(1, rotation.devices[0].rotation);
  EXPECT_EQ("set 01 0a 01 53 50 34 33 30 30 30 31 0d /12", Reports(rotation.calls[0]).at(0));
}

TEST_F(RealStackTest, InterfaceWithoutKernelDriverIsNotTakenOver) {
  auto driverless = [] {
    vusb::DeviceSpec spec = vusb::PctCurrentSpec();
    spec.params = IdentityBlock(0x2575, 0x8753, 0x170);
    spec.driver = "";
    vusb::AddDevice(spec);
  };
  Runs runs;
  if (!RunBoth({driverless, {{"--mouse"}}}, runs))
    GTEST_SKIP() << skipReason_;
  ExpectSameRuns(runs);
  const Outcome &real = runs.real[0];

  EXPECT_EQ(0, real.status);
  EXPECT_EQ("II:PCT Devices:0\n", real.out);
  EXPECT_EQ("Unable to get device driver name: No data available\n"
            "panelcfg: no kernel driver is bound to this controller (a run was stopped while it "
            "held it?); panelcfg --recover resets it\n",
            real.err);
  EXPECT_EQ((std::map<std::string, std::string>{{"Util.conf", "[SETUP]\nPOSMODE=2\n"}}),
            real.files);
  EXPECT_TRUE(Reports(real.calls[0]).empty());
  EXPECT_EQ((std::vector<std::string>{
                "GETDRIVER 0 = ENODATA",
                "RELEASEINTERFACE 0 = EINVAL",
            }),
            Tail(real.wire[0], 2));
  EXPECT_EQ(0, real.devices[0].resets);
  EXPECT_EQ(0x20u, real.devices[0].storedPosMode);
}

// --recover claims a controller that has no driver without a detach and sends it only the
// generation read and its reset; a controller with its driver bound is left alone.
TEST_F(RealStackTest, RecoverResetsOnlyTheControllerWithoutADriver) {
  auto bus = [] {
    vusb::DeviceSpec spec = vusb::PctCurrentSpec();
    spec.driver = "";
    vusb::AddDevice(spec);
    vusb::AddPctCurrent();
  };
  Runs runs;
  if (!RunBoth({bus, {{"--recover"}}}, runs))
    GTEST_SKIP() << skipReason_;
  ExpectSameRuns(runs);
  const Outcome &real = runs.real[0];

  EXPECT_EQ(1, real.status);
  EXPECT_EQ("II:reset bus 001 device 002: 2575:8753 PCT, which had no kernel driver\n"
            "II:Controllers reset:1\n",
            real.out);
  EXPECT_EQ("", real.err);
  EXPECT_TRUE(real.files.empty());
  EXPECT_EQ((std::vector<std::string>{"get f2 70 81 04 12 /32", "set 08 84 09 /64"}),
            Reports(real.calls[0]));
  // libusb asks the node for its connection and port on opening; then no detach.
  EXPECT_EQ(
      (std::vector<std::string>{"CONNECTINFO = 2", "PORTINFO 0 = ENOTTY", "GETDRIVER 0 = ENODATA",
                                "CLAIMINTERFACE 0 = 0", "RELEASEINTERFACE 0 = 0"}),
      NonReportRequests(real.wire[0]));
  EXPECT_EQ(1, real.devices[0].resets);
  EXPECT_TRUE(Reports(real.calls[1]).empty());
  EXPECT_EQ(
      (std::vector<std::string>{"CONNECTINFO = 3", "PORTINFO 0 = ENOTTY", "GETDRIVER 0 = usbhid"}),
      NonReportRequests(real.wire[1]));
  EXPECT_EQ(0, real.devices[1].resets);
}

TEST_F(RealStackTest, BusyInterfaceIsNotTakenOver) {
  auto busy = [] {
    vusb::DeviceSpec spec = vusb::PctCurrentSpec();
    spec.params = IdentityBlock(0x2575, 0x8753, 0x170);
    spec.faults.claimErrno = EBUSY;
    vusb::AddDevice(spec);
  };
  Runs runs;
  if (!RunBoth({busy, {{"--mouse"}}}, runs))
    GTEST_SKIP() << skipReason_;
  ExpectSameRuns(runs);
  const Outcome &real = runs.real[0];

  EXPECT_EQ(0, real.status);
  EXPECT_EQ("II:PCT Devices:0\n", real.out);
  EXPECT_EQ("Unable to claim interface: Device or resource busy\n", real.err);
  EXPECT_TRUE(Reports(real.calls[0]).empty());
  EXPECT_EQ((std::vector<std::string>{
                "GETDRIVER 0 = usbhid",
                "DISCONNECT 0 = 0",
                "SETCONFIGURATION 1 = 0",
                "CLAIMINTERFACE 0 = EBUSY",
                "RELEASEINTERFACE 0 = EINVAL",
            }),
            Tail(real.wire[0], 5));
  // The kernel driver, once detached, stays detached.
  EXPECT_EQ("", real.devices[0].boundDriver);
  EXPECT_EQ(0, real.devices[0].resets);
}

TEST_F(RealStackTest, UnsupportedDeviceIsNeverOpened) {
  auto bus = [] {
    CurrentControllerInDigitizerMode();
    vusb::AddPlain(0x046D, 0xC077);
  };
  Runs runs;
  if (!RunBoth({bus, {{"getpos"}}}, runs))
    GTEST_SKIP() << skipReason_;
  ExpectSameRuns(runs);
  const Outcome &real = runs.real[0];

  EXPECT_EQ(1, real.status);
  EXPECT_EQ("II:Firmware Version:S1.2.04(r368) ChipID:8\npos mode=1\nII:PCT Devices:1\n", real.out);
  EXPECT_EQ("", real.err);
  // libusb's enumeration reads the descriptors and asks for hub ports; nothing else reaches
  // the device, and the utility never opens its node.
  EXPECT_EQ((std::vector<std::string>{"CONNECTINFO = 3", "PORTINFO 0 = ENOTTY"}), real.wire[1]);
  EXPECT_EQ(2, real.nodeOpens[1]);
  EXPECT_EQ(3, real.nodeOpens[0]);
  EXPECT_TRUE(real.calls[1].empty());
  EXPECT_EQ(0, real.devices[1].opens);
}

// Device strings come through as libusb 0.1.12 makes them of the UTF-16 descriptor: one byte per
// code unit, itself below 0x100 and '?' above. It keeps the descriptor's length byte in a plain
// char: where char is signed, a text of more than 62 code units reads as nothing at all; where
// it is unsigned, every text reads in full.
TEST_F(RealStackTest, DeviceStringsAreReadAsLibusbReadsThem) {
  constexpr bool kLongTextsRead = !std::is_signed_v<char>;
  struct Case {
    const char *name;
    std::string manufacturer;
    std::string product;
    std::string signature;
    int status;
    std::string manufList; // manuflist.conf, "" when not written
    std::string prodList;
  };
  const std::string zuzo = "zUZOVoDODeRIRArI";
  const Case cases[] = {
      {"62 characters", "M", std::string(62, 'p'), zuzo, 1,
       "M " + std::string(61, 'p') + "\n", // the name key keeps 63 characters
       std::string(62, 'p') + "\n"},
      {"63 characters", "M", std::string(63, 'p'), zuzo, 1,
       kLongTextsRead ? "M " + std::string(61, 'p') + "\n" : "M \n",
       kLongTextsRead ? std::string(63, 'p') + "\n" : "\n"},
      {"Latin-1 and beyond",
       "\xC3\x89"
       "crans \xE2\x82\xAC \xF0\x9F\x96\x90",
       "Tessel", zuzo, 1,
       "\xC9"
       "crans ? ?? Tessel\n",
       "Tessel\n"},
      {"signature in a long text", "M", "P", std::string(50, '-') + zuzo, kLongTextsRead ? 1 : 0,
       kLongTextsRead ? "M P\n" : "", kLongTextsRead ? "P\n" : ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    auto device = [&c] {
      vusb::DeviceSpec spec = vusb::PctCurrentSpec();
      spec.params = IdentityBlock(0x2575, 0x8753, 0x170);
      spec.strings[1] = c.manufacturer;
      spec.strings[2] = c.product;
      spec.strings[0x3C] = c.signature;
      vusb::AddDevice(spec);
    };
    Runs runs;
    if (!RunBoth({device, {{}}}, runs))
      GTEST_SKIP() << skipReason_;
    ExpectSameRuns(runs);
    const Outcome &real = runs.real[0];
    EXPECT_EQ(c.status, real.status);
    EXPECT_EQ("", real.err);
    if (c.manufList.empty()) {
      EXPECT_TRUE(real.files.empty());
    } else {
      EXPECT_EQ(c.manufList, real.files.at("manuflist.conf"));
      EXPECT_EQ(c.prodList, real.files.at(".prodlist.conf"));
    }
  }
}

// Error paths through the real library: what each failure returns and which errno it leaves
// for the messages. The debug traces take part in the comparison.
TEST_F(RealStackTest, FailuresAgreeOnBothStacks) {
  struct Case {
    const char *name;
    std::function<void(vusb::DeviceSpec &)> fault;
    std::vector<std::vector<std::string>> runs;
    int status; // of the first run
    std::string err;
  };
  using vusb::TransferFault;
  const Case cases[] = {
      {"firmware identity stalls once",
       [](vusb::DeviceSpec &s) {
         s.faults.transfers.push_back(
             TransferFault{.nth = 0, .request = 1, .reportId = 0xF2, .times = 1});
       },
       {{"--hybrid-m"}},
       1,
       ""},
      {"firmware identity moves nothing",
       [](vusb::DeviceSpec &s) {
         s.faults.transfers.push_back(
             TransferFault{.nth = 0, .request = 1, .reportId = 0xF2, .times = -1, .result = 0});
       },
       {{"--mouse"}},
       0,
       ""},
      {"reply times out once",
       [](vusb::DeviceSpec &s) {
         s.faults.transfers.push_back(TransferFault{
             .nth = 0, .request = 1, .reportId = 0x07, .times = 1, .result = -ETIMEDOUT});
       },
       {{"--digitizer"}},
       1,
       ""},
      {"unplugged at its fifth transfer",
       [](vusb::DeviceSpec &s) { s.faults.unplugAtTransfer = 5; },
       {{"--mouse"}},
       1,
       ""},
      {"leaves the bus after its reset",
       [](vusb::DeviceSpec &s) { s.faults.unplugOnReset = true; },
       {{"--hybrid-d"}, {"getpos"}},
       1,
       ""},
      {"product string unreadable",
       [](vusb::DeviceSpec &s) { s.faults.unreadableStrings = {2}; },
       {{}},
       1,
       "Unable to get 0x02 stringn: Broken pipe\n"},
      {"manufacturer string unreadable",
       [](vusb::DeviceSpec &s) { s.faults.unreadableStrings = {1}; },
       {{}},
       1,
       "Unable to get 0x01 string 2\n: Broken pipe\n"},
      {"no string readable",
       [](vusb::DeviceSpec &s) { s.faults.stringsUnreadable = true; },
       {{}},
       0,
       "Unable to get 0x02 stringn: Broken pipe\n"},
      {"driver cannot be named",
       [](vusb::DeviceSpec &s) { s.faults.driverErrno = EPERM; },
       {{}},
       0,
       "Unable to get device driver name: Operation not permitted\n"},
      {"driver cannot be detached",
       [](vusb::DeviceSpec &s) { s.faults.detachErrno = EPERM; },
       {{}},
       0,
       "Unable to detach kernel driver: Operation not permitted\n"},
      {"configuration refused",
       [](vusb::DeviceSpec &s) { s.faults.configErrno = EBUSY; },
       {{}},
       0,
       "Unable to set device configuration: Device or resource busy\n"},
      {"alternate setting refused",
       [](vusb::DeviceSpec &s) { s.faults.altErrno = EINVAL; },
       {{}},
       0,
       "Unable to set alternate interface: Invalid argument\n"},
      {"second interface, second configuration, alternate setting 1",
       [](vusb::DeviceSpec &s) {
         s.interfaceNumber = 1;
         s.configurationValue = 2;
         s.alternateSetting = 1;
       },
       {{"--hybrid-m"}},
       1,
       ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    auto device = [&c] {
      vusb::DeviceSpec spec = vusb::PctCurrentSpec();
      spec.params = IdentityBlock(0x2575, 0x8753, 0x170);
      c.fault(spec);
      vusb::AddDevice(spec);
    };
    Runs runs;
    if (!RunBoth({device, c.runs, "", true}, runs))
      GTEST_SKIP() << skipReason_;
    ExpectSameRuns(runs);
    EXPECT_EQ(c.status, runs.real[0].status);
    EXPECT_EQ(c.err, runs.real[0].err);
    EXPECT_NE(std::string::npos, runs.real[0].out.find("panelcfg DD:call usb_get_busses\n"));
  }
}

// Lines of a text in sorted order.
std::vector<std::string> SortedLines(const std::string &text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    lines.push_back(text.substr(start, end - start));
    start = end;
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

// libusb 0.1 lists busses and devices in the order of their directories under /dev/bus/usb, not
// by number: every device on every bus is visited on both stacks, in an order that may differ.
TEST_F(RealStackTest, DevicesOnSeveralBusesAreAllHandled) {
  auto bus = [] {
    for (int number : {3, 1}) {
      vusb::DeviceSpec pct = vusb::PctCurrentSpec();
      pct.bus = number;
      pct.params = IdentityBlock(0x2575, 0x8753, 0x170);
      pct.strings[2] = "Panel on bus " + std::to_string(number);
      vusb::AddDevice(pct);
      vusb::DeviceSpec plain = vusb::PlainSpec(0x046D, 0xC077);
      plain.bus = number;
      vusb::AddDevice(plain);
    }
    vusb::DeviceSpec res = vusb::ResistiveSpec();
    res.bus = 2;
    vusb::AddDevice(res);
  };
  Runs runs;
  if (!RunBoth({bus, {{"--hybrid-m"}}, "[options]\nres=1\n"}, runs))
    GTEST_SKIP() << skipReason_;
  Outcome &virt = runs.virt[0];
  Outcome &real = runs.real[0];

  EXPECT_EQ(2, real.status);
  EXPECT_EQ(virt.status, real.status);
  EXPECT_EQ("", real.err);
  EXPECT_EQ(SortedLines("II:Firmware Version:S1.2.04(r368) ChipID:8\nII:check pass\n"
                        "II:Set to hybrid\nII:Firmware Version:S1.2.04(r368) ChipID:8\n"
                        "II:check pass\nII:Set to hybrid\nII:Firmware Version:V2.9\n"
                        "Res Rotation:0\nII:PCT Devices:2\n"),
            SortedLines(real.out));
  EXPECT_EQ(SortedLines(virt.out), SortedLines(real.out));
  ASSERT_EQ(virt.files.size(), real.files.size());
  for (const auto &[name, text] : virt.files) {
    SCOPED_TRACE(name);
    ASSERT_EQ(1u, real.files.count(name));
    EXPECT_EQ(SortedLines(text), SortedLines(real.files.at(name)));
  }
  EXPECT_EQ(SortedLines("Tessel Panels Panel on bus 1\nTessel Panels Panel on bus 3\n"),
            SortedLines(real.files.at("manuflist.conf")));
  // Per device the runs agree exactly.
  EXPECT_EQ(virt.state, real.state);
  EXPECT_EQ(virt.calls, real.calls);
  for (int plain : {1, 3}) {
    EXPECT_EQ(2, real.nodeOpens[static_cast<size_t>(plain)]);
    EXPECT_TRUE(real.calls[static_cast<size_t>(plain)].empty());
  }
}

// On Linux, usb_open of libusb 0.1.12 never fails: a device node that cannot be opened gives a
// handle whose every request fails with EBADF. A device unplugged between enumeration and
// opening is therefore skipped with the messages of its string read and of its take-over, and
// not with the utility's own "Unable to open USB device" (which the virtual bus, failing
// usb_open, shows instead).
TEST_F(RealStackTest, DeviceThatCannotBeOpenedIsSkipped) {
  auto gone = [] {
    vusb::DeviceSpec spec = vusb::PctCurrentSpec();
    spec.params = IdentityBlock(0x2575, 0x8753, 0x170);
    spec.faults.openErrno = ENOENT;
    vusb::AddDevice(spec);
  };
  Runs runs;
  if (!RunBoth({gone, {{"--mouse"}, {"--list"}}}, runs))
    GTEST_SKIP() << skipReason_;
  const Outcome &virt = runs.virt[0];
  const Outcome &real = runs.real[0];

  EXPECT_EQ(0, real.status);
  EXPECT_EQ("II:PCT Devices:0\n", real.out);
  EXPECT_EQ("Unable to get 0x02 stringn: Bad file descriptor\n"
            "Unable to get device driver name: Bad file descriptor\n",
            real.err);
  EXPECT_EQ((std::vector<std::string>{"CONNECTINFO = 2", "PORTINFO 0 = ENOTTY"}), real.wire[0]);
  EXPECT_TRUE(real.calls[0].empty());
  EXPECT_EQ(virt.status, real.status);
  EXPECT_EQ(virt.out, real.out);
  EXPECT_EQ(virt.files, real.files);
  EXPECT_EQ(virt.state, real.state);

  // The listing cannot tell either: the strings are unreadable, "cannot be opened" never shows.
  const Outcome &listing = runs.real[1];
  EXPECT_EQ(0, listing.status);
  EXPECT_EQ("bus 001 device 002: 2575:8753 PCT, manufacturer unreadable (Bad file descriptor), "
            "product unreadable (Bad file descriptor)\n",
            listing.out);
  EXPECT_EQ("", listing.err);
}

// The listing reads strings only, on both stacks alike.
TEST_F(RealStackTest, ListingShowsEveryDeviceWithItsStrings) {
  auto bus = [] {
    CurrentControllerInDigitizerMode();
    vusb::AddPlain(0x046D, 0xC077);
    vusb::AddResistive();
  };
  Runs runs;
  if (!RunBoth({bus, {{"--list"}}, "[options]\nres=1\n"}, runs))
    GTEST_SKIP() << skipReason_;
  const Outcome &virt = runs.virt[0];
  const Outcome &real = runs.real[0];
  EXPECT_EQ(0, real.status);
  EXPECT_EQ("", real.err);
  EXPECT_EQ(SortedLines("bus 001 device 002: 2575:8753 PCT, manufacturer \"Tessel Panels\", "
                        "product \"TP8753 Multi-Touch\"\n"
                        "bus 001 device 003: 046d:c077 not supported\n"
                        "bus 001 device 004: 1234:8888 resistive, manufacturer \"Orrin Devices\", "
                        "product \"RT-4W Resistive Touch\"\n"),
            SortedLines(real.out));
  EXPECT_EQ(SortedLines(virt.out), SortedLines(real.out));
  EXPECT_TRUE(real.files.empty());
  EXPECT_EQ(virt.calls, real.calls);
  EXPECT_EQ(virt.state, real.state);
  for (size_t id = 0; id < real.wire.size(); id++) {
    SCOPED_TRACE(id);
    for (const std::string &w : NonReportRequests(real.wire[id]))
      EXPECT_TRUE(w.rfind("STRING ", 0) == 0 || w.rfind("CONNECTINFO", 0) == 0 ||
                  w.rfind("PORTINFO", 0) == 0)
          << w;
    EXPECT_TRUE(Reports(real.calls[id]).empty());
  }
}

TEST_F(RealStackTest, StatusReadsThroughTheHidrawNodeWithTheDriverBound) {
  auto bus = [] {
    CurrentControllerInDigitizerMode();
    vusb::AddPlain(0x046D, 0xC077);
    vusb::AddResistive();
    const int lost = vusb::AddPctCurrent(0x2575, 0x9969);
    vusb::Dev(lost).boundDriver.clear(); // a run was killed while it held this one
  };
  Runs runs;
  if (!RunBoth({bus, {{"--status"}, {"--mouse"}, {"--status", "--json"}}, "[options]\nres=1\n"},
               runs))
    GTEST_SKIP() << skipReason_;
  // The real library lists the devices in directory order: the same reports in another order.
  auto devicesOf = [](const std::string &out) {
    nlohmann::json devices = nlohmann::json::parse(out)["devices"];
    std::sort(devices.begin(), devices.end(), [](const nlohmann::json &a, const nlohmann::json &b) {
      return a["device"] < b["device"];
    });
    return devices;
  };
  ASSERT_EQ(runs.virt.size(), runs.real.size());
  for (size_t i = 0; i < runs.real.size(); i++) {
    SCOPED_TRACE("run " + std::to_string(i + 1));
    const Outcome &v = runs.virt[i];
    const Outcome &r = runs.real[i];
    EXPECT_EQ(v.status, r.status);
    EXPECT_EQ(v.err, r.err);
    if (i == 2)
      EXPECT_EQ(devicesOf(v.out), devicesOf(r.out));
    else
      EXPECT_EQ(SortedLines(v.out), SortedLines(r.out));
    EXPECT_EQ(v.files, r.files);
    EXPECT_EQ(v.state, r.state);
    EXPECT_EQ(v.calls, r.calls);
  }
  const Outcome &before = runs.real.at(0);
  EXPECT_EQ(1, before.status);
  EXPECT_EQ("", before.err);
  EXPECT_EQ(SortedLines("bus 001 device 002: 2575:8753 PCT current generation, firmware "
                        "S1.2.04(r368) chip 8, mode 1 (digitizer), identity valid (home "
                        "2575:8753, firmware revision 368, serial 5A17C308912E64B0)\n"
                        "bus 001 device 004: 1234:8888 resistive, firmware V2.9 (supported), "
                        "rotation 0\n"
                        "bus 001 device 005: 2575:9969 PCT unreadable: no kernel driver is bound "
                        "to this controller (a run was stopped while it held it?); panelcfg "
                        "--recover resets it\n"),
            SortedLines(before.out));
  EXPECT_TRUE(before.files.empty());
  // Every feature report went through the hidraw node: usbfs saw string reads, the driver query
  // and nothing else; no detach, claim or reset.
  for (size_t id = 0; id < before.wire.size(); id++) {
    SCOPED_TRACE(id);
    for (const std::string &w : before.wire[id])
      EXPECT_TRUE(w.rfind("STRING ", 0) == 0 || w.rfind("CONNECTINFO", 0) == 0 ||
                  w.rfind("PORTINFO", 0) == 0 || w.rfind("GETDRIVER", 0) == 0 ||
                  w.rfind("SFEATURE", 0) == 0 || w.rfind("GFEATURE", 0) == 0)
          << w;
    EXPECT_EQ(before.devices[id].resets, 0);
    EXPECT_EQ(before.devices[id].claimedInterface, -1);
  }
  EXPECT_EQ(before.devices[0].boundDriver, "usbhid");
  EXPECT_NE(std::find(before.wire[0].begin(), before.wire[0].end(), "GFEATURE f2 /32 = 32"),
            before.wire[0].end());
  // After the switch: mouse mode under the new product ID, read the same way.
  const nlohmann::json after = devicesOf(runs.real.at(2).out);
  ASSERT_EQ(after.size(), 3u);
  EXPECT_EQ(after[0]["device"], "004");
  EXPECT_EQ(after[0]["rotation"], 0);
  EXPECT_EQ(after[1]["error"]["code"], "no-driver");
  EXPECT_EQ(after[2]["id"], "2575:9969");
  EXPECT_EQ(after[2]["sysfs"], "1-1"); // the port it had under its old product ID
  EXPECT_EQ(after[2]["mode"]["name"], "mouse");
}

// ---------------------------------------------------------------------------------------------
// A panel directory that cannot be written: the controller is configured all the same, every
// file is named with the system error, the old files stay and nothing else is left.

class UnwritablePanelTest : public RealStackTest {};

TEST_F(UnwritablePanelTest, ReadOnlyOrFullPanelDirectoryIsNamedAndTheControllerConfigured) {
  struct Case {
    const char *name;
    realstack::PanelMount mount;
    const char *error;
  };
  const Case cases[] = {
      {"read-only", realstack::PanelMount::ReadOnly, "Read-only file system"},
      {"full", realstack::PanelMount::Full, "No space left on device"},
  };
  const std::map<std::string, std::string> old = {
      {"Util.conf", "[SETUP]\nPOSMODE=1\n"},
      {"manuflist.conf", "Old Maker Old Panel\n"},
      {".prodlist.conf", "Old Panel\n"},
      {".pctdevid.conf", "1111:2222\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Prepare({CurrentControllerInDigitizerMode, {}});
    for (const auto &[name, text] : old) {
      WriteBytes(dir_.File(name), text);
      ASSERT_EQ(0, chmod(dir_.File(name).c_str(), 0644));
    }
    Outcome real;
    if (!RunReal({"--mouse"}, real, c.mount))
      GTEST_SKIP() << skipReason_;

    // Still the count of PCT controllers configured.
    EXPECT_EQ(1, real.status);
    const std::string named = std::string(": ") + c.error + "\n";
    // Util.conf is written first, before the controller is opened.
    EXPECT_EQ("EE:cannot write /opt/.touch_panel/Util.conf" + named +
                  "II:Firmware Version:S1.2.04(r368) ChipID:8\nII:check pass\nII:Set to mouse\n"
                  "EE:cannot write /opt/.touch_panel/manuflist.conf" +
                  named + "EE:cannot write /opt/.touch_panel/.prodlist.conf" + named +
                  "EE:cannot write /opt/.touch_panel/.pctdevid.conf" + named + "II:PCT Devices:1\n",
              real.out);
    EXPECT_EQ("", real.err);
    // The old files as they were, and nothing beside them.
    EXPECT_EQ(old, real.files);
    for (const auto &[name, text] : old) {
      struct stat st;
      ASSERT_EQ(0, stat(dir_.File(name).c_str(), &st));
      EXPECT_EQ(0644u, st.st_mode & 07777) << name;
    }
    // The controller was switched all the same.
    EXPECT_EQ(0x21u, real.devices.at(0).storedPosMode);
    EXPECT_EQ(2, real.devices.at(0).resets);
  }
}

} // namespace
