// Resistive controllers in a run: the firmware gate, the rotation reset, the rotation word,
// the registries and their list files, and the exit status that never counts them.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "base/state.h"
#include "lists/registry.h"
#include "log_lines.h"
#include "panelcfg_run.h"
#include "resistive/resproto.h"
#include "resistive_frames.h"
#include "run/driver.h"
#include "scan/devtable.h"
#include "scan/scan.h"
#include "scratch_dir.h"
#include "vusb.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using Seq = Lines;

const char kOptionsRes[] = "[options]\nres=1\n";

vusb::DeviceSpec Resistive(uint16_t vid, uint16_t pid, const std::string &firmware,
                           const std::string &manufacturer, const std::string &product) {
  vusb::DeviceSpec spec = vusb::ResistiveSpec(vid, pid, firmware);
  spec.strings[1] = manufacturer;
  spec.strings[2] = product;
  return spec;
}

// The feature reports exchanged with the device and the waits made while it was in hand, in
// order.
Seq Protocol(int device) {
  Seq out;
  int inHand = -1;
  for (const vusb::Entry &e : vusb::Log()) {
    if (e.kind != vusb::Kind::Wait)
      inHand = e.device;
    if (inHand == device && (e.kind == vusb::Kind::Wait || e.IsSetReport() || e.IsGetReport()))
      out.push_back(vusb::Describe(e));
  }
  return out;
}

const Seq kFirmwareV29 = {kOI, "wait 300", kV29};
const Seq kReadRotation0 = {kGP, "wait 50", kRot0};
const Seq kWriteRotation0 = {kSP0, "wait 50", kAck};
const Seq kWriteRotation1 = {kSP1, "wait 50", kAck};
const Seq kMakePermanent = {kPL, "wait 50", kAck};
const Seq kReset = {kRR};

class ResScanTest : public RunTest {
protected:
  void Options(const std::string &text) { WriteBytes(dir_.File("options.ini"), text); }

  // The next case of a table, as a new process would start it in the panel directory dir: an
  // empty bus, nothing registered, resistive support switched on.
  static void StartOver(const ScratchDir &dir) {
    vusb::Reset();
    ClearRegistries();
    WriteBytes(dir.File("options.ini"), kOptionsRes);
  }

  // After the run: the device was released and closed, and nothing is left open.
  void ExpectLetGo(int device) {
    Seq calls = vusb::Sequence(device);
    ASSERT_GE(calls.size(), 2u);
    // Released even when never claimed; the result does not matter.
    EXPECT_EQ(0u, calls[calls.size() - 2].rfind("usb_release_interface 0", 0));
    EXPECT_EQ("usb_close", calls.back());
    EXPECT_EQ(0, vusb::OpenHandleCount());
  }
};

TEST_F(ResScanTest, UnrotatedControllerIsCheckedAndRegistered) {
  Options(kOptionsRes);
  int res = vusb::AddDevice(Resistive(0x1234, 0x8888, "V2.9", "Res Co", "Resistive 15"));
  RunResult r = RunPanelcfg(dir_, {});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("II:Firmware Version:V2.9\n"
            "Res Rotation:0\n"
            "II:PCT Devices:0\n",
            r.out);
  EXPECT_EQ("", r.err);
  // No write and no "PL" for a controller that is not rotated.
  EXPECT_EQ(Concat({kFirmwareV29, kReadRotation0, kReset}), Protocol(res));
  ExpectLetGo(res);
  EXPECT_EQ(1, vusb::Dev(res).resets);
  EXPECT_EQ("Res Co Resistive 15\n", ReadBytes(dir_.File("rmanuflist.conf")));
  EXPECT_EQ("Resistive 15\n", ReadBytes(dir_.File(".rprodlist.conf")));
  EXPECT_EQ("1234:8888\n", ReadBytes(dir_.File(".resdevid.conf")));
  EXPECT_EQ((std::vector<std::string>{".resdevid.conf", ".rprodlist.conf", "options.ini",
                                      "rmanuflist.conf"}),
            dir_.Entries());
}

TEST_F(ResScanTest, RotatedControllerIsSetBackToZero) {
  struct Case {
    const char *name;
    uint16_t rotation;
    std::vector<vusb::TransferFault> faults;
    std::string printed; // the rotation line, empty when the read failed
    Seq read;
  };
  vusb::TransferFault gpFails;
  gpFails.request = 0x09;
  gpFails.command = 0x06; // length byte of the "GP" frame
  gpFails.result = -32;
  const Case cases[] = {
      {"rotation 180",
       0x00B4,
       {},
       "Res Rotation:180\n",
       {kGP, "wait 50", "get 01 06 01 30 30 42 34 0d /10"}},
      {"rotation 1",
       1,
       {},
       "Res Rotation:1\n",
       {kGP, "wait 50", "get 01 06 01 30 30 30 31 0d /10"}},
      {"rotation unreadable",
       0x00B4,
       {gpFails},
       "",
       Repeat(4, {kGP + std::string(" = -32"), "wait 50"})},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    StartOver(dir);
    vusb::DeviceSpec spec = vusb::ResistiveSpec();
    spec.rotation = c.rotation;
    spec.faults.transfers = c.faults;
    int res = vusb::AddDevice(spec);
    RunResult r = RunPanelcfg(dir, {});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("II:Firmware Version:V2.9\n" + c.printed + "II:PCT Devices:0\n", r.out);
    EXPECT_EQ(Concat({kFirmwareV29, c.read, kWriteRotation0, kMakePermanent, kReset}),
              Protocol(res));
    EXPECT_EQ(0, vusb::Dev(res).rotation);
    ExpectLetGo(res);
    // Registered whatever the rotation was.
    EXPECT_EQ("1234:8888\n", ReadBytes(dir.File(".resdevid.conf")));
    EXPECT_EQ("Orrin Devices RT-4W Resistive Touch\n", ReadBytes(dir.File("rmanuflist.conf")));
    EXPECT_EQ("RT-4W Resistive Touch\n", ReadBytes(dir.File(".rprodlist.conf")));
  }
}

TEST_F(ResScanTest, UnacknowledgedWritesDoNotStopTheRun) {
  Options(kOptionsRes);
  vusb::DeviceSpec spec = vusb::ResistiveSpec();
  spec.rotation = 2;
  // The "SP" requests (length byte 0x0A) never go through.
  vusb::TransferFault sp;
  sp.request = 0x09;
  sp.command = 0x0A;
  spec.faults.transfers = {sp};
  int res = vusb::AddDevice(spec);
  vusb::AddResistive(0x1DDB, 0x0001);
  RunResult r = RunPanelcfg(dir_, {});
  EXPECT_EQ(0, r.status);
  Seq protocol = Protocol(res);
  Seq expected = Concat({kFirmwareV29,
                         {kGP, "wait 50", "get 01 06 01 30 30 30 32 0d /10"},
                         Repeat(11, {kSP0 + std::string(" = -32"), "wait 50", "wait 300"}),
                         kMakePermanent,
                         kReset});
  EXPECT_EQ(expected, protocol);
  EXPECT_EQ(2, vusb::Dev(res).rotation);
  // Both controllers are registered.
  EXPECT_EQ("1234:8888\n1ddb:0001\n", ReadBytes(dir_.File(".resdevid.conf")));
}

TEST_F(ResScanTest, RotationWordSetsRotationOneWhateverTheFirmware) {
  struct Case {
    const char *name;
    std::string firmware;
    int statusOne; // answers "1" to every request
    Seq protocol;
    std::string out;
    uint16_t rotation;
  };
  const Case cases[] = {
      {"supported firmware", "V2.9", 0,
       Concat({kWriteRotation1,
               kMakePermanent,
               {kGP, "wait 50", "get 01 06 01 30 30 30 31 0d /10"},
               kReset}),
       "Res Rotation:1\nII:PCT Devices:0\n", 1},
      {"refused firmware", "V3.01", 0,
       Concat({kWriteRotation1,
               kMakePermanent,
               {kGP, "wait 50", "get 01 06 01 30 30 30 31 0d /10"},
               kReset}),
       "Res Rotation:1\nII:PCT Devices:0\n", 1},
      {"no acknowledgement", "V2.9", -1,
       Concat({Repeat(11, {kSP1, "wait 50", kStatus1, "wait 300"}),
               Repeat(11, {kPL, "wait 50", kStatus1, "wait 300"}),
               Repeat(4, {kGP, "wait 50", kStatus1}), kReset}),
       "II:PCT Devices:0\n", 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    StartOver(dir);
    int res = vusb::AddResistive(0x1234, 0x8888, c.firmware);
    vusb::Dev(res).faults.resStatusOne = c.statusOne;
    RunResult r = RunPanelcfg(dir, {"--rotation"});
    EXPECT_EQ(0, r.status);
    // No firmware query, no version line, no refusal.
    EXPECT_EQ(c.out, r.out);
    EXPECT_EQ(c.protocol, Protocol(res));
    EXPECT_EQ(c.rotation, vusb::Dev(res).rotation);
    ExpectLetGo(res);
    // Nothing registered: no list file written.
    EXPECT_EQ(0, rManufCnt);
    EXPECT_EQ(0, rDevIDCnt);
    EXPECT_EQ(std::vector<std::string>{"options.ini"}, dir.Entries());
  }
}

TEST_F(ResScanTest, RefusedOrSilentFirmwareGetsOnlyTheReset) {
  struct Case {
    const char *name;
    std::string firmware;
    int statusOne;
    std::string out;
    Seq query;
  };
  const Case cases[] = {
      {"V3.0",
       "V3.0",
       0,
       "II:Firmware Version:V3.0\n" + kUnsupported,
       {kOI, "wait 300", "get 01 06 01 56 33 2e 30 0d /20"}},
      {"V3.01",
       "V3.01",
       0,
       "II:Firmware Version:V3.01\n" + kUnsupported,
       {kOI, "wait 300", "get 01 07 01 56 33 2e 30 31 0d /20"}},
      {"xV3.0y",
       "xV3.0y",
       0,
       "II:Firmware Version:xV3.0y\n" + kUnsupported,
       {kOI, "wait 300", "get 01 08 01 78 56 33 2e 30 79 0d /20"}},
      {"empty version", "", 0, "II:Firmware Version:\n", {kOI, "wait 300", "get 01 02 01 0d /20"}},
      {"no answer", "V2.9", -1, "",
       Repeat(11, {kOI, "wait 300", "get 01 03 01 31 0d /20", "wait 300"})},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    StartOver(dir);
    // List files of an earlier run stay as they were.
    WriteBytes(dir.File(".resdevid.conf"), "0a0b:00c1\n");
    vusb::DeviceSpec spec = vusb::ResistiveSpec(0x1234, 0x8888, c.firmware);
    spec.rotation = 3;
    int res = vusb::AddDevice(spec);
    vusb::Dev(res).faults.resStatusOne = c.statusOne;
    RunResult r = RunPanelcfg(dir, {});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(c.out + "II:PCT Devices:0\n", r.out);
    EXPECT_EQ(Concat({c.query, kReset}), Protocol(res));
    EXPECT_EQ(3, vusb::Dev(res).rotation);
    EXPECT_EQ(1, vusb::Dev(res).resets);
    ExpectLetGo(res);
    EXPECT_EQ(0, rManufCnt);
    EXPECT_EQ(0, rDevIDCnt);
    EXPECT_EQ((std::vector<std::string>{".resdevid.conf", "options.ini"}), dir.Entries());
    EXPECT_EQ("0a0b:00c1\n", ReadBytes(dir.File(".resdevid.conf")));
  }
}

TEST_F(ResScanTest, EveryOtherWordRunsTheFirmwareGate) {
  const std::vector<std::vector<std::string>> words = {
      {},       {"--digitizer"},  {"--mouse"},     {"--hybrid-d"}, {"--hybrid-m"},  {"--clean"},
      {"--sn"}, {"--mouse-test"}, {"--digi-test"}, {"getpos"},     {"setpos", "3"}, {"unknown"},
  };
  for (const std::vector<std::string> &args : words) {
    SCOPED_TRACE(args.empty() ? std::string("(no word)") : args[0]);
    ScratchDir dir;
    StartOver(dir);
    vusb::DeviceSpec spec = vusb::ResistiveSpec();
    spec.rotation = 0x10;
    int res = vusb::AddDevice(spec);
    RunResult r = RunPanelcfg(dir, args);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(Concat({kFirmwareV29,
                      {kGP, "wait 50", "get 01 06 01 30 30 31 30 0d /10"},
                      kWriteRotation0,
                      kMakePermanent,
                      kReset}),
              Protocol(res));
    EXPECT_NE(std::string::npos, r.out.find("II:Firmware Version:V2.9\nRes Rotation:16\n"))
        << r.out;
    EXPECT_EQ("1234:8888\n", ReadBytes(dir.File(".resdevid.conf")));
  }
}

TEST_F(ResScanTest, ProductIdSetsFollowTheOptions) {
  struct Case {
    const char *options; // nullptr: no options file
    uint16_t vid, pid;
    bool resistive;
  };
  const Case cases[] = {
      {kOptionsRes, 0x1234, 0x8888, true},
      {kOptionsRes, 0x1234, 0x2088, false},
      {kOptionsRes, 0x22B9, 0x1688, true},
      {kOptionsRes, 0x1BFD, 0x0005, true},
      {kOptionsRes, 0x1DDB, 0x2988, false},
      {kOptionsRes, 0x1235, 0x8888, false},
      {"[options]\nres=1\nnew_fw=1\n", 0x1DDB, 0x2988, true},
      {"[options]\nres=1\nnew_fw=1\n", 0x1234, 0x2088, true},
      {"[options]\nres=1\nnew_fw=1\n", 0x1DDB, 0x1688, false},
      {"[options]\nres=1\nnew_fw=1\n", 0x22B9, 0x8888, false},
      {"[options]\nres=0\nnew_fw=1\n", 0x1DDB, 0x2988, false},
      {"[options]\nres=0\n", 0x1234, 0x8888, false},
      {nullptr, 0x1234, 0x8888, false},
  };
  for (const Case &c : cases) {
    char ids[16];
    snprintf(ids, sizeof ids, "%04x:%04x", c.vid, c.pid);
    SCOPED_TRACE(std::string(c.options != nullptr ? c.options : "(no options.ini) ") + ids);
    ScratchDir dir;
    vusb::Reset();
    ClearRegistries();
    if (c.options != nullptr)
      WriteBytes(dir.File("options.ini"), c.options);
    int res = vusb::AddResistive(c.vid, c.pid);
    RunResult r = RunPanelcfg(dir, {});
    EXPECT_EQ(0, r.status);
    if (c.resistive) {
      EXPECT_EQ(Concat({kFirmwareV29, kReadRotation0, kReset}), Protocol(res));
      char id[16];
      snprintf(id, sizeof id, "%04x:%04x\n", c.vid, c.pid);
      EXPECT_EQ(id, ReadBytes(dir.File(".resdevid.conf")));
    } else {
      // Never opened, nothing sent.
      EXPECT_EQ(0, vusb::Dev(res).opens);
      EXPECT_TRUE(vusb::Transfers(res).empty());
      EXPECT_FALSE(FileExists(dir.File(".resdevid.conf")));
    }
  }
}

TEST_F(ResScanTest, EveryProductIdOfTheActiveSetIsResistive) {
  // Straight through the scan, with the options record set in place of an options file.
  const int oldSet[16] = {0x1688, 0x0001, 0x0006, 0x0008, 0x3050, 0x1668, 0x1568, 0x1368,
                          0x1268, 0x6968, 0x5968, 0x1968, 0x2968, 0x8008, 0x0005, 0x8888};
  const int newSet[10] = {0x2088, 0x2188, 0x2288, 0x2388, 0x2488,
                          0x2588, 0x2688, 0x2788, 0x2888, 0x2988};
  const int vids[4] = {0x22B9, 0x1BFD, 0x1DDB, 0x1234};
  LoadVidPid();
  for (int newFw = 0; newFw <= 1; newFw++) {
    for (int inNewSet = 0; inNewSet <= 1; inNewSet++) {
      const int *pids = inNewSet ? newSet : oldSet;
      const int count = inNewSet ? 10 : 16;
      for (int i = 0; i < count; i++) {
        const int vid = vids[i % 4];
        char trace[64];
        snprintf(trace, sizeof trace, "new_fw %d, %04x:%04x", newFw, vid, pids[i]);
        SCOPED_TRACE(trace);
        vusb::Reset();
        ClearRegistries();
        MyConfig.res = 1;
        MyConfig.new_fw = static_cast<unsigned char>(newFw);
        FunctionMode = FM_CONFIGURE;
        int res = vusb::AddResistive(static_cast<uint16_t>(vid), static_cast<uint16_t>(pids[i]));
        CaptureStdout();
        int pctCount = FindMatchProduct();
        GetCapturedStdout();
        EXPECT_EQ(0, pctCount);
        const bool expected = newFw == inNewSet;
        EXPECT_EQ(expected ? 1 : 0, rDevIDCnt);
        EXPECT_EQ(expected ? 1 : 0, rManufCnt);
        EXPECT_EQ(expected ? 1 : 0, vusb::Dev(res).resets);
        if (expected) {
          char id[16];
          snprintf(id, sizeof id, "%04x:%04x", vid, pids[i]);
          EXPECT_STREQ(id, rDevID[0]);
        }
      }
    }
  }
}

TEST_F(ResScanTest, ListFilesHoldOneLinePerDistinctController) {
  Options(kOptionsRes);
  vusb::AddDevice(Resistive(0x1234, 0x8888, "V2.9", "Res Co", "Resistive 15"));
  vusb::AddDevice(Resistive(0x1234, 0x8888, "V2.9", "Res Co", "Resistive 15"));
  vusb::AddDevice(Resistive(0x1DDB, 0x0001, "V1.2", "Other Maker", "Resistive 15"));
  vusb::AddDevice(Resistive(0x1DDB, 0x0006, "V3.0", "Refused Co", "Old Panel"));
  vusb::DeviceSpec second = Resistive(0x22B9, 0x1688, "V2.0", "", "");
  second.bus = 2;
  vusb::AddDevice(second);
  RunResult r = RunPanelcfg(dir_, {});
  EXPECT_EQ(0, r.status);
  EXPECT_TRUE(r.out.ends_with("II:PCT Devices:0\n")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("II:Firmware Version:V3.0\n" + kUnsupported)) << r.out;
  // Both identical controllers were handled; the refused one only reset.
  for (int id = 0; id < 5; id++) {
    SCOPED_TRACE(id);
    EXPECT_EQ(1, vusb::Dev(id).resets);
    EXPECT_EQ(1, vusb::Dev(id).opens);
  }
  // The empty name key (a single blank) occurs in every earlier row: not stored again.
  EXPECT_EQ("Res Co Resistive 15\nOther Maker Resistive 15\n",
            ReadBytes(dir_.File("rmanuflist.conf")));
  EXPECT_EQ("Resistive 15\nResistive 15\n", ReadBytes(dir_.File(".rprodlist.conf")));
  EXPECT_EQ("1234:8888\n1ddb:0001\n22b9:1688\n", ReadBytes(dir_.File(".resdevid.conf")));
  EXPECT_EQ(2, rManufCnt);
  EXPECT_EQ(3, rDevIDCnt);
  // No PCT list file.
  EXPECT_EQ((std::vector<std::string>{".resdevid.conf", ".rprodlist.conf", "options.ini",
                                      "rmanuflist.conf"}),
            dir_.Entries());
}

TEST_F(ResScanTest, ResistiveControllersAreNeverCounted) {
  Options(kOptionsRes);
  int res1 = vusb::AddResistive();
  int pct = vusb::AddPctCurrent();
  int res2 = vusb::AddResistive(0x1BFD, 0x2968);
  RunResult r = RunPanelcfg(dir_, {});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("1234:8888\n1bfd:2968\n", ReadBytes(dir_.File(".resdevid.conf")));
  EXPECT_EQ("2575:8753\n", ReadBytes(dir_.File(".pctdevid.conf")));
  EXPECT_EQ(Concat({kFirmwareV29, kReadRotation0, kReset}), Protocol(res1));
  EXPECT_FALSE(vusb::SetReports(pct).empty());
  EXPECT_EQ(1, vusb::Dev(res2).resets);
  // Rotation word: the resistive controllers are left out of the count as well.
  ClearRegistries();
  ScratchDir dir;
  WriteBytes(dir.File("options.ini"), kOptionsRes);
  vusb::Reset();
  vusb::AddResistive();
  vusb::AddResistive(0x1BFD, 0x2968);
  r = RunPanelcfg(dir, {"--rotation"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("Res Rotation:1\nRes Rotation:1\nII:PCT Devices:0\n", r.out);
}

TEST_F(ResScanTest, ControllerNotTakenOverGetsNoCommand) {
  Options(kOptionsRes);
  int res = vusb::AddResistive();
  vusb::Dev(res).faults.claimErrno = EBUSY;
  RunResult r = RunPanelcfg(dir_, {});
  EXPECT_EQ(0, r.status);
  EXPECT_TRUE(vusb::Transfers(res).empty());
  EXPECT_EQ(0, vusb::Dev(res).resets);
  ExpectLetGo(res);
  EXPECT_EQ(std::vector<std::string>{"options.ini"}, dir_.Entries());
}

TEST_F(ResScanTest, DebugRunTracesTheGateAndTheRotation) {
  Options(kOptionsRes);
  WriteBytes(dir_.File("enabledebug"), "");
  vusb::AddDevice(Resistive(0x1234, 0x8888, "V2.9", "Res Co", "Resistive 15"));
  RunResult r = RunPanelcfg(dir_, {});
  EXPECT_EQ(0, r.status);
  // The unprefixed rotation line comes right after the dump of the answer it was read from.
  EXPECT_NE(std::string::npos, r.out.find("II:Firmware Version:V2.9\n"
                                          "panelcfg DD:GetResRotation---start\n"
                                          "panelcfg DD:0x01 0x06 0x01 0x30 0x30 0x30 0x30 0x0d\n"))
      << r.out;
  EXPECT_NE(std::string::npos, r.out.find("panelcfg DD:GetResRotation---End\n"
                                          "Res Rotation:0\n"))
      << r.out;
  EXPECT_EQ("1234:8888\n", ReadBytes(dir_.File(".resdevid.conf")));
}

} // namespace
