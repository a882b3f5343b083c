// Fault sweep over the built-in simulator bus: for every operation word and every supported
// device, each control transfer the device sees in a clean run is failed in turn, and the
// device is unplugged from each transfer on. Every run must end, leave no device open or
// claimed, leave each file either as it was or complete, and count exactly the PCT controllers
// that still reached the configuration step.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
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
    CheckHandles(bus);
    CheckFiles(word, want);
  }

  // Every device opened was closed, every interface claimed was released first, one device at
  // most was open at any time, and devices of no supported family were never opened.
  void CheckHandles(const Bus &bus) {
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
  }

  // Files: complete with the outcome's rows, or as the earlier run left them; Util.conf as the
  // word writes it. An interrupted run writes no list file (want: nothing handled, no resistive).
  void CheckFiles(const Word &word, const Outcome &want) {
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

// The Set_Report requests of each controller's own reset, as the log shows them: what a run
// still sends a controller in hand after a second stop signal.
const std::map<std::string, std::vector<std::string>> kFinalResets = {
    {"pct-current", {"set 08 84 09 /64"}},
    {"pct-legacy",
     {"set 08 91 02 00 82 90 /6", "set 06 73 0c /8", "set 08 85 01 00 02 /64",
      "set 08 91 02 00 82 01 /6", "set 06 73 0c /8"}},
    {"resistive", {"set 01 04 01 52 52 0d /6"}},
};

// The device whose usb_open .. usb_close window holds log entry at, or -1 when none is open.
int DeviceInHand(const std::vector<vusb::Entry> &log, size_t at) {
  int open = -1;
  for (size_t i = 0; i <= at && i < log.size(); i++) {
    const vusb::Entry &e = log[i];
    if (e.kind == vusb::Kind::Call && e.call == "usb_open" && e.result > 0)
      open = e.device;
    else if (e.kind == vusb::Kind::Call && e.call == "usb_close")
      open = -1;
  }
  return open;
}

// A device's own entries and every wait, from its usb_open to its usb_close. Transfers keep
// their first three bytes and their length: a new identity block carries a random serial number.
std::vector<std::string> HandlingOf(const std::vector<vusb::Entry> &log, int device) {
  std::vector<std::string> out;
  bool inside = false;
  for (const vusb::Entry &e : log) {
    if (e.device == device && e.call == "usb_open")
      inside = true;
    if (!inside || (e.device != device && e.kind != vusb::Kind::Wait))
      continue;
    if (e.kind == vusb::Kind::Transfer) {
      vusb::Entry head = e;
      head.data.resize(std::min<size_t>(head.data.size(), 3));
      out.push_back(vusb::Describe(head));
    } else {
      out.push_back(vusb::Describe(e));
    }
    if (e.device == device && e.call == "usb_close")
      inside = false;
  }
  return out;
}

// Index in the log of the nth (1-based) entry whose text starts with prefix; log size if none.
size_t NthEntry(const std::vector<vusb::Entry> &log, const std::string &prefix, int nth) {
  int seen = 0;
  for (size_t i = 0; i < log.size(); i++)
    if (vusb::Describe(log[i]).compare(0, prefix.size(), prefix) == 0 && ++seen == nth)
      return i;
  return log.size();
}

// A stop signal at every pause of a clean run, alone and followed by a second one at the next
// pause: the controller in hand finishes as usual (after a second signal only its own reset is
// sent), is released and closed, no device is opened after it, no list file is written, and the
// run ends with 128 + the signal and one line saying how many supported devices it did not visit.
TEST_P(FaultSweepTest, StopSignalAtEveryPause) {
  const Word &word = kWords[GetParam()];
  Bus bus = LoadBus();
  RunResult clean = Run(word);
  const std::vector<vusb::Entry> cleanLog = vusb::Log();
  const size_t waits = vusb::Waits().size();
  ASSERT_GT(waits, 0u);
  const std::vector<int> supported = {bus.current, bus.legacy, bus.resistive}; // bus order

  int points = 0;
  // Point 0 is the start of the scan, before any device is opened.
  for (size_t k = 0; k <= waits; k++) {
    for (bool second : {false, true}) {
      if (second && k == waits)
        continue;
      const int sig = second ? SIGINT : SIGTERM;
      SCOPED_TRACE(word.label +
                   std::string(second ? " two signals from pause " : " signal at pause ") +
                   std::to_string(k));
      Bus b = LoadBus();
      if (k == 0)
        vusb::RaiseAt("usb_init", 1, sig);
      else
        vusb::RaiseAt("wait", static_cast<int>(k), sig);
      if (second)
        vusb::RaiseAt("wait", static_cast<int>(k) + 1, sig);
      RunResult r = Run(word);
      const std::vector<vusb::Entry> &log = vusb::Log();

      const size_t first =
          k == 0 ? NthEntry(log, "usb_init", 1) : NthEntry(log, "wait", static_cast<int>(k));
      ASSERT_LT(first, log.size());
      const int inHand = DeviceInHand(log, first);
      // Supported devices never opened: every one after the device in hand, or after the point.
      int unvisited = 0;
      for (int id : supported)
        if (vusb::Dev(id).opens == 0)
          unvisited++;
      // Every other device opened was handled and closed before the signal.
      for (int id : supported) {
        if (id == inHand || vusb::Dev(id).opens == 0)
          continue;
        size_t closedAt = log.size();
        for (size_t i = 0; i < log.size(); i++)
          if (log[i].device == id && log[i].call == "usb_close")
            closedAt = i;
        EXPECT_LT(closedAt, first) << vusb::Dev(id).name;
      }

      EXPECT_EQ(128 + sig, r.status);
      const std::string line = std::string("EE:interrupted by ") +
                               (sig == SIGINT ? "SIGINT" : "SIGTERM") + ": " +
                               std::to_string(unvisited) + " supported device" +
                               (unvisited == 1 ? "" : "s") + " not visited, no list file written\n";
      EXPECT_TRUE(r.out.size() >= line.size() &&
                  r.out.compare(r.out.size() - line.size(), line.size(), line) == 0)
          << r.out;
      EXPECT_EQ(std::string::npos, r.out.find("II:PCT Devices")) << r.out;
      CheckHandles(b);
      Outcome none;
      none.current = none.legacy = none.resistive = false;
      CheckFiles(word, none);

      if (inHand >= 0) {
        // No device is opened after the one in hand is closed.
        size_t closed = log.size();
        for (size_t i = first; i < log.size(); i++)
          if (log[i].device == inHand && log[i].call == "usb_close") {
            closed = i;
            break;
          }
        ASSERT_LT(closed, log.size());
        for (size_t i = closed; i < log.size(); i++)
          EXPECT_NE("usb_open", log[i].call) << "device " << log[i].device;
        const std::vector<std::string> calls = vusb::Calls(inHand);
        ASSERT_GE(calls.size(), 2u);
        EXPECT_EQ("usb_release_interface", calls[calls.size() - 2]);
        EXPECT_EQ("usb_close", calls.back());
        // The second signal comes only when the device in hand still pauses after the first.
        const size_t next = second ? NthEntry(log, "wait", static_cast<int>(k) + 1) : log.size();
        if (next >= log.size()) {
          // Handled exactly as in the clean run, every pause in full.
          const std::vector<std::string> want = HandlingOf(cleanLog, inHand);
          const std::vector<std::string> got = HandlingOf(log, inHand);
          const auto diff = std::mismatch(want.begin(), want.end(), got.begin(), got.end());
          EXPECT_TRUE(diff.first == want.end() && diff.second == got.end())
              << "handling differs from the clean run at entry " << (diff.first - want.begin())
              << ": " << (diff.first != want.end() ? *diff.first : "(end)") << " / "
              << (diff.second != got.end() ? *diff.second : "(end)");
        } else {
          // After the second signal only (the rest of) the controller's own reset is sent.
          std::vector<std::string> sent;
          for (size_t i = next; i < closed; i++)
            if (log[i].device == inHand && log[i].IsSetReport())
              sent.push_back(vusb::Describe(log[i]));
          const std::vector<std::string> &reset = kFinalResets.at(vusb::Dev(inHand).name);
          ASSERT_LE(sent.size(), reset.size()) << testing::PrintToString(sent);
          EXPECT_TRUE(
              std::equal(sent.begin(), sent.end(), reset.end() - static_cast<long>(sent.size())))
              << testing::PrintToString(sent);
          // And the reset goes out whole: the device's last requests are all of it.
          std::vector<std::string> all;
          for (const vusb::Entry &e : log)
            if (e.device == inHand && e.IsSetReport())
              all.push_back(vusb::Describe(e));
          ASSERT_GE(all.size(), reset.size());
          EXPECT_TRUE(
              std::equal(reset.begin(), reset.end(), all.end() - static_cast<long>(reset.size())))
              << testing::PrintToString(all);
        }
      }
      points++;
      if (HasFailure())
        return;
    }
  }
  RecordProperty("signal_points", points);
  std::cout << word.label << ": " << points << " signal points\n";
}

INSTANTIATE_TEST_SUITE_P(Words, FaultSweepTest, ::testing::Range<size_t>(0, std::size(kWords)),
                         [](const ::testing::TestParamInfo<size_t> &info) {
                           return std::string(kWords[info.param].label);
                         });

} // namespace
