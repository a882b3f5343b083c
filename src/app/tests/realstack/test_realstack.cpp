// The panelcfg binary on the system's libusb 0.1, its USB device nodes emulated by umockdev and
// answered by the virtual bus's controllers; each scenario also runs in this process on the
// virtual bus, and the two runs must agree: exit status, output, files, what reached every
// controller and the state it was left in.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "device/devtable.h"
#include "pct/params.h"
#include "private_opt.h"
#include "run/driver.h"
#include "run/state.h"
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

// What one device saw of a run and how it was left.
struct DeviceTrace {
  std::vector<std::string> calls; // bus calls and feature reports on it, in order
  int opens = 0;
  int resets = 0;
  std::string boundDriver;
  int claimedInterface = -1;
  int openHandles = 0;
};

// What one run of the utility left behind.
struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
  std::map<std::string, std::string> files; // the panel directory, the run's inputs left out
  std::string state;                        // every controller's state
  std::vector<DeviceTrace> devices;
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
    const vusb::Device &d = vusb::Dev(id);
    DeviceTrace t;
    for (const vusb::Entry &e : vusb::Log())
      if (e.device == id && e.kind != vusb::Kind::Wait)
        t.calls.push_back(vusb::Describe(e));
    t.opens = d.opens;
    t.resets = d.resets;
    t.boundDriver = d.boundDriver;
    t.claimedInterface = d.claimedInterface;
    t.openHandles = d.openHandles;
    o.devices.push_back(t);
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

  // A fresh bus with the scenario's devices and fresh panel directories for both stacks.
  void Prepare(const std::function<void()> &devices, const std::string &options = "",
               bool debug = false) {
    vusb::Reset();
    devices();
    for (const ScratchDir *dir : {&virtualDir_, &realDir_}) {
      for (const std::string &name : dir->Entries())
        std::filesystem::remove_all(dir->File(name));
      if (!options.empty())
        WriteBytes(dir->File("options.ini"), options);
      if (debug)
        WriteBytes(dir->File("enabledebug"), "");
    }
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
    o.status = PanelcfgMain(static_cast<int>(args.size()), argv.data(), virtualDir_.Path().c_str());
    o.err = testing::internal::GetCapturedStderr();
    o.out = testing::internal::GetCapturedStdout();
    o.files = PanelFiles(virtualDir_);
    CollectBus(o);
    return o;
  }

  // One run of the panelcfg binary on the system's libusb, its device nodes answered by the
  // virtual bus. False, with skipReason_ set, when this machine cannot host the run.
  bool RunReal(const std::vector<std::string> &args, Outcome &o,
               std::function<void(UsbfsBed &)> inspect = nullptr) {
    // The enumeration the utility starts with on the virtual bus.
    vusb::ReEnumerate();
    vusb::ClearLog();
    UsbfsBed bed;
    if (!bed.Error().empty()) {
      ADD_FAILURE() << "testbed: " << bed.Error();
      return true;
    }
    std::vector<std::string> env = bed.Environment();
    // A sanitizer runtime need not come first when umockdev's library is preloaded.
    const char *asan = getenv("ASAN_OPTIONS");
    env.push_back(std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") +
                  (asan != nullptr && *asan != '\0' ? ":" : "") + "verify_asan_link_order=0");
    ScratchDir work;
    ChildRun run = realstack::RunWithPrivateOpt(Binary(), args, env, realDir_.Path(), work.Path());
    if (run.outcome == ChildRun::Outcome::Unavailable) {
      skipReason_ = run.why;
      return false;
    }
    if (run.outcome != ChildRun::Outcome::Ran) {
      ADD_FAILURE() << run.why;
      return true;
    }
    bed.ProcessEnded();
    auto lock = bed.Lock();
    o.status = run.status;
    o.out = run.out;
    o.err = run.err;
    o.files = PanelFiles(realDir_);
    CollectBus(o);
    if (inspect)
      inspect(bed);
    return true;
  }

  static std::string Binary() {
    const char *override = getenv("PANELCFG_REALSTACK_BINARY");
    return override != nullptr && *override != '\0' ? override : PANELCFG_BINARY;
  }

  ScratchDir virtualDir_;
  ScratchDir realDir_;
  std::string skipReason_;
};

// The two stacks agree on everything a run shows and leaves.
void ExpectSameRun(const Outcome &virt, const Outcome &real) {
  EXPECT_EQ(virt.status, real.status);
  EXPECT_EQ(virt.out, real.out);
  EXPECT_EQ(virt.err, real.err);
  EXPECT_EQ(virt.files, real.files);
  EXPECT_EQ(virt.state, real.state);
  ASSERT_EQ(virt.devices.size(), real.devices.size());
  for (size_t i = 0; i < virt.devices.size(); i++) {
    SCOPED_TRACE("device " + std::to_string(i));
    const DeviceTrace &v = virt.devices[i];
    const DeviceTrace &r = real.devices[i];
    EXPECT_EQ(v.calls, r.calls);
    EXPECT_EQ(v.opens, r.opens);
    EXPECT_EQ(v.resets, r.resets);
    EXPECT_EQ(v.boundDriver, r.boundDriver);
    EXPECT_EQ(v.claimedInterface, r.claimedInterface);
    EXPECT_EQ(v.openHandles, r.openHandles);
  }
}

// ---------------------------------------------------------------------------------------------

void CurrentControllerInDigitizerMode() {
  vusb::DeviceSpec spec = vusb::PctCurrentSpec();
  spec.params = IdentityBlock(0x2575, 0x8753, 0x170);
  vusb::AddDevice(spec);
}

TEST_F(RealStackTest, MouseSwitchOfACurrentController) {
  Prepare(CurrentControllerInDigitizerMode);
  Outcome virt = RunVirtual({"--mouse"});
  Outcome virtAfter = RunVirtual({"getpos"});

  Prepare(CurrentControllerInDigitizerMode);
  Outcome real;
  std::vector<std::string> wire;
  if (!RunReal({"--mouse"}, real, [&](UsbfsBed &bed) { wire = bed.Wire(0); }))
    GTEST_SKIP() << skipReason_;
  const vusb::Device after = vusb::Dev(0);
  Outcome realAfter;
  std::vector<std::string> wireAfter;
  RunReal({"getpos"}, realAfter, [&](UsbfsBed &bed) { wireAfter = bed.Wire(0); });

  ExpectSameRun(virt, real);
  ExpectSameRun(virtAfter, realAfter);

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

  // The new USB IDs, the stored mode 0x21 and the resets, as the controller received them.
  const std::vector<std::string> &calls = real.devices[0].calls;
  auto at = [&](const std::string &call) {
    return std::find(calls.begin(), calls.end(), call) - calls.begin();
  };
  const auto usbId = at("set f3 08 00 02 00 00 75 25 69 99 /64");
  const auto mode = at("set 08 84 c9 00 21 /64");
  const auto reset = at("set 08 84 09 /64");
  ASSERT_LT(usbId, static_cast<long>(calls.size()));
  ASSERT_LT(mode, static_cast<long>(calls.size()));
  ASSERT_LT(reset, static_cast<long>(calls.size()));
  EXPECT_LT(usbId, mode);
  EXPECT_LT(mode, reset);
  EXPECT_EQ(2, std::count(calls.begin(), calls.end(), "set 08 84 09 /64"));
  EXPECT_EQ(0x21u, after.storedPosMode);
  EXPECT_EQ(2, after.resets);
  EXPECT_TRUE(after.pendingIds);
  EXPECT_TRUE(after.idsAfterReset);
  EXPECT_EQ(0x9969, after.pendingPid);
  EXPECT_EQ(0x2575, after.pendingVid);

  // What libusb asked of the node: the language table before every string, then the
  // take-over, the feature reports and the release.
  const std::vector<std::string> expected = {
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
  std::vector<std::string> requests = NonReportRequests(wire);
  ASSERT_GE(requests.size(), 2u);
  EXPECT_EQ("CONNECTINFO = 2", requests[0]);
  EXPECT_EQ("PORTINFO 0 = ENOTTY", requests[1]);
  requests.erase(requests.begin(), requests.begin() + 2);
  EXPECT_EQ(expected, requests);
  for (const std::string &w : wire) {
    if (w.rfind("CONTROL ", 0) == 0) {
      EXPECT_NE(std::string::npos, w.find(" t5000 = ")) << w;
    }
  }

  // The next run finds the controller under its mouse product ID.
  EXPECT_EQ(1, realAfter.status);
  EXPECT_EQ("II:Firmware Version:S1.2.04(r368) ChipID:8\npos mode=2\nII:PCT Devices:1\n",
            realAfter.out);
  EXPECT_EQ("CONNECTINFO = 3", NonReportRequests(wireAfter).at(0));
}

} // namespace
