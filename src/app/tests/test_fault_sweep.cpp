// Fault sweep over the built-in simulator bus: for every operation word and every supported
// device, each control transfer the device sees in a clean run is failed in turn, and the
// device is unplugged from each transfer on. Every run must end, leave no device open or
// claimed, leave each file either as it was or complete, and count exactly the PCT controllers
// that still reached the configuration step.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/state.h"
#include "default_scenario.h"
#include "lists/registry.h"
#include "run/driver.h"
#include "scan/devtable.h"
#include "scratch_dir.h"
#include "vusb.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

struct Word {
  const char *label;
  std::vector<std::string> args;
  int utilMode; // mode recorded in Util.conf, 0 when the word writes none
};

const Word kWords[] = {
    {"none", {}, 0},
    {"digitizer", {"--digitizer"}, 1},
    {"mouse", {"--mouse"}, 2},
    {"hybrid_d", {"--hybrid-d"}, 3},
    {"hybrid_m", {"--hybrid-m"}, 4},
    {"mouse_test", {"--mouse-test"}, 0},
    {"digi_test", {"--digi-test"}, 0},
    {"clean", {"--clean"}, 0},
    {"sn", {"--sn"}, 0},
    {"rotation", {"--rotation"}, 0},
    {"setpos1", {"setpos", "1"}, 0},
    {"setpos2", {"setpos", "2"}, 0},
    {"setpos3", {"setpos", "3"}, 0},
    {"setpos4", {"setpos", "4"}, 0},
    {"getpos", {"getpos"}, 0},
};

// What an earlier run left in the panel directory; a file the run does not rewrite keeps it.
const char kStale[] = "left by an earlier run\n";
const char *const kFiles[] = {"Util.conf",      "manuflist.conf",  ".prodlist.conf",
                              ".pctdevid.conf", "rmanuflist.conf", ".rprodlist.conf",
                              ".resdevid.conf"};

// Which controllers of the built-in bus ended up where: PCT controllers handed to the
// configuration step, the resistive controller registered.
struct Outcome {
  bool current = true;
  bool legacy = true;
  bool resistive = true;
};

// Devices of the built-in bus, by name.
struct Bus {
  int hub, current, keyboard, legacy, resistive, disk;
};

int DeviceNamed(const std::string &name) {
  for (int id = 0; id < vusb::DeviceCount(); id++)
    if (vusb::Dev(id).name == name)
      return id;
  ADD_FAILURE() << "no device " << name << " on the built-in bus";
  return 0;
}

// Positions (1-based, among the device's control transfers) of the requests whose failure
// decides whether a controller is handled, found in a clean run.
struct Landmarks {
  int generation = 0; // PCT: report 0xF2 fetched with length 32
  int firmware = 0;   // PCT: report 0xF2 fetched with length 16
  int resFwSend = 0;  // resistive: the "OI" request
  int resFwFetch = 0; // resistive: its first answer
  int count = 0;      // transfers in the clean run
};

Landmarks FindLandmarks(int device) {
  Landmarks m;
  std::vector<vusb::Entry> transfers = vusb::Transfers(device);
  m.count = static_cast<int>(transfers.size());
  for (int i = 0; i < m.count; i++) {
    const vusb::Entry &e = transfers[static_cast<size_t>(i)];
    if (e.IsGetReport() && e.ReportId() == 0xF2 && e.length == 32 && m.generation == 0)
      m.generation = i + 1;
    if (e.IsGetReport() && e.ReportId() == 0xF2 && e.length == 16 && m.firmware == 0)
      m.firmware = i + 1;
    if (e.IsSetReport() && e.data.size() >= 5 && e.data[3] == 'O' && e.data[4] == 'I' &&
        m.resFwSend == 0)
      m.resFwSend = i + 1;
    if (m.resFwSend != 0 && m.resFwFetch == 0 && e.IsGetReport() && i + 1 > m.resFwSend)
      m.resFwFetch = i + 1;
  }
  return m;
}

struct RunResult {
  int status = 0;
  std::string out;
  std::string err;
  unsigned waitedMs = 0;
};

class FaultSweepTest : public RunStateTest, public ::testing::WithParamInterface<size_t> {
protected:
  void SetUp() override {
    RunStateTest::SetUp();
    // A run that never ends fails the suite instead of stalling it.
    alarm(300);
    // Thousands of runs each flush seven files to disk: keep them in memory where possible.
    const char *old = getenv("TMPDIR");
    oldTmp_ = old != nullptr ? old : "";
    hadTmp_ = old != nullptr;
    if (access("/dev/shm", W_OK | X_OK) == 0)
      setenv("TMPDIR", "/dev/shm", 1);
    dir_ = std::make_unique<ScratchDir>();
  }
  void TearDown() override {
    dir_.reset();
    if (hadTmp_)
      setenv("TMPDIR", oldTmp_.c_str(), 1);
    else
      unsetenv("TMPDIR");
    alarm(0);
    vusb::Reset();
    cMyHidInfo = MYHIDINFO{};
    RunStateTest::TearDown();
  }

  // Loads the built-in bus afresh, with the stale files in place.
  Bus LoadBus() {
    vusb::Reset();
    std::string options = vusb::LoadScenarioText(kDefaultScenario);
    EXPECT_EQ("[options]\nres=1\n", options);
    WriteBytes(dir_->File("options.ini"), options);
    for (const char *name : kFiles)
      WriteBytes(dir_->File(name), kStale);
    return Bus{DeviceNamed("hub"),        DeviceNamed("pct-current"), DeviceNamed("keyboard"),
               DeviceNamed("pct-legacy"), DeviceNamed("resistive"),   DeviceNamed("flash-disk")};
  }

  RunResult Run(const Word &word) {
    std::vector<std::string> args = word.args;
    args.insert(args.begin(), "panelcfg");
    std::vector<char *> argv;
    for (std::string &a : args)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    InitRunState();
    ClearRegistries();
    cMyHidInfo = MYHIDINFO{};
    RunResult r;
    CaptureStdout();
    CaptureStderr();
    r.status = PanelcfgMain(static_cast<int>(args.size()), argv.data(), dir_->Path().c_str());
    r.err = GetCapturedStderr();
    r.out = GetCapturedStdout();
    r.waitedMs = vusb::TotalWaitMs();
    return r;
  }

  // Checks one finished run against the outcome the fault allows.
  void Check(const Word &word, const Bus &bus, const Outcome &want, const RunResult &r,
             unsigned maxWaitMs) {
    const int pct = (want.current ? 1 : 0) + (want.legacy ? 1 : 0);
    EXPECT_EQ(pct, r.status);
    const std::string last = "II:PCT Devices:" + std::to_string(pct) + "\n";
    EXPECT_TRUE(r.out.size() >= last.size() &&
                r.out.compare(r.out.size() - last.size(), last.size(), last) == 0)
        << r.out;
    EXPECT_LE(r.waitedMs, maxWaitMs);

    // Every device opened was closed, every interface claimed was released first, and one
    // device at most was open at any time.
    EXPECT_EQ(0, vusb::OpenHandleCount());
    int open = -1;
    bool claimed = false;
    for (const vusb::Entry &e : vusb::Log()) {
      if (e.kind != vusb::Kind::Call)
        continue;
      if (e.call == "usb_open" && e.result > 0) {
        EXPECT_EQ(-1, open) << "device " << e.device << " opened while " << open << " is open";
        open = e.device;
      } else if (e.call == "usb_claim_interface" && e.result == 0) {
        claimed = true;
      } else if (e.call == "usb_release_interface") {
        claimed = false;
      } else if (e.call == "usb_close") {
        EXPECT_EQ(open, e.device);
        EXPECT_FALSE(claimed) << "device " << e.device << " closed with its interface claimed";
        open = -1;
      }
    }
    EXPECT_EQ(-1, open);
    for (int id = 0; id < vusb::DeviceCount(); id++)
      EXPECT_EQ(-1, vusb::Dev(id).claimedInterface) << vusb::Dev(id).name;
    // Devices of no supported family are never opened.
    for (int id : {bus.hub, bus.keyboard, bus.disk}) {
      EXPECT_EQ(0, vusb::Dev(id).opens) << vusb::Dev(id).name;
      EXPECT_TRUE(vusb::Transfers(id).empty()) << vusb::Dev(id).name;
    }

    // Files: complete with the outcome's rows, or as the earlier run left them.
    std::string names, products, ids;
    if (want.current) {
      names += "Tessel Panels TP8753 Multi-Touch\n";
      products += "TP8753 Multi-Touch\n";
      ids += "2575:8753\n";
    }
    if (want.legacy) {
      names += "Tessel Panels TP8752 Multi-Touch\n";
      products += "TP8752 Multi-Touch\n";
      ids += "22b9:0040\n";
    }
    auto orStale = [](const std::string &s) { return s.empty() ? std::string(kStale) : s; };
    const std::map<std::string, std::string> files = {
        {"Util.conf", word.utilMode != 0
                          ? "[SETUP]\nPOSMODE=" + std::to_string(word.utilMode) + "\n"
                          : std::string(kStale)},
        {"manuflist.conf", orStale(names)},
        {".prodlist.conf", orStale(products)},
        {".pctdevid.conf", orStale(ids)},
        {"rmanuflist.conf", want.resistive ? "Orrin Devices RT-4W Resistive Touch\n" : kStale},
        {".rprodlist.conf", want.resistive ? "RT-4W Resistive Touch\n" : kStale},
        {".resdevid.conf", want.resistive ? "1234:8888\n" : kStale},
    };
    for (const auto &[name, content] : files)
      EXPECT_EQ(content, ReadBytes(dir_->File(name))) << name;
    // Nothing else is left behind (no half-written temporary file).
    std::vector<std::string> expected = {"options.ini"};
    for (const char *name : kFiles)
      expected.push_back(name);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, dir_->Entries());
  }

  std::unique_ptr<ScratchDir> dir_;
  std::string oldTmp_;
  bool hadTmp_ = false;
};

// Upper bound of the protocol pauses of one run on the built-in bus, whatever fails. The longest
// legal run takes about 16 s (a parameter block that is never read back, with its eleven
// attempts, on both PCT controllers); only a runaway retry loop gets near this.
constexpr unsigned kMaxRunWaitMs = 60 * 1000;

constexpr int kUnplug = 1; // in place of a transfer result: unplug the device there

TEST_P(FaultSweepTest, EveryTransferFailedAndEveryUnplugPoint) {
  const Word &word = kWords[GetParam()];
  const bool rotation = word.label == std::string("rotation");

  // A clean run: every controller is handled, and the transfers of each device are counted.
  Bus bus = LoadBus();
  RunResult clean = Run(word);
  Outcome all;
  all.resistive = !rotation;
  Check(word, bus, all, clean, kMaxRunWaitMs);
  const std::map<int, Landmarks> marks = {{bus.current, FindLandmarks(bus.current)},
                                          {bus.legacy, FindLandmarks(bus.legacy)},
                                          {bus.resistive, FindLandmarks(bus.resistive)}};
  // The generation read is the first request a PCT controller gets, the firmware identity the
  // next one.
  for (int pctDevice : {bus.current, bus.legacy}) {
    ASSERT_EQ(1, marks.at(pctDevice).generation);
    ASSERT_EQ(2, marks.at(pctDevice).firmware);
  }
  if (!rotation) {
    ASSERT_EQ(1, marks.at(bus.resistive).resFwSend);
  }

  int points = 0;
  unsigned longestMs = clean.waitedMs;
  for (const auto &[device, m] : marks) {
    ASSERT_GT(m.count, 0) << vusb::Dev(device).name;
    for (int k = 1; k <= m.count; k++) {
      // The transfer fails with an error, moves nothing, or the device is gone from it on.
      for (int result : {-EPIPE, 0, kUnplug}) {
        const bool unplug = result == kUnplug;
        SCOPED_TRACE(word.label + std::string(" device ") + vusb::Dev(device).name +
                     (unplug ? " unplugged at transfer " : " failing transfer ") +
                     std::to_string(k) + (unplug ? "" : " with " + std::to_string(result)));
        Bus b = LoadBus();
        if (unplug) {
          vusb::Dev(device).faults.unplugAtTransfer = k;
        } else {
          vusb::TransferFault fault;
          fault.nth = k;
          fault.result = result;
          vusb::Dev(device).faults.transfers.push_back(fault);
        }

        // Whether the faulted controller still reaches its goal.
        Outcome want = all;
        if (device == b.current || device == b.legacy) {
          // Without the firmware identity a controller is not configured. A failed generation
          // read leaves the current-generation forms: the current controller still finds its
          // signature there, the legacy one does not; after an unplug nothing more is read.
          bool reached = k > m.firmware || (k == m.generation && !unplug && device == b.current);
          (device == b.current ? want.current : want.legacy) = reached;
        } else if (!rotation) {
          // A failed firmware request ends the firmware query at once; a failed answer is
          // asked again, unless the controller is gone by then.
          want.resistive = unplug ? k > m.resFwFetch : k != m.resFwSend;
        }
        RunResult r = Run(word);
        Check(word, b, want, r, kMaxRunWaitMs);
        longestMs = std::max(longestMs, r.waitedMs);
        points++;
        if (HasFailure())
          return;
      }
    }
  }
  RecordProperty("fault_points", points);
  std::cout << word.label << ": " << points << " fault points, longest run " << longestMs
            << " ms of pauses\n";
}

INSTANTIATE_TEST_SUITE_P(Words, FaultSweepTest, ::testing::Range<size_t>(0, std::size(kWords)),
                         [](const ::testing::TestParamInfo<size_t> &info) {
                           return std::string(kWords[info.param].label);
                         });

} // namespace
