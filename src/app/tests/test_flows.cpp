// Several runs of the utility in a row against the same controllers, each run as a fresh
// process would see it: the mode switches, what the next enumeration shows, the identity block
// kept in the controller, and the files each run leaves.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "base/state.h"
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
