// panelcfg --list: one line per USB device, read-only, classified under the loaded options.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/state.h"
#include "panelcfg_run.h"
#include "run/driver.h"
#include "scan/devtable.h"
#include "scan/scan.h"
#include "scratch_dir.h"
#include "vusb.h"

namespace {

vusb::DeviceSpec Named(vusb::DeviceSpec spec, int bus, const std::string &manufacturer,
                       const std::string &product) {
  spec.bus = bus;
  spec.strings[1] = manufacturer;
  spec.strings[2] = product;
  return spec;
}

// The libusb calls allowed while listing: enumeration, and opening a device to read strings.
const std::set<std::string> kReadOnlyCalls = {
    "usb_init", "usb_find_busses",       "usb_find_devices", "usb_get_busses",
    "usb_open", "usb_get_string_simple", "usb_close"};

class ListingTest : public RunTest {
protected:
  void Options(const std::string &lines) {
    WriteBytes(dir_.File("options.ini"), "[options]\n" + lines);
  }
  // Every libusb call of the run that is not one of kReadOnlyCalls.
  static std::vector<std::string> OtherCalls() {
    std::vector<std::string> other;
    for (const std::string &call : vusb::Calls())
      if (kReadOnlyCalls.count(call) == 0)
        other.push_back(call);
    return other;
  }
};

TEST_F(ListingTest, OneLinePerDeviceWithFamilyAndStrings) {
  Options("res=1\n");
  vusb::AddDevice(Named(vusb::PlainSpec(0x1d6b, 0x0002), 1, "Linux", "Root hub"));
  vusb::AddDevice(Named(vusb::PctCurrentSpec(), 1, "Maker", "Touch Panel 21"));
  vusb::AddDevice(Named(vusb::PctLegacySpec(), 2, "Old Maker", "Legacy Panel"));
  vusb::AddDevice(Named(vusb::ResistiveSpec(), 2, "Res Co", "Resistive 15"));
  vusb::AddDevice(Named(vusb::PlainSpec(0x046d, 0xc077), 2, "Mouse Co", "Mouse"));

  RunResult r = RunPanelcfg(dir_, {"--list"});

  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "bus 001 device 002: 1d6b:0002 not supported\n"
                   "bus 001 device 003: 2575:8753 PCT, manufacturer \"Maker\", product \"Touch "
                   "Panel 21\"\n"
                   "bus 002 device 002: 22b9:0040 PCT, manufacturer \"Old Maker\", product "
                   "\"Legacy Panel\"\n"
                   "bus 002 device 003: 1234:8888 resistive, manufacturer \"Res Co\", product "
                   "\"Resistive 15\"\n"
                   "bus 002 device 004: 046d:c077 not supported\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(ListingTest, NothingButStringReadsReachTheDevices) {
  Options("res=1\n");
  const int plain = vusb::AddPlain(0x046d, 0xc077);
  const int pct = vusb::AddPctCurrent();
  const int legacy = vusb::AddPctLegacy();
  const int res = vusb::AddResistive();
  vusb::Dev(pct).SetPosMode(3);

  RunResult r = RunPanelcfg(dir_, {"--list"});
  ASSERT_EQ(r.status, 0);

  // No control transfer at all (no feature report, no reset), no pause, no claim or detach.
  EXPECT_TRUE(vusb::Transfers().empty());
  EXPECT_TRUE(vusb::Waits().empty());
  EXPECT_EQ(OtherCalls(), std::vector<std::string>{});
  // The device that matches no table is not even opened.
  EXPECT_EQ(vusb::Calls(plain), std::vector<std::string>{});
  EXPECT_EQ(vusb::Dev(plain).opens, 0);
  const std::vector<std::string> stringsOnly = {"usb_open", "usb_get_string_simple",
                                                "usb_get_string_simple", "usb_close"};
  for (int id : {pct, legacy, res}) {
    SCOPED_TRACE(vusb::Dev(id).name);
    EXPECT_EQ(vusb::Calls(id), stringsOnly);
    const vusb::Device &d = vusb::Dev(id);
    EXPECT_EQ(d.boundDriver, "usbhid");
    EXPECT_EQ(d.claimedInterface, -1);
    EXPECT_EQ(d.resets, 0);
    EXPECT_EQ(d.transfers, 0);
  }
  EXPECT_EQ(vusb::OpenHandleCount(), 0);
  // The controller keeps its mode and its IDs.
  EXPECT_EQ(vusb::Dev(pct).PosMode(), 3);
  vusb::ReEnumerate();
  EXPECT_EQ(vusb::Dev(pct).pid, 0x8753);
}

TEST_F(ListingTest, FamilyFollowsTheOptions) {
  vusb::AddPctCurrent(0x22b9, 0x8753);
  vusb::AddPctCurrent(0x1bfd, 0x8753);
  vusb::AddResistive(0x1234, 0x8888);
  vusb::AddResistive(0x1ddb, 0x2988);
  for (int id = 0; id < vusb::DeviceCount(); id++) {
    vusb::Dev(id).strings[1] = "M";
    vusb::Dev(id).strings[2] = "P";
  }
  struct Case {
    const char *options; // nullptr: no options.ini
    const char *out;
  };
  const Case cases[] = {
      {nullptr, "bus 001 device 002: 22b9:8753 PCT, manufacturer \"M\", product \"P\"\n"
                "bus 001 device 003: 1bfd:8753 not supported\n"
                "bus 001 device 004: 1234:8888 not supported\n"
                "bus 001 device 005: 1ddb:2988 not supported\n"},
      {"res=1\n", "bus 001 device 002: 22b9:8753 PCT, manufacturer \"M\", product \"P\"\n"
                  "bus 001 device 003: 1bfd:8753 not supported\n"
                  "bus 001 device 004: 1234:8888 resistive, manufacturer \"M\", product \"P\"\n"
                  "bus 001 device 005: 1ddb:2988 not supported\n"},
      {"res=1\nnew_fw=1\nalt_pct_vendors=1\n",
       "bus 001 device 002: 22b9:8753 not supported\n"
       "bus 001 device 003: 1bfd:8753 PCT, manufacturer \"M\", product \"P\"\n"
       "bus 001 device 004: 1234:8888 not supported\n"
       "bus 001 device 005: 1ddb:2988 resistive, manufacturer \"M\", product \"P\"\n"},
      // A file that cannot be parsed counts as missing, as in a run.
      {"res=1\nbogus\n", "bus 001 device 002: 22b9:8753 PCT, manufacturer \"M\", product \"P\"\n"
                         "bus 001 device 003: 1bfd:8753 not supported\n"
                         "bus 001 device 004: 1234:8888 not supported\n"
                         "bus 001 device 005: 1ddb:2988 not supported\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.options != nullptr ? c.options : "(no options.ini)");
    std::filesystem::remove(dir_.File("options.ini"));
    if (c.options != nullptr)
      Options(c.options);
    vusb::ClearLog();
    RunResult r = RunPanelcfg(dir_, {"--list"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, c.out);
    // Unsupported devices are never opened, whatever the options.
    std::vector<std::string> lines;
    for (size_t from = 0, nl; (nl = r.out.find('\n', from)) != std::string::npos; from = nl + 1)
      lines.push_back(r.out.substr(from, nl - from));
    ASSERT_EQ(lines.size(), 4u);
    for (int id = 0; id < 4; id++)
      if (lines[id].find("not supported") != std::string::npos) {
        EXPECT_EQ(vusb::Calls(id), std::vector<std::string>{}) << lines[id];
      }
  }
}

TEST_F(ListingTest, ShippedExampleOptionsAreAccepted) {
  // The example installed with the documentation, with resistive support switched on.
  std::filesystem::path example =
      std::filesystem::path(__FILE__).parent_path() / "../../../docs/options.ini.example";
  std::string text = ReadBytes(example.string());
  ASSERT_NE(text, "<missing>") << example;
  size_t at = text.find("\nres=0\n");
  ASSERT_NE(at, std::string::npos);
  text.replace(at, 7, "\nres=1\n");
  WriteBytes(dir_.File("options.ini"), text);
  vusb::AddDevice(Named(vusb::ResistiveSpec(), 1, "Res Co", "R"));

  RunResult r = RunPanelcfg(dir_, {"--list"});

  EXPECT_EQ(r.out, "bus 001 device 002: 1234:8888 resistive, manufacturer \"Res Co\", product "
                   "\"R\"\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(ListingTest, DevicesThatCannotBeReadSayWhy) {
  const int denied = vusb::AddPctCurrent();
  vusb::Dev(denied).faults.openErrno = EACCES;
  const int noManufacturer = vusb::AddPctCurrent(0x2575, 0x9969);
  vusb::Dev(noManufacturer).faults.unreadableStrings = {1};
  vusb::Dev(noManufacturer).strings[2] = "Panel";
  const int mute = vusb::AddPctLegacy();
  vusb::Dev(mute).faults.stringsUnreadable = true;
  const int odd = vusb::AddPctCurrent(0x2149, 0x3d28);
  vusb::Dev(odd).strings[1] = "";
  vusb::Dev(odd).strings[2] = "Two\nLines\t\x7f";

  RunResult r = RunPanelcfg(dir_, {"--list"});

  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "bus 001 device 002: 2575:8753 PCT, cannot be opened: Permission denied\n"
                   "bus 001 device 003: 2575:9969 PCT, manufacturer unreadable (Broken pipe), "
                   "product \"Panel\"\n"
                   "bus 001 device 004: 22b9:0040 PCT, manufacturer unreadable (Broken pipe), "
                   "product unreadable (Broken pipe)\n"
                   "bus 001 device 005: 2149:3d28 PCT, manufacturer \"\", product "
                   "\"Two?Lines??\"\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(vusb::OpenHandleCount(), 0);
  EXPECT_TRUE(vusb::Transfers().empty());
}

TEST_F(ListingTest, WritesNoFile) {
  Options("res=1\n");
  WriteBytes(dir_.File("Util.conf"), "[SETUP]\nPOSMODE=3\n");
  WriteBytes(dir_.File("manuflist.conf"), "Earlier Run\n");
  vusb::AddPctCurrent();
  vusb::AddResistive();

  RunResult r = RunPanelcfg(dir_, {"--list"});

  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(dir_.Entries(),
            (std::vector<std::string>{"Util.conf", "manuflist.conf", "options.ini"}));
  EXPECT_EQ(ReadBytes(dir_.File("Util.conf")), "[SETUP]\nPOSMODE=3\n");
  EXPECT_EQ(ReadBytes(dir_.File("manuflist.conf")), "Earlier Run\n");
}

TEST_F(ListingTest, DebugModeAddsTheClassificationTraces) {
  std::filesystem::create_directory(dir_.File("enabledebug"));
  vusb::AddDevice(Named(vusb::PctCurrentSpec(), 1, "Maker", "Panel"));
  vusb::AddPlain(0x046d, 0xc077);

  RunResult r = RunPanelcfg(dir_, {"--list"});

  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "panelcfg DD:v0.1\n"
                   "panelcfg DD:main start argc=2\n"
                   "panelcfg DD:CheckUSBID 0x2575 0x8753\n"
                   "panelcfg DD:CheckUSBID PCT 0x2575 0x8753---match\n"
                   "bus 001 device 002: 2575:8753 PCT, manufacturer \"Maker\", product \"Panel\"\n"
                   "panelcfg DD:CheckUSBID 0x46d 0xc077\n"
                   "bus 001 device 003: 046d:c077 not supported\n");
  EXPECT_EQ(dir_.Entries(), std::vector<std::string>{"enabledebug"});
}

TEST_F(ListingTest, EmptyBusIsReportedOnStandardError) {
  RunResult r = RunPanelcfg(dir_, {"--list"});

  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "panelcfg: no USB device found\n");
}

TEST_F(ListingTest, OnlyTheWholeFirstArgumentLists) {
  // Anything else is an ordinary run: the controller is configured and counted.
  const int pct = vusb::AddPctCurrent();
  for (const char *arg : {"--listing", "x--list"}) {
    SCOPED_TRACE(arg);
    vusb::ReEnumerate();
    vusb::ClearLog();
    RunResult r = RunPanelcfg(dir_, {arg});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("II:PCT Devices:1\n"), std::string::npos) << r.out;
    EXPECT_FALSE(vusb::Transfers(pct).empty());
  }
  // Words after --list change nothing.
  vusb::ReEnumerate();
  vusb::ClearLog();
  RunResult r = RunPanelcfg(dir_, {"--list", "--mouse", "not"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("bus 001 device ", 0), 0u) << r.out;
  EXPECT_TRUE(vusb::Transfers().empty());
  EXPECT_FALSE(FileExists(dir_.File("Util.conf")));
}

} // namespace
