// Several runs of the utility in a row against the same controllers, each run as a fresh
// process would see it: the mode switches, what the next enumeration shows, the identity block
// kept in the controller, and the files each run leaves.
#include <gtest/gtest.h>

#include <csignal>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "base/state.h"
#include "base/stop.h"
#include "lists/registry.h"
#include "panelcfg_run.h"
#include "pct_helpers.h"
#include "run/driver.h"
#include "scratch_dir.h"
#include "vusb.h"

namespace {

using namespace pct;

class FlowsTest : public RunStateTest {
protected:
  void SetUp() override {
    RunStateTest::SetUp();
    vusb::Reset();
  }
  void TearDown() override {
    vusb::Reset();
    RunStateTest::TearDown();
  }

  // One run of the utility as a new process: fresh run state and registries, a fresh
  // enumeration, and a log that holds this run only.
  RunResult Run(std::vector<std::string> args) {
    InitRunState();
    ClearRegistries();
    vusb::ReEnumerate();
    vusb::ClearLog();
    vusb::ClearWaits();
    RunResult r = RunPanelcfg(dir_, std::move(args));
    EXPECT_EQ(vusb::OpenHandleCount(), 0);
    return r;
  }

  // The IDs the device shows at the next enumeration.
  static uint32_t Enumerated(int id) {
    vusb::ReEnumerate();
    const struct usb_device *d = vusb::UsbDevice(id);
    if (d == nullptr)
      return 0;
    return Ids(d->descriptor.idVendor, d->descriptor.idProduct);
  }

  // The serial number in the controller's identity block.
  static Bytes SerialInFlash(int id) {
    Bytes plain = Decoded(vusb::Dev(id).params);
    return Bytes(plain.begin() + 12, plain.begin() + 20);
  }

  std::string File(const char *name) const { return ReadBytes(dir_.File(name)); }

  ScratchDir dir_;
};

const char kFirmware[] = "II:Firmware Version:S1.2.04(r368) ChipID:8\n";

TEST_F(FlowsTest, MouseThenGetposThenDigitizerBringsTheControllerHome) {
  int pct = vusb::AddPctCurrent();

  // --mouse: identity block first, then the switch with its reset, then the scan's reset.
  RunResult r = Run({"--mouse"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, std::string(kFirmware) + "II:check pass\nII:Set to mouse\nII:PCT Devices:1\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(File("Util.conf"), "[SETUP]\nPOSMODE=2\n");
  EXPECT_EQ(
      vusb::SetReports(pct, 0xF3),
      std::vector<Bytes>{Report({0xF3, 0x08, 0x00, 0x02, 0x00, 0x00, 0x75, 0x25, 0x69, 0x99})});
  EXPECT_EQ(PosWrites(pct), std::vector<int>{0x21});
  EXPECT_EQ(vusb::Dev(pct).storedPosMode, 0x21u);
  // The decision's read, the switch's read and the read-back after the write.
  EXPECT_EQ(Commands(pct, 0x06, 0xA2).size(), 3u);
  EXPECT_EQ(ResetRequests(pct), 2);
  EXPECT_EQ(vusb::SetReports(pct).back(), Report({0x08, 0x84, 0x09}));
  EXPECT_EQ(File("manuflist.conf"), "Tessel Panels TP8753 Multi-Touch\n");
  EXPECT_EQ(File(".prodlist.conf"), "TP8753 Multi-Touch\n");
  EXPECT_EQ(File(".pctdevid.conf"), "2575:8753\n");
  EXPECT_EQ(dir_.Entries(), (std::vector<std::string>{".pctdevid.conf", ".prodlist.conf",
                                                      "Util.conf", "manuflist.conf"}));
  const Bytes sn = SerialInFlash(pct);
  EXPECT_EQ(Decoded(vusb::Dev(pct).params), Block(0x2575, 0x8753, 368, sn));
  EXPECT_EQ(Enumerated(pct), Ids(0x2575, 0x9969));

  // getpos: the mode on standard output, nothing written, the controller listed as it is now.
  r = Run({"getpos"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, std::string(kFirmware) + "pos mode=2\nII:PCT Devices:1\n");
  EXPECT_TRUE(vusb::SetReports(pct, 0xF3).empty());
  EXPECT_TRUE(PosWrites(pct).empty());
  EXPECT_TRUE(Commands(pct, 0x08, 0xA8).empty());
  EXPECT_EQ(ResetRequests(pct), 1);
  EXPECT_EQ(File(".pctdevid.conf"), "2575:9969\n");
  EXPECT_EQ(File("Util.conf"), "[SETUP]\nPOSMODE=2\n");
  EXPECT_EQ(Enumerated(pct), Ids(0x2575, 0x9969));

  // --digitizer: the block still names the home product ID, which is written back.
  r = Run({"--digitizer"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            std::string(kFirmware) + "II:check pass\nII:Set to digitizer\nII:PCT Devices:1\n");
  EXPECT_EQ(File("Util.conf"), "[SETUP]\nPOSMODE=1\n");
  EXPECT_EQ(UsbIdWrites(pct), std::vector<uint32_t>{Ids(0x2575, 0x8753)});
  EXPECT_EQ(PosWrites(pct), std::vector<int>{0x20});
  EXPECT_TRUE(Commands(pct, 0x08, 0xA8).empty());
  EXPECT_EQ(ResetRequests(pct), 2);
  EXPECT_EQ(File(".pctdevid.conf"), "2575:9969\n");
  EXPECT_EQ(SerialInFlash(pct), sn);
  EXPECT_EQ(Enumerated(pct), Ids(0x2575, 0x8753));

  r = Run({"getpos"});
  EXPECT_EQ(r.out, std::string(kFirmware) + "pos mode=1\nII:PCT Devices:1\n");
  EXPECT_EQ(File(".pctdevid.conf"), "2575:8753\n");
}

TEST_F(FlowsTest, NotResetLeavesOnlyTheScansReset) {
  int pct = vusb::AddPctCurrent();

  RunResult r = Run({"--mouse", "x", "not"});

  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(UsbIdWrites(pct), std::vector<uint32_t>{Ids(0x2575, 0x9969)});
  EXPECT_EQ(PosWrites(pct), std::vector<int>{0x21});
  EXPECT_EQ(ResetRequests(pct), 1);
  EXPECT_EQ(vusb::Dev(pct).resets, 1);
  // The scan's reset alone brings the new IDs in.
  EXPECT_EQ(Enumerated(pct), Ids(0x2575, 0x9969));
}

TEST_F(FlowsTest, CleanThenDefaultRunGivesANewSerialNumber) {
  int pct = vusb::AddPctCurrent();

  RunResult r = Run({});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, std::string(kFirmware) + "II:check pass\nII:PCT Devices:1\n");
  EXPECT_FALSE(FileExists(dir_.File("Util.conf")));
  const Bytes first = SerialInFlash(pct);
  EXPECT_EQ(Decoded(vusb::Dev(pct).params), Block(0x2575, 0x8753, 368, first));

  // A second default run finds the block good and leaves it.
  r = Run({});
  EXPECT_TRUE(Commands(pct, 0x08, 0xA8).empty());
  EXPECT_EQ(SerialInFlash(pct), first);

  r = Run({"--clean"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, std::string(kFirmware) + "II:PCT Devices:1\n");
  EXPECT_EQ(vusb::Dev(pct).params, Bytes(64, 0));
  EXPECT_TRUE(PosWrites(pct).empty());
  EXPECT_EQ(File(".pctdevid.conf"), "2575:8753\n");

  r = Run({});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, std::string(kFirmware) + "II:check pass\nII:PCT Devices:1\n");
  // Eleven reads of the cleared area, the new block, and its read-back.
  EXPECT_EQ(Commands(pct, 0x06, 0xA1).size(), 12u);
  EXPECT_EQ(Commands(pct, 0x08, 0xA8).size(), 1u);
  const Bytes second = SerialInFlash(pct);
  EXPECT_NE(second, first);
  EXPECT_EQ(Decoded(vusb::Dev(pct).params), Block(0x2575, 0x8753, 368, second));
}

TEST_F(FlowsTest, DigiTestFindsTheHomeIdWithoutTheBlock) {
  int pct = vusb::AddPctCurrent();
  ASSERT_EQ(Run({"--mouse"}).status, 1);
  ASSERT_EQ(Enumerated(pct), Ids(0x2575, 0x9969));

  // The block is cleared first, so the home product ID comes from the vendor.
  RunResult r = Run({"--digi-test"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            std::string(kFirmware) + "II:check pass\nII:Set to digitizer\nII:PCT Devices:1\n");
  EXPECT_EQ(File("Util.conf"), "[SETUP]\nPOSMODE=2\n"); // a test word does not rewrite it
  EXPECT_EQ(UsbIdWrites(pct), std::vector<uint32_t>{Ids(0x2575, 0x8753)});
  EXPECT_EQ(PosWrites(pct), std::vector<int>{0x20});
  EXPECT_EQ(vusb::Dev(pct).params, Bytes(64, 0));
  EXPECT_EQ(Enumerated(pct), Ids(0x2575, 0x8753));

  // The next default run makes a new block with the home IDs.
  r = Run({});
  EXPECT_EQ(Commands(pct, 0x08, 0xA8).size(), 1u);
  EXPECT_EQ(Decoded(vusb::Dev(pct).params), Block(0x2575, 0x8753, 368, SerialInFlash(pct)));
}

TEST_F(FlowsTest, LegacyControllerGetsModeFourForHybridD) {
  int pct = vusb::AddPctLegacy();

  RunResult r = Run({"--hybrid-d"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(File("Util.conf"), "[SETUP]\nPOSMODE=3\n");
  EXPECT_TRUE(vusb::SetReports(pct, 0xF3).empty());
  EXPECT_EQ(PosWrites(pct), std::vector<int>{0x23});
  EXPECT_EQ(ResetRequests(pct), 2);
  EXPECT_EQ(vusb::Dev(pct).deviceMode, 0x01);
  EXPECT_EQ(File(".pctdevid.conf"), "22b9:0040\n");
  EXPECT_EQ(Enumerated(pct), Ids(0x22B9, 0x0040));

  r = Run({"getpos"});
  EXPECT_NE(r.out.find("\npos mode=4\n"), std::string::npos) << r.out;

  // Asked again, nothing is written.
  r = Run({"--hybrid-d"});
  EXPECT_TRUE(PosWrites(pct).empty());
  EXPECT_EQ(ResetRequests(pct), 1);
}

TEST_F(FlowsTest, SetposThenGetposOnBothGenerations) {
  int cur = vusb::AddPctCurrent();
  int leg = vusb::AddPctLegacy();

  RunResult r = Run({"setpos", "3"});
  EXPECT_EQ(r.status, 2);
  EXPECT_FALSE(FileExists(dir_.File("Util.conf")));
  for (int id : {cur, leg}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(PosWrites(id), std::vector<int>{0x22});
    EXPECT_EQ(ResetRequests(id), 2); // the write's and the scan's
    EXPECT_TRUE(vusb::SetReports(id, 0xF3).empty());
    EXPECT_TRUE(Commands(id, 0x08, 0xA8).empty());
  }
  EXPECT_EQ(Enumerated(cur), Ids(0x2575, 0x8753));

  r = Run({"getpos"});
  const std::string both = std::string(kFirmware) +
                           "pos mode=3\nII:Firmware Version:S3.0.12(r325) ChipID:10\npos mode=3\n"
                           "II:PCT Devices:2\n";
  EXPECT_EQ(r.out, both);
}

TEST_F(FlowsTest, ControllerStateCarriesOverToARebuiltBus) {
  vusb::DeviceSpec panel = vusb::PctCurrentSpec();
  panel.name = "panel";
  int pct = vusb::AddDevice(panel);
  // Firmware r368 on chip 8 has the hybrid modes swapped: hybrid-m is stored as mode 3.
  ASSERT_EQ(Run({"--hybrid-m"}).status, 1);
  ASSERT_EQ(PosWrites(pct), std::vector<int>{0x22});
  const Bytes sn = SerialInFlash(pct);
  const std::string state = vusb::SaveStateText();

  // A new session: the same controller as it was left.
  vusb::Reset();
  pct = vusb::AddDevice(panel);
  vusb::ApplyStateText(state);
  EXPECT_EQ(Enumerated(pct), Ids(0x2575, 0x9968));

  RunResult r = Run({"getpos"});
  EXPECT_EQ(r.out, std::string(kFirmware) + "pos mode=3\nII:PCT Devices:1\n");
  EXPECT_EQ(File(".pctdevid.conf"), "2575:9968\n");
  EXPECT_EQ(SerialInFlash(pct), sn);

  r = Run({"--hybrid-m"});
  EXPECT_TRUE(vusb::SetReports(pct, 0xF3).empty());
  EXPECT_TRUE(PosWrites(pct).empty());
}

} // namespace

// ---- Recorded runs and their replays ---------------------------------------------------------

namespace {

using Json = nlohmann::json;

class RecordTest : public FlowsTest {
protected:
  void TearDown() override {
    ClearStopSignals();
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE})
      signal(sig, SIG_DFL);
    FlowsTest::TearDown();
  }

  std::string Recorded(const std::string &name) const { return dir_.File(name); }

  int runs_ = 0;

  static Json Load(const std::string &path) { return Json::parse(ReadBytes(path)); }

  // Replays the recording at path with args (none: its own command line), recording the replay
  // into path.again; the bus is then the recording's alone.
  RunResult Replay(const std::string &path, std::vector<std::string> args = {}) {
    vusb::Reset();
    vusb::LoadReplayFile(path);
    vusb::SetReplayStopsAtDivergence(false);
    if (args.empty())
      for (const std::string &a : vusb::ReplayArguments())
        args.push_back(a);
    args.push_back("--record");
    args.push_back(path + ".again");
    InitRunState();
    ClearRegistries();
    return RunPanelcfg(dir_, std::move(args));
  }

  // Records args on the bus as it is, replays the recording and expects the same run: output,
  // status, and a recording of the replay with the same calls.
  void RoundTrip(const std::vector<std::string> &args) {
    const std::string path = Recorded("run" + std::to_string(++runs_) + ".json");
    std::vector<std::string> recording = args;
    recording.push_back("--record=" + path);
    const RunResult first = Run(recording);
    const RunResult again = Replay(path);
    EXPECT_EQ(vusb::ReplayEnd(), "");
    EXPECT_EQ(again.status, first.status);
    EXPECT_EQ(again.out, first.out);
    const Json a = Load(path);
    const Json b = Load(path + ".again");
    EXPECT_EQ(a["arguments"], Json(args));
    EXPECT_EQ(a["status"], first.status);
    EXPECT_EQ(a["complete"], true);
    EXPECT_EQ(b["calls"], a["calls"]);
    EXPECT_EQ(b["bus"], a["bus"]);
  }
};

TEST_F(RecordTest, EachControllerModelReplaysItsRecordedRun) {
  vusb::AddPctCurrent();
  RoundTrip({});
  vusb::Reset();
  vusb::AddPctLegacy();
  RoundTrip({"--mouse"});
  vusb::Reset();
  vusb::AddResistive();
  WriteBytes(dir_.File("options.ini"), "[options]\nres=1\n");
  RoundTrip({"--rotation"});
  vusb::Reset();
  vusb::AddPctCurrent();
  vusb::AddResistive();
  RoundTrip({"--status", "--json"});
  RoundTrip({"--list"});
  RoundTrip({"--recover"});
}

TEST_F(RecordTest, RecordingChangesNothingTheRunDoes) {
  const int pct = vusb::AddPctCurrent();
  vusb::Dev(pct).params = Stored(Block(0x2575, 0x8753, 368, Bytes(8, 0x11)));
  const RunResult plain = Run({"--mouse"});
  const std::vector<std::string> trace = vusb::Sequence();
  vusb::Reset();
  const int again = vusb::AddPctCurrent();
  vusb::Dev(again).params = Stored(Block(0x2575, 0x8753, 368, Bytes(8, 0x11)));
  const RunResult recorded = Run({"--record", Recorded("mouse.json"), "--mouse"});
  EXPECT_EQ(vusb::Sequence(), trace);
  EXPECT_EQ(recorded.status, plain.status);
  EXPECT_EQ(recorded.out, plain.out);
  EXPECT_EQ(recorded.err, plain.err);
  EXPECT_EQ(File("Util.conf"), "[SETUP]\nPOSMODE=2\n");
  // Every wait of the run is in the recording, in order.
  std::vector<unsigned> pauses;
  const Json doc = Load(Recorded("mouse.json"));
  for (const Json &c : doc["calls"])
    if (c["call"] == "pause")
      pauses.push_back(c["ms"].get<unsigned>());
  EXPECT_EQ(pauses, vusb::Waits());
}

TEST_F(RecordTest, SerialNumbersStayOnTheMachineUnlessAsked) {
  const int pct = vusb::AddPctCurrent();
  ASSERT_EQ(Run({"--record", Recorded("first.json")}).status, 1);
  const Bytes serial = SerialInFlash(pct);
  const Bytes stored(vusb::Dev(pct).params.begin() + 12, vusb::Dev(pct).params.begin() + 20);
  auto hex = [](const Bytes &b) {
    std::string out;
    char x[3];
    for (uint8_t v : b) {
      snprintf(x, sizeof x, "%02x", v);
      out += x;
    }
    return out;
  };
  const std::string text = ReadBytes(Recorded("first.json"));
  EXPECT_EQ(text.find(hex(stored)), std::string::npos);
  EXPECT_EQ(text.find(hex(serial)), std::string::npos);
  const Json doc = Json::parse(text);
  EXPECT_EQ(doc["serials"], "replaced");
  // The draw carries "REDACTED" at the bytes the serial number is taken from.
  bool drawn = false;
  for (const Json &c : doc["calls"])
    if (c["call"] == "random") {
      EXPECT_EQ(c["answer"]["received"], "00004445005200414454454300000000");
      drawn = true;
    }
  EXPECT_TRUE(drawn);

  // A replay writes the block of the recording: home IDs, revision, "REDACTED".
  vusb::Reset();
  vusb::LoadReplayFile(Recorded("first.json"));
  vusb::SetReplayStopsAtDivergence(false);
  InitRunState();
  ClearRegistries();
  const RunResult replayed = RunPanelcfg(dir_, {"--record", Recorded("first.json.again")});
  EXPECT_EQ(vusb::ReplayEnd(), "");
  EXPECT_EQ(replayed.out, std::string(kFirmware) + "II:check pass\nII:PCT Devices:1\n");
  // The block written and read back carries "REDACTED", with a checksum that holds.
  const Bytes redacted{'R', 'E', 'D', 'A', 'C', 'T', 'E', 'D'};
  const Bytes written = Stored(Block(0x2575, 0x8753, 368, redacted));
  const Json again = Load(Recorded("first.json.again"));
  int writes = 0;
  for (const Json &c : again["calls"]) {
    const std::string sent = c.value("sent", "");
    if (sent.rfind("08a822", 0) != 0)
      continue;
    writes++;
    EXPECT_EQ(sent.substr(16, 68), hex(written));
  }
  EXPECT_EQ(writes, 1);

  // --record-serials keeps them.
  vusb::Reset();
  const int kept = vusb::AddPctCurrent();
  ASSERT_EQ(Run({"--record-serials", "--record", Recorded("kept.json")}).status, 1);
  const Bytes keptStored(vusb::Dev(kept).params.begin() + 12, vusb::Dev(kept).params.begin() + 20);
  const std::string keptText = ReadBytes(Recorded("kept.json"));
  EXPECT_NE(keptText.find(hex(keptStored)), std::string::npos);
  EXPECT_EQ(Json::parse(keptText)["serials"], "kept");
}

TEST_F(RecordTest, AReplayDivergesAtTheFirstCallThatDiffers) {
  vusb::AddPctCurrent();
  const std::string path = Recorded("run.json");
  ASSERT_EQ(Run({"--record", path, "getpos"}).status, 1);
  Json doc = Load(path);
  // The first Set_Report of the run: the generation read is a Get_Report, so look for it.
  size_t at = 0;
  for (size_t i = 0; i < doc["calls"].size(); i++)
    if (doc["calls"][i]["call"] == "usb_control_msg" && doc["calls"][i].contains("sent")) {
      at = i;
      break;
    }
  ASSERT_GT(at, 0u);
  const Json removed = doc["calls"][at];

  // One call removed: the run asks for it where the recording has the next one.
  Json cut = doc;
  cut["calls"].erase(at);
  WriteBytes(Recorded("cut.json"), cut.dump());
  Replay(Recorded("cut.json"));
  Json asked = removed;
  asked.erase("answer");
  Json next = cut["calls"][at];
  next.erase("answer");
  EXPECT_EQ(vusb::ReplayEnd(), "replay diverges at call " + std::to_string(at + 1) + ": recorded " +
                                   next.dump() + ", asked " + asked.dump());

  // One byte sent changed: the run's own request differs at that call.
  Json changed = doc;
  std::string sent = changed["calls"][at]["sent"];
  sent[3] = sent[3] == '0' ? '1' : '0';
  changed["calls"][at]["sent"] = sent;
  WriteBytes(Recorded("changed.json"), changed.dump());
  Replay(Recorded("changed.json"));
  Json recorded = changed["calls"][at];
  recorded.erase("answer");
  EXPECT_EQ(vusb::ReplayEnd(), "replay diverges at call " + std::to_string(at + 1) + ": recorded " +
                                   recorded.dump() + ", asked " + asked.dump());

  // One reply byte changed: the firmware identity now reads as another chip, and the run parts
  // from the recording at the first call it makes otherwise.
  Json reply = doc;
  size_t identity = 0;
  for (size_t i = 0; i < reply["calls"].size() && identity == 0; i++) {
    const Json &c = reply["calls"][i];
    if (c["call"] == "usb_control_msg" && c["value"] == 0x03F2)
      identity = i;
  }
  ASSERT_GT(identity, 0u);
  std::string bytes = reply["calls"][identity]["answer"]["received"];
  ASSERT_EQ(bytes.substr(0, 10), "f270810412");
  bytes.replace(8, 2, "32"); // identity 0x32048170: the legacy generation
  reply["calls"][identity]["answer"]["received"] = bytes;
  WriteBytes(Recorded("reply.json"), reply.dump());
  const RunResult parted = Replay(Recorded("reply.json"));
  const std::string message = vusb::ReplayEnd();
  EXPECT_EQ(message.rfind("replay diverges at call " + std::to_string(identity + 2) + ": ", 0), 0u)
      << message;
  EXPECT_EQ(parted.out.find("pos mode="), std::string::npos);
}

TEST_F(RecordTest, InterruptedRunLeavesARecordingMarkedIncomplete) {
  vusb::AddPctCurrent();
  vusb::RaiseAt("wait", 2, SIGTERM);
  const RunResult r = Run({"--mouse", "--record", Recorded("stopped.json")});
  EXPECT_EQ(r.status, 143);
  const Json doc = Load(Recorded("stopped.json"));
  EXPECT_EQ(doc["complete"], false);
  EXPECT_EQ(doc["interrupted"], "SIGTERM");
  EXPECT_EQ(doc["status"], 143);
  EXPECT_EQ(doc["calls"].back()["call"], "usb_close");
}

TEST_F(RecordTest, AnExistingFileIsNeverOverwritten) {
  vusb::AddPctCurrent();
  WriteBytes(Recorded("taken.json"), "mine\n");
  const RunResult r = Run({"--mouse", "--record", Recorded("taken.json")});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "panelcfg: --record " + Recorded("taken.json") +
                       ": the recording cannot be created: File exists\nTry 'panelcfg --help'.\n");
  EXPECT_EQ(ReadBytes(Recorded("taken.json")), "mine\n");
  EXPECT_TRUE(vusb::Log().empty());
  EXPECT_FALSE(FileExists(dir_.File("Util.conf")));

  EXPECT_EQ(Run({"--record"}).err,
            "panelcfg: --record needs a file name\nTry 'panelcfg --help'.\n");
  EXPECT_EQ(Run({"--record", "a", "--record=b"}).status, 2);
  EXPECT_EQ(Run({"--record-serials", "getpos"}).err,
            "panelcfg: --record-serials needs --record FILE\nTry 'panelcfg --help'.\n");
  EXPECT_TRUE(vusb::Log().empty());
}

} // namespace
