// The read-only reports: panelcfg --list (one line per USB device, classified under the loaded
// options) and panelcfg --status (every supported controller read through its hidraw node, the
// kernel driver left bound), as text and as JSON.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
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
  // The manufacturer first, as the line shows them.
  EXPECT_EQ(vusb::Sequence(pct),
            (std::vector<std::string>{"usb_open", "usb_get_string_simple 1",
                                      "usb_get_string_simple 2", "usb_close"}));
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
  // (Built from characters: GCC 12 takes a literal assigned here for overlapping copies, a
  // false -Wrestrict of its inlined char_traits copy.)
  for (int id = 0; id < vusb::DeviceCount(); id++) {
    vusb::Dev(id).strings[1] = std::string(1, 'M');
    vusb::Dev(id).strings[2] = std::string(1, 'P');
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
  // Read as Latin-1 (é 0xE9, NEL 0x85, no-break space 0xA0, 0x9F), shown as UTF-8; the C1
  // controls become '?' too.
  const int latin = vusb::AddPctCurrent(0x2575, 0x9968);
  vusb::Dev(latin).strings[1] = "Soci\xc3\xa9t\xc3\xa9\xc2\x85";
  vusb::Dev(latin).strings[2] = "Panel\xc2\xa0\xc2\x9f";

  RunResult r = RunPanelcfg(dir_, {"--list"});

  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "bus 001 device 002: 2575:8753 PCT, cannot be opened: Permission denied\n"
                   "bus 001 device 003: 2575:9969 PCT, manufacturer unreadable (Broken pipe), "
                   "product \"Panel\"\n"
                   "bus 001 device 004: 22b9:0040 PCT, manufacturer unreadable (Broken pipe), "
                   "product unreadable (Broken pipe)\n"
                   "bus 001 device 005: 2149:3d28 PCT, manufacturer \"\", product "
                   "\"Two?Lines??\"\n"
                   "bus 001 device 006: 2575:9968 PCT, manufacturer \"Soci\xc3\xa9t\xc3\xa9?\", "
                   "product \"Panel\xc2\xa0?\"\n");
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

  // The listing keeps standard output to itself (a script reads it); the traces go to standard
  // error, as --status sends them.
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "bus 001 device 002: 2575:8753 PCT, manufacturer \"Maker\", product \"Panel\"\n"
                   "bus 001 device 003: 046d:c077 not supported\n");
  EXPECT_EQ(r.err, "panelcfg DD:v0.1\n"
                   "panelcfg DD:main start argc=2\n"
                   "panelcfg DD:CheckUSBID 0x2575 0x8753\n"
                   "panelcfg DD:CheckUSBID PCT 0x2575 0x8753---match\n"
                   "panelcfg DD:CheckUSBID 0x46d 0xc077\n");
  EXPECT_EQ(dir_.Entries(), std::vector<std::string>{"enabledebug"});
  RunResult json = RunPanelcfg(dir_, {"--list", "--json"});
  EXPECT_TRUE(nlohmann::json::accept(json.out)) << json.out;
  EXPECT_NE(json.err.find("panelcfg DD:CheckUSBID 0x46d 0xc077\n"), std::string::npos);
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
  // Words after --list are refused, and do nothing.
  vusb::ReEnumerate();
  vusb::ClearLog();
  RunResult r = RunPanelcfg(dir_, {"--list", "--mouse", "not"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "panelcfg: --list takes no argument but --json, not \"--mouse\"\n"
                   "Try 'panelcfg --help'.\n");
  EXPECT_TRUE(vusb::Log().empty());
  EXPECT_FALSE(FileExists(dir_.File("Util.conf")));
}

} // namespace

// ---------------------------------------------------------------------------------------------
// --status

namespace {

// What a status run may do: the calls of a listing, naming the driver, and the hidraw node.
const std::set<std::string> kStatusCalls = {
    "usb_init",    "usb_find_busses",       "usb_find_devices", "usb_get_busses",
    "usb_open",    "usb_get_string_simple", "usb_close",        "usb_get_driver_np",
    "hidraw_open", "hidraw_close",          "usb_control_msg"};

// Set_Report data that asks a controller to change (a USB ID, mode or parameter write, a reset,
// a resistive rotation write, its making permanent or a reset).
bool Changes(const vusb::Bytes &d) {
  if (d.size() < 3)
    return false;
  if (d[0] == 0xF3)
    return true;
  if (d[0] == 0x08)
    return d[1] == 0x84 || d[1] == 0x85 || d[1] == 0xA8 || (d[1] == 0x91 && d[2] != 0x02);
  if (d[0] == 0x01 && d.size() >= 5) {
    const std::string cmd{static_cast<char>(d[3]), static_cast<char>(d[4])};
    return cmd == "SP" || cmd == "PL" || cmd == "RR";
  }
  return false;
}

class StatusTest : public ListingTest {
protected:
  // Every call of the run outside kStatusCalls, and every transfer that went through usbfs
  // rather than the driver's hidraw node, or that changes a controller.
  static std::vector<std::string> Forbidden() {
    std::vector<std::string> out;
    for (const vusb::Entry &e : vusb::Log()) {
      if (e.kind == vusb::Kind::Call && kStatusCalls.count(e.call) == 0)
        out.push_back(e.call);
      if (e.kind == vusb::Kind::Transfer && (e.call != "hidraw" || Changes(e.data)))
        out.push_back(vusb::Describe(e));
    }
    return out;
  }
};

} // namespace

TEST_F(StatusTest, ReportsEveryControllerBeforeAndAfterASwitchWithoutTakingItOver) {
  Options("res=1\n");
  const int pct = vusb::AddPctCurrent();
  const int legacy = vusb::AddDevice(Named(vusb::PctLegacySpec(), 2, "Old", "Legacy"));
  const int res = vusb::AddDevice(Named(vusb::ResistiveSpec(), 2, "Res Co", "R"));
  vusb::Dev(res).rotation = vusb::Dev(res).liveRotation = 1;
  vusb::AddPlain(0x046d, 0xc077);

  // New controllers: no identity block yet, digitizer mode.
  RunResult before = RunPanelcfg(dir_, {"--status"});
  EXPECT_EQ(before.status, 0);
  EXPECT_EQ(before.out,
            "bus 001 device 002: 2575:8753 PCT current generation, firmware S1.2.04(r368) chip 8, "
            "mode 1 (digitizer), identity absent or checksum wrong\n"
            "bus 002 device 002: 22b9:0040 PCT legacy generation, firmware S3.0.12(r325) chip "
            "10, mode 1 (digitizer), identity absent or checksum wrong\n"
            "bus 002 device 003: 1234:8888 resistive, firmware V2.9 (supported), rotation 1\n");
  EXPECT_EQ(before.err, "");
  EXPECT_EQ(Forbidden(), std::vector<std::string>{});
  // The empty block is read as often, and waited for as long, as a run reads it.
  int blockReads = 0;
  for (const vusb::Bytes &d : vusb::SetReports(pct))
    blockReads += d.size() >= 2 && d[1] == 0xA1 ? 1 : 0;
  EXPECT_EQ(blockReads, 11);
  EXPECT_EQ(dir_.Entries(), std::vector<std::string>{"options.ini"});

  ASSERT_EQ(RunPanelcfg(dir_, {"--mouse"}).status, 2);
  vusb::ReEnumerate();
  vusb::ClearLog();
  vusb::ClearWaits();
  const std::string afterState = vusb::SaveStateText();

  RunResult after = RunPanelcfg(dir_, {"--status"});
  EXPECT_EQ(after.status, 0);
  const vusb::Device &p = vusb::Dev(pct);
  const std::string line0 = after.out.substr(0, after.out.find('\n') + 1);
  EXPECT_EQ(line0.rfind("bus 001 device 004: 2575:9969 PCT current generation, firmware "
                        "S1.2.04(r368) chip 8, mode 2 (mouse), identity valid (home 2575:8753, "
                        "firmware revision 368, serial ",
                        0),
            0u)
      << after.out;
  EXPECT_NE(after.out.find("bus 002 device 002: 22b9:0040 PCT legacy generation, firmware "
                           "S3.0.12(r325) chip 10, mode 2 (mouse), identity valid (home "
                           "22b9:0040, firmware revision 325, serial "),
            std::string::npos)
      << after.out;
  EXPECT_NE(after.out.find("bus 002 device 003: 1234:8888 resistive, firmware V2.9 (supported), "
                           "rotation 0\n"),
            std::string::npos);
  EXPECT_EQ(Forbidden(), std::vector<std::string>{});

  // The current controller's exact exchange: generation, signature, firmware identity, one
  // block read that passes, the position configuration; every pause of the protocol.
  // The waits of the other controllers follow its close.
  std::vector<std::string> seq = vusb::Sequence(pct);
  seq.resize(std::find(seq.begin(), seq.end(), "usb_close") + 1 - seq.begin());
  ASSERT_EQ(seq.size(), 16u);
  // The encoded block, 0x22 bytes from offset 8, differs with the serial number drawn.
  EXPECT_EQ(seq[10].rfind("hidraw get 07 00 00 00 00 00 00 00 ", 0), 0u) << seq[10];
  EXPECT_EQ(seq[10].substr(seq[10].size() - 4), " /64");
  seq[10] = "block";
  EXPECT_EQ(seq,
            (std::vector<std::string>{
                "usb_open", "usb_get_string_simple 1", "usb_get_string_simple 2",
                "usb_get_driver_np 0", "hidraw_open /dev/hidraw0", "hidraw get f2 70 81 04 12 /32",
                "usb_get_string_simple 60", "hidraw get f2 70 81 04 12 /16",
                "hidraw set 06 a1 22 /8", "wait 10", "block", "hidraw set 06 a2 10 /8", "wait 20",
                "hidraw get 07 00 00 00 00 00 00 00 00 01 /64", "hidraw_close", "usb_close"}));
  // Nothing changed: the drivers stay bound, no reset, the same IDs and state.
  for (int id : {pct, legacy, res}) {
    EXPECT_EQ(vusb::Dev(id).boundDriver, "usbhid");
    EXPECT_EQ(vusb::Dev(id).claimedInterface, -1);
  }
  EXPECT_EQ(vusb::OpenHandleCount(), 0);
  vusb::ReEnumerate();
  EXPECT_EQ(vusb::SaveStateText(), afterState);
  EXPECT_EQ(p.pid, 0x9969);
}

TEST_F(StatusTest, ControllersThatCannotBeReadSayWhy) {
  struct Case {
    const char *what;
    void (*set)(vusb::Device &);
    const char *line; // after "bus 001 device 002: 2575:8753 PCT"
    const char *code;
  };
  const Case kCases[] = {
      {"no driver", [](vusb::Device &d) { d.boundDriver.clear(); },
       " unreadable: no kernel driver is bound to this controller (a run was stopped while it held "
       "it?); panelcfg --recover resets it",
       "no-driver"},
      {"no hidraw node", [](vusb::Device &d) { d.faults.noHidraw = true; },
       " unreadable: its kernel driver usbhid made no hidraw node", "no-hidraw"},
      {"permission", [](vusb::Device &d) { d.faults.hidrawOpenErrno = EACCES; },
       " unreadable: no permission to open its hidraw node: Permission denied (run as root)",
       "permission"},
      {"cannot open", [](vusb::Device &d) { d.faults.openErrno = EACCES; },
       " unreadable: cannot be opened: Permission denied", "open-failed"},
      {"no signature", [](vusb::Device &d) { d.strings.erase(0x3C); },
       " current generation; the PCT signature string is absent", "no-signature"},
      {"generation", [](vusb::Device &d) { d.faults.transfers.push_back({.nth = 1}); },
       " unreadable: the generation report cannot be read", "read-failed"},
      {"firmware",
       [](vusb::Device &d) { d.faults.transfers.push_back({.nth = 2, .result = -EPIPE}); },
       " current generation; the firmware identity cannot be read", "read-failed"},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.what);
    vusb::Reset();
    const int pct = vusb::AddPctCurrent();
    c.set(vusb::Dev(pct));
    const int ok = vusb::AddResistive();
    Options("res=1\n");

    RunResult r = RunPanelcfg(dir_, {"--status"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, std::string("bus 001 device 002: 2575:8753 PCT") + c.line +
                         "\nbus 001 device 003: 1234:8888 resistive, firmware V2.9 (supported), "
                         "rotation 0\n");
    EXPECT_EQ(Forbidden(), std::vector<std::string>{});
    EXPECT_EQ(vusb::OpenHandleCount(), 0);
    EXPECT_EQ(vusb::Dev(ok).resets, 0);

    vusb::ReEnumerate();
    vusb::Dev(pct).transfers = 0; // the faults count the transfers from here again
    RunResult j = RunPanelcfg(dir_, {"--status", "--json"});
    EXPECT_EQ(j.status, 1);
    const nlohmann::json doc = nlohmann::json::parse(j.out);
    EXPECT_EQ(doc["devices"][0]["readable"], false);
    EXPECT_EQ(doc["devices"][0]["error"]["code"], c.code);
    EXPECT_EQ(doc["devices"][1]["error"], nullptr);
  }
}

TEST_F(StatusTest, ControllersNoRunConfiguresAreNamedWithoutFailingTheStatus) {
  vusb::DeviceSpec boot = vusb::PctCurrentSpec();
  boot.interfaceProtocol = 2;
  const int mouse = vusb::AddDevice(boot);
  vusb::AddPctLegacy();
  Options("disable_8752=1\n");

  RunResult r = RunPanelcfg(dir_, {"--status"});

  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "bus 001 device 002: 2575:8753 PCT unreadable: its interface uses the boot "
                   "mouse protocol: a run only resets it\n"
                   "bus 001 device 003: 22b9:0040 PCT legacy generation; legacy controllers are "
                   "excluded by the options: a run leaves it alone\n");
  EXPECT_TRUE(vusb::Transfers(mouse).empty());
  EXPECT_EQ(Forbidden(), std::vector<std::string>{});
}

// The number is the one the controller stores; the name is the mode that was asked for to get
// it, which depends on the generation and the firmware.
TEST_F(StatusTest, ModesAreNamedAsTheyWereAskedFor) {
  struct Case {
    bool legacy;
    uint32_t identity; // chip and firmware revision in the last four hexadecimal digits
    int stored;
    const char *line; // after "bus 001 device 002: "
    const char *name;
  };
  const Case kCases[] = {
      // Current firmware outside chip 8 r392..799 and chip 2 r408.. swaps the hybrid numbers.
      {false, 0x12048170, 4,
       "2575:8753 PCT current generation, firmware S1.2.04(r368) chip 8, mode 4 (hybrid-d)",
       "hybrid-d"},
      {false, 0x12048170, 3,
       "2575:8753 PCT current generation, firmware S1.2.04(r368) chip 8, mode 3 (hybrid-m)",
       "hybrid-m"},
      // Qualifying firmware keeps them in order.
      {false, 0x12048188, 3,
       "2575:8753 PCT current generation, firmware S1.2.04(r392) chip 8, mode 3 (hybrid-d)",
       "hybrid-d"},
      {false, 0x1204831F, 4,
       "2575:8753 PCT current generation, firmware S1.2.04(r799) chip 8, mode 4 (hybrid-m)",
       "hybrid-m"},
      {false, 0x12042198, 3,
       "2575:8753 PCT current generation, firmware S1.2.04(r408) chip 2, mode 3 (hybrid-d)",
       "hybrid-d"},
      {false, 0x12042198, 4,
       "2575:8753 PCT current generation, firmware S1.2.04(r408) chip 2, mode 4 (hybrid-m)",
       "hybrid-m"},
      // A legacy controller stores either hybrid mode as 4.
      {true, 0x3012A145, 4,
       "22b9:0040 PCT legacy generation, firmware S3.0.12(r325) chip 10, mode 4 (hybrid)",
       "hybrid"},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.line);
    vusb::Reset();
    const int pct = c.legacy ? vusb::AddPctLegacy(0x22B9, 0x0040, c.identity)
                             : vusb::AddPctCurrent(0x2575, 0x8753, c.identity);
    vusb::Dev(pct).SetPosMode(c.stored);

    RunResult t = RunPanelcfg(dir_, {"--status"});
    EXPECT_EQ(t.status, 0);
    EXPECT_EQ(t.out, std::string("bus 001 device 002: ") + c.line +
                         ", identity absent or checksum wrong\n");
    vusb::ReEnumerate();
    RunResult j = RunPanelcfg(dir_, {"--status", "--json"});
    const nlohmann::json mode = {{"number", c.stored}, {"name", c.name}};
    EXPECT_EQ(nlohmann::json::parse(j.out)["devices"][0]["mode"], mode);
  }

  // After --hybrid-d each controller is named as set: the current one (chip 8 r368) stores 4.
  vusb::Reset();
  vusb::AddPctCurrent();
  vusb::AddPctLegacy();
  ASSERT_EQ(RunPanelcfg(dir_, {"--hybrid-d"}).status, 2);
  vusb::ReEnumerate();
  RunResult r = RunPanelcfg(dir_, {"--status"});
  EXPECT_NE(r.out.find(": 2575:9968 PCT current generation, firmware S1.2.04(r368) chip 8, mode 4 "
                       "(hybrid-d), identity valid (home 2575:8753, "),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find(": 22b9:0040 PCT legacy generation, firmware S3.0.12(r325) chip 10, mode 4 "
                       "(hybrid), identity valid (home 22b9:0040, "),
            std::string::npos)
      << r.out;
}

TEST_F(StatusTest, JsonCarriesTheSameFactsWithDeviceTextsEscaped) {
  Options("res=1\n");
  vusb::AddDevice(Named(vusb::PctCurrentSpec(), 1, "Say \"hi\"\\\n", "\x01\xff\xfe"));
  vusb::AddResistive(0x1234, 0x8888, "V3.0.1");
  const int quiet = vusb::AddPctLegacy();
  vusb::Dev(quiet).faults.unreadableStrings = {1};
  // Texts are read as Latin-1 (é 0xE9, µ 0xB5, NEL 0x85) and written as UTF-8.
  const int latin = vusb::AddResistive(0x1234, 0x8888, "V2.9\xb5\x85");
  vusb::Dev(latin).strings[1] = "Soci\xc3\xa9t\xc3\xa9\xc2\x85";

  RunResult r = RunPanelcfg(dir_, {"--status", "--json"});

  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  const nlohmann::json doc = nlohmann::json::parse(r.out);
  EXPECT_EQ(doc["schema"], 1);
  EXPECT_EQ(doc["command"], "status");
  ASSERT_EQ(doc["devices"].size(), 4u);
  const nlohmann::json &p = doc["devices"][0];
  const auto want = nlohmann::json::parse(R"json({
    "bus": "001", "device": "002", "id": "2575:8753", "family": "pct", "sysfs": "1-1",
    "manufacturer": "Say \"hi\"\\\n", "product": "\u0001\u00ff\u00fe",
    "driver_bound": true, "driver": "usbhid", "readable": true, "error": null,
    "generation": "current",
    "firmware": {"version": "S1.2.04(r368)", "chip_id": 8, "revision": 368},
    "mode": {"number": 1, "name": "digitizer"},
    "identity": {"state": "invalid", "valid": false}})json");
  EXPECT_EQ(p, want);
  // Keys in a fixed order, so that a diff of two documents shows what changed.
  EXPECT_EQ(p.begin().key(), "bus");
  const auto firmware = nlohmann::json::parse(R"({"version": "V3.0.1", "supported": false})");
  EXPECT_EQ(doc["devices"][1]["firmware"], firmware);
  EXPECT_EQ(doc["devices"][1]["rotation"], 0);
  EXPECT_EQ(doc["devices"][2]["manufacturer"], nullptr);
  EXPECT_EQ(doc["devices"][2]["generation"], "legacy");
  EXPECT_EQ(doc["devices"][3]["manufacturer"], "Soci\xc3\xa9t\xc3\xa9\xc2\x85");
  const auto latinFirmware =
      nlohmann::json::parse(R"({"version": "V2.9\u00b5\u0085", "supported": true})");
  EXPECT_EQ(doc["devices"][3]["firmware"], latinFirmware);
  // As the document spells them: UTF-8, only C0 controls escaped.
  EXPECT_NE(r.out.find("\"product\": \"\\u0001\xc3\xbf\xc3\xbe\",\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"manufacturer\": \"Soci\xc3\xa9t\xc3\xa9\xc2\x85\",\n"),
            std::string::npos);
  EXPECT_NE(r.out.find("\"version\": \"V2.9\xc2\xb5\xc2\x85\",\n"), std::string::npos);

  // The same resistive controller in the text: its firmware is not supported.
  vusb::ReEnumerate();
  RunResult t = RunPanelcfg(dir_, {"--status"});
  EXPECT_NE(t.out.find("1234:8888 resistive, firmware V3.0.1 (not supported), rotation 0\n"),
            std::string::npos)
      << t.out;
  EXPECT_NE(t.out.find("1234:8888 resistive, firmware V2.9\xc2\xb5? (supported), rotation 0\n"),
            std::string::npos)
      << t.out;
}

TEST_F(StatusTest, ListAsJson) {
  Options("res=1\n");
  vusb::AddDevice(Named(vusb::PlainSpec(0x1d6b, 0x0002), 1, "Linux", "Root hub"));
  vusb::AddDevice(Named(vusb::PctCurrentSpec(), 1, "Maker", "Panel"));
  const int denied = vusb::AddResistive();
  vusb::Dev(denied).faults.openErrno = EACCES;
  vusb::AddDevice(Named(vusb::PctCurrentSpec(), 1, "Soci\xc3\xa9t\xc3\xa9\xc2\x85", "P\x01"));

  RunResult r = RunPanelcfg(dir_, {"--list", "--json"});

  EXPECT_EQ(r.status, 0);
  const auto want = nlohmann::json::parse(R"({
    "schema": 1, "command": "list", "devices": [
    {"bus": "001", "device": "002", "id": "1d6b:0002", "family": "unsupported",
     "manufacturer": null, "product": null, "error": null},
    {"bus": "001", "device": "003", "id": "2575:8753", "family": "pct",
     "manufacturer": "Maker", "product": "Panel", "error": null},
    {"bus": "001", "device": "004", "id": "1234:8888", "family": "resistive",
     "manufacturer": null, "product": null,
     "error": {"code": "open-failed", "text": "Permission denied"}},
    {"bus": "001", "device": "005", "id": "2575:8753", "family": "pct",
     "manufacturer": "Soci\u00e9t\u00e9\u0085", "product": "P\u0001", "error": null}]})");
  EXPECT_EQ(nlohmann::json::parse(r.out), want);
  EXPECT_NE(r.out.find("\"manufacturer\": \"Soci\xc3\xa9t\xc3\xa9\xc2\x85\",\n"
                       "      \"product\": \"P\\u0001\",\n"),
            std::string::npos)
      << r.out;
  EXPECT_TRUE(vusb::Transfers().empty());
}

// A command line that is not what it seems touches nothing: status 2, the reason on standard
// error and, for a JSON report, in a document a program can parse.
TEST_F(StatusTest, BadUsageAndAnEmptyBus) {
  vusb::AddPctCurrent();
  struct Case {
    std::vector<std::string> args;
    const char *message; // after "panelcfg: "
    const char *code;    // null: no JSON document
  };
  const std::string longValue(100000, 'A');
  const Case kCases[] = {
      {{"--status", "--mouse"}, "--status takes no argument but --json, not \"--mouse\"", nullptr},
      {{"--status", "--json", "x"},
       "--status takes no argument but --json, not \"x\"",
       "bad-usage"},
      {{"--list", "--json", "--status"},
       "--list takes no argument but --json, not \"--status\"",
       "bad-usage"},
      {{"--status", "--json", "--device", "1-1", "--device", "1-1"},
       "--device is given more than once",
       "bad-usage"},
      {{"--mouse", "--device", "1-1", "--device=1:2"}, "--device is given more than once", nullptr},
      {{"--list", "--json", "--device"},
       "--device needs a device: BUS:DEV, the kernel's name of a USB device or a hidraw node",
       "bad-usage"},
      {{"--mouse", "--device", "9:9"}, "--device 9:9: no such USB device", nullptr},
      {{"--status", "--device", "9:9", "--json"},
       "--device 9:9: no such USB device",
       "no-such-device"},
      // A hostile value is shown cut and with its control characters escaped.
      {{"--list", "--device", "1\e[2J\n\\x"},
       "--device 1\\x1b[2J\\x0a\\x5cx: no such USB device",
       nullptr},
      {{"--list", "--device", "1:x"},
       "--device takes BUS:DEV, the kernel's name of a USB device or a hidraw node, not \"1:x\"",
       nullptr},
      {{"--status", longValue},
       "--status takes no argument but --json, not "
       "\"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA...\"",
       nullptr},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.args.back().substr(0, 20));
    vusb::ClearLog();
    RunResult r = RunPanelcfg(dir_, c.args);
    EXPECT_EQ(r.status, 2);
    // A device that is not there is no misuse of the command line: no pointer to the help.
    const std::string message = c.message;
    const bool device = message.rfind("--device ", 0) == 0 &&
                        message.find(" needs ") == std::string::npos &&
                        message.find(" more ") == std::string::npos;
    const std::string usage = device ? "" : "Try 'panelcfg --help'.\n";
    if (c.args[0] == "--mouse" && device)
      EXPECT_EQ(r.err.substr(r.err.find("panelcfg: --device")), "panelcfg: " + message + "\n");
    else
      EXPECT_EQ(r.err, "panelcfg: " + message + "\n" + usage);
    if (c.code == nullptr) {
      EXPECT_EQ(r.out, "");
    } else {
      const nlohmann::json want = {{"schema", 1},
                                   {"command", c.args[0] == "--list" ? "list" : "status"},
                                   {"error", {{"code", c.code}, {"text", c.message}}}};
      EXPECT_EQ(nlohmann::json::parse(r.out), want) << r.out;
    }
    for (const vusb::Entry &e : vusb::Log())
      EXPECT_NE(e.call, "usb_control_msg");
    EXPECT_FALSE(FileExists(dir_.File("Util.conf")));
  }

  vusb::Reset();
  RunResult none = RunPanelcfg(dir_, {"--status", "--json"});
  EXPECT_EQ(none.status, 0);
  const auto empty = nlohmann::json::parse(R"({"schema": 1, "command": "status", "devices": []})");
  EXPECT_EQ(nlohmann::json::parse(none.out), empty);
  EXPECT_EQ(none.err, "panelcfg: no supported controller found\n");
}

TEST_F(StatusTest, DebugTracesGoToStandardErrorAndTheReportStaysAlone) {
  std::filesystem::create_directory(dir_.File("enabledebug"));
  vusb::AddPctCurrent();

  RunResult r = RunPanelcfg(dir_, {"--status", "--json"});

  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(nlohmann::json::accept(r.out)) << r.out;
  EXPECT_EQ(r.err.rfind("panelcfg DD:v0.1\n", 0), 0u) << r.err;
  EXPECT_NE(r.err.find("panelcfg DD:ReadParames checksum fail"), std::string::npos);
  // The protocol's own result lines are no part of either stream.
  EXPECT_EQ(r.err.find("II:"), std::string::npos) << r.err;
  EXPECT_EQ(r.out.find("II:"), std::string::npos);
}

namespace {

// panelcfg --hotplug SPEC with the plug-in records in the folder records.
RunResult RunHotplug(const ScratchDir &dir, const std::string &records, const std::string &spec) {
  std::vector<std::string> args = {"panelcfg", "--hotplug", spec};
  std::vector<char *> argv;
  for (std::string &a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  RunResult r;
  const Output o = Captured([&] {
    r.status = PanelcfgMain(3, argv.data(), dir.Path().c_str(), nullptr, false, records.c_str());
  });
  r.out = o.out;
  r.err = o.err;
  return r;
}

RunResult RunHotplug(const ScratchDir &dir, const ScratchDir &records, const std::string &spec) {
  return RunHotplug(dir, records.Path(), spec);
}

// The last line of a text.
std::string LastLine(const std::string &text) {
  const size_t end = text.size() > 0 && text.back() == '\n' ? text.size() - 1 : text.size();
  const size_t start = text.rfind('\n', end - 1);
  return text.substr(start == std::string::npos ? 0 : start + 1, end - (start + 1));
}

// The control transfers of a device: the path, the report ID and the first four bytes sent
// (only the command of a parameter-area write, whose identity block has a serial number of
// chance), or the report ID fetched.
std::vector<std::string> Wire(int device) {
  std::vector<std::string> out;
  for (const vusb::Entry &e : vusb::Transfers(device)) {
    char text[64];
    const auto at = [&e](size_t i) { return i < e.data.size() ? e.data[i] : 0; };
    const bool write = e.IsSetReport() && at(0) == 0x06 && at(1) == 0xA8;
    if (!e.IsSetReport())
      snprintf(text, sizeof text, "%s get %02x", e.call.c_str(), e.ReportId());
    else if (write)
      snprintf(text, sizeof text, "%s set %02x %02x", e.call.c_str(), at(0), at(1));
    else
      snprintf(text, sizeof text, "%s set %02x %02x %02x %02x", e.call.c_str(), at(0), at(1), at(2),
               at(4));
    out.push_back(text);
  }
  return out;
}

} // namespace

// The handler reads the controller as --status does and then gives it exactly the run of
// panelcfg --device SPEC WORD, or nothing.
TEST_F(StatusTest, HotplugGivesANewControllerTheSiteMode) {
  struct Case {
    const char *what;
    bool primed;          // a run gave it an identity block and mouse mode (2) first
    const char *utilConf; // null: none
    const char *runWord;  // the run expected; "" none, null no run at all
    const char *line;
    int status;
  };
  const Case kCases[] = {
      {"valid, same mode", true, "[SETUP]\nPOSMODE=2\n", nullptr,
       "<6>panelcfg: hotplug 1-1 2575:9969: already in mode 2 (mouse), nothing to do", 0},
      {"valid, no site mode", true, nullptr, nullptr,
       "<6>panelcfg: hotplug 1-1 2575:9969: mode 2 (mouse), no site mode, nothing to do", 0},
      {"other mode", true, "[SETUP]\nPOSMODE=1\n", "--digitizer",
       "<6>panelcfg: hotplug 1-1 2575:9969: mode 2 (mouse), site mode 1 (digitizer): switched", 0},
      {"new, site mode", false, "[SETUP]\nPOSMODE=2\n", "--mouse",
       "<6>panelcfg: hotplug 1-1 2575:8753: mode 1 (digitizer), site mode 2 (mouse): switched", 0},
      {"new, no site mode", false, nullptr, "",
       "<6>panelcfg: hotplug 1-1 2575:8753: mode 1 (digitizer), no site mode, identity absent "
       "or checksum wrong: identity block written",
       0},
  };
  int pct = -1;
  int other = -1;
  // The bus and the panel directory of a case, from the start.
  auto prepare = [&](const Case &c) {
    vusb::Reset();
    for (const std::string &name : dir_.Entries())
      unlink(dir_.File(name).c_str());
    pct = vusb::AddPctCurrent();
    other = vusb::AddPctCurrent();
    if (c.primed) {
      ASSERT_EQ(RunPanelcfg(dir_, {"--device", "1-1", "--mouse"}).status, 1);
      vusb::ReEnumerate();
      unlink(dir_.File("Util.conf").c_str());
      unlink(dir_.File("manuflist.conf").c_str());
    }
    if (c.utilConf != nullptr)
      WriteBytes(dir_.File("Util.conf"), c.utilConf);
    vusb::ClearLog();
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.what);
    // What --status and the one-device run send, from the same start.
    prepare(c);
    ASSERT_EQ(RunPanelcfg(dir_, {"--device", "1-1", "--status"}).status, 0);
    std::vector<std::string> expected = Wire(pct);
    // With a site mode the handler reads the mode (the status's last exchange) right after the
    // generation and firmware (its first two), and the identity block only when the mode is
    // the site's: a mode off the site's calls for a run whatever the block holds.
    if (c.utilConf != nullptr) {
      std::vector<std::string> reads(expected.begin(), expected.begin() + 2);
      reads.insert(reads.end(), expected.end() - 2, expected.end());
      if (c.runWord == nullptr)
        reads.insert(reads.end(), expected.begin() + 2, expected.end() - 2);
      expected = reads;
    }
    if (c.runWord != nullptr) {
      vusb::ClearLog();
      std::vector<std::string> args = {"--device", "1-1"};
      if (c.runWord[0] != '\0')
        args.push_back(c.runWord);
      RunPanelcfg(dir_, args);
      const std::vector<std::string> run = Wire(pct);
      expected.insert(expected.end(), run.begin(), run.end());
    }
    prepare(c);
    ScratchDir records;
    RunResult r = RunHotplug(dir_, records, "hidraw0");
    EXPECT_EQ(c.status, r.status);
    EXPECT_EQ(c.line, LastLine(r.out));
    EXPECT_EQ("", r.err);
    EXPECT_EQ(expected, Wire(pct));
    EXPECT_TRUE(vusb::Calls(other).empty());
    if (c.runWord == nullptr) {
      EXPECT_EQ(Forbidden(), std::vector<std::string>{});
    }
    // The loop: the controller that comes back reads as the site wants it and is left alone.
    vusb::ReEnumerate();
    vusb::ClearLog();
    RunResult again = RunHotplug(dir_, records, "1-1");
    EXPECT_EQ(0, again.status);
    EXPECT_NE(std::string::npos, again.out.find(", nothing to do\n")) << again.out;
    EXPECT_EQ(Forbidden(), std::vector<std::string>{});
    EXPECT_TRUE(records.Entries().empty());
  }
}

// A controller that never reads as the site wants it (its identity block always reads back
// with a wrong checksum, so every run ends in "check fail") is given two runs, each a failure,
// then left alone with one EE: line.
TEST_F(StatusTest, HotplugTriesAControllerThatStaysWrongTwiceThenLeavesIt) {
  const int pct = vusb::AddPctCurrent();
  vusb::Dev(pct).faults.corruptChecksum = true;
  ScratchDir records;
  const std::string found = "hotplug 1-1 2575:8753: mode 1 (digitizer), no site mode, identity "
                            "absent or checksum wrong";
  for (const std::string &line : {"<3>panelcfg: " + found + ": the run failed (try 1 of 2)",
                                  "<3>panelcfg: " + found + ": the run failed (try 2 of 2)"}) {
    vusb::ReEnumerate();
    RunResult r = RunHotplug(dir_, records, "1-1");
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.out.find("<7>EE:check fail,not support this touch screen.\n"));
    EXPECT_EQ(line, LastLine(r.out));
    EXPECT_EQ(records.Entries(), std::vector<std::string>{"hotplug-1-1"});
    EXPECT_EQ("tries=", ReadBytes(records.File("hotplug-1-1")).substr(0, 6));
  }
  EXPECT_EQ(2, vusb::Dev(pct).resets);
  vusb::ReEnumerate();
  vusb::ClearLog();
  RunResult r = RunHotplug(dir_, records, "1-1");
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("<3>EE:" + found + ", still after 2 runs: left alone until it is plugged in again\n",
            r.out);
  EXPECT_EQ(Forbidden(), std::vector<std::string>{});
  EXPECT_EQ(2, vusb::Dev(pct).resets);
  // A record from another plug-in (written long ago) counts no runs.
  WriteBytes(records.File("hotplug-1-1"), "tries=2\ntime=-100000\n");
  vusb::ReEnumerate();
  EXPECT_EQ("<3>panelcfg: " + found + ": the run failed (try 1 of 2)",
            LastLine(RunHotplug(dir_, records, "1-1").out));
  EXPECT_EQ(3, vusb::Dev(pct).resets);
}

// A try that cannot be counted is not made: the run's reset is a new plug-in, and uncounted
// tries would reset the controller for ever. One EE: line, status 1, nothing sent but reads.
TEST_F(StatusTest, HotplugFailsClosedWhenItCannotKeepItsRecord) {
  const int pct = vusb::AddPctCurrent();
  struct Case {
    const char *what;
    std::function<void(const std::string &folder)> make; // the records' folder, before the run
    const char *why;                                     // null: the try is made and counted
  };
  const std::string where = dir_.File("records");
  const Case kCases[] = {
      {"folder is a file", [](const std::string &f) { WriteBytes(f, "x"); }, "not a directory"},
      {"folder is a link",
       [this](const std::string &f) {
         ASSERT_EQ(0, mkdir(dir_.File("real").c_str(), 0700));
         ASSERT_EQ(0, symlink(dir_.File("real").c_str(), f.c_str()));
       },
       "not a directory"},
      {"folder others may write",
       [](const std::string &f) {
         ASSERT_EQ(0, mkdir(f.c_str(), 0700));
         ASSERT_EQ(0, chmod(f.c_str(), 0777));
       },
       "writable by other users"},
      {"record is a directory",
       [](const std::string &f) {
         ASSERT_EQ(0, mkdir(f.c_str(), 0700));
         ASSERT_EQ(0, mkdir((f + "/hotplug-1-1").c_str(), 0700));
       },
       "not a regular file"},
      {"record is a FIFO",
       [](const std::string &f) {
         ASSERT_EQ(0, mkdir(f.c_str(), 0700));
         ASSERT_EQ(0, mkfifo((f + "/hotplug-1-1").c_str(), 0600));
       },
       "not a regular file"},
      {"record is a link",
       [this](const std::string &f) {
         ASSERT_EQ(0, mkdir(f.c_str(), 0700));
         ASSERT_EQ(0, symlink(dir_.File("target").c_str(), (f + "/hotplug-1-1").c_str()));
       },
       "a symbolic link, not followed"},
      // Last: the controller then has its identity block.
      {"folder missing", [](const std::string &) {}, nullptr},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(where);
    std::filesystem::remove_all(dir_.File("real"));
    c.make(where);
    vusb::ReEnumerate();
    vusb::ClearLog();
    const int resets = vusb::Dev(pct).resets;
    RunResult r = RunHotplug(dir_, where, "1-1");
    const std::string found = "hotplug 1-1 2575:8753: mode 1 (digitizer), no site mode, identity "
                              "absent or checksum wrong";
    if (c.why == nullptr) {
      EXPECT_EQ(0, r.status);
      EXPECT_EQ("<6>panelcfg: " + found + ": identity block written", LastLine(r.out));
      struct stat st {};
      ASSERT_EQ(0, lstat(where.c_str(), &st));
      EXPECT_EQ(040700u, st.st_mode);
      EXPECT_EQ("tries=1\n", ReadBytes(where + "/hotplug-1-1").substr(0, 8));
      continue;
    }
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("<3>EE:" + found + ": cannot keep the record " + where + "/hotplug-1-1: " + c.why +
                  "; nothing done\n",
              r.out);
    EXPECT_EQ(Forbidden(), std::vector<std::string>{});
    EXPECT_EQ(resets, vusb::Dev(pct).resets);
    EXPECT_FALSE(FileExists(dir_.File("target")));
  }
  // Without a site mode it can read, the handler does not guess one.
  std::filesystem::remove_all(where);
  ASSERT_EQ(0, mkfifo(dir_.File("Util.conf").c_str(), 0600));
  vusb::ReEnumerate();
  vusb::ClearLog();
  RunResult r = RunHotplug(dir_, where, "1-1");
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("<3>EE:hotplug 1-1 2575:8753: cannot read " + dir_.Path() +
                "/Util.conf: not a regular file; nothing done\n",
            r.out);
  EXPECT_EQ(Forbidden(), std::vector<std::string>{});
}

// A stop signal: a report still ends in one JSON document; a handler stopped while it reads
// the controller has made no try, one stopped in its run has, and each says so at error.
TEST_F(StatusTest, StatusAndHotplugStoppedBySignals) {
  vusb::AddPctCurrent();
  vusb::AddPctCurrent();
  WriteBytes(dir_.File("Util.conf"), "[SETUP]\nPOSMODE=2\n");
  vusb::RaiseAt("wait", 1, SIGTERM);
  RunResult status = RunPanelcfg(dir_, {"--status", "--json"});
  EXPECT_EQ(143, status.status);
  const nlohmann::json stopped = {
      {"schema", 1},
      {"command", "status"},
      {"error",
       {{"code", "interrupted"}, {"text", "interrupted by SIGTERM: 1 supported device not read"}}}};
  EXPECT_EQ(stopped, nlohmann::json::parse(status.out)) << status.out;
  ClearStopSignals();

  struct Case {
    const char *at; // the log entry the signal comes after
    const char *line;
    const char *record; // the record's first line, null: none
  };
  const Case kCases[] = {
      {"wait",
       "<3>panelcfg: hotplug 1-1 2575:8753: interrupted by SIGTERM while it was read, nothing done",
       nullptr},
      {"usb_claim_interface",
       "<3>panelcfg: hotplug 1-1 2575:8753: mode 1 (digitizer), site mode 2 (mouse): interrupted "
       "by "
       "SIGTERM during the run (try 1 of 2)",
       "tries=1"},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.at);
    ScratchDir records;
    vusb::ReEnumerate();
    vusb::ClearRaises();
    vusb::RaiseAt(c.at, 1, SIGTERM);
    RunResult r = RunHotplug(dir_, records, "1-1");
    ClearStopSignals();
    EXPECT_EQ(143, r.status);
    EXPECT_EQ(c.line, LastLine(r.out));
    if (c.record == nullptr)
      EXPECT_TRUE(records.Entries().empty());
    else
      EXPECT_EQ(c.record, ReadBytes(records.File("hotplug-1-1")).substr(0, 7));
  }
}

TEST_F(StatusTest, HotplugOfADeviceThatIsNotSupportedOrGone) {
  Options("res=1\n");
  vusb::AddPlain(0x046d, 0xc077);
  const int res = vusb::AddResistive();
  const int gone = vusb::AddPctCurrent();
  ScratchDir records;
  struct Case {
    const char *spec;
    const char *out;
    int status;
  };
  const Case kCases[] = {
      {"1-1", "<6>panelcfg: hotplug 1-1 046d:c077: not a supported controller, nothing to do\n", 0},
      {"1:3",
       "<6>panelcfg: hotplug 1-2 1234:8888: resistive, firmware supported, rotation 0, "
       "nothing to do\n",
       0},
      {"1-3", "<6>panelcfg: hotplug 1-3: no longer on the bus, nothing to do\n", 0},
      {"9-9", "<6>panelcfg: hotplug 9-9: no longer on the bus, nothing to do\n", 0},
  };
  vusb::Dev(gone).unplugged = true;
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.spec);
    vusb::ReEnumerate();
    vusb::ClearLog();
    RunResult r = RunHotplug(dir_, records, c.spec);
    EXPECT_EQ(c.status, r.status);
    EXPECT_EQ(c.out, r.out);
    EXPECT_EQ(Forbidden(), std::vector<std::string>{});
  }
  // Unplugged while it is read: said, and no hang.
  vusb::Dev(gone).unplugged = false;
  vusb::Dev(gone).faults.unplugAtTransfer = 2;
  vusb::ReEnumerate();
  RunResult r = RunHotplug(dir_, records, "1-3");
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("<3>panelcfg: hotplug 1-3 2575:8753: cannot be read, the firmware identity cannot be "
            "read\n",
            r.out);
  // A resistive controller off rotation 0 gets one run with no word. Its firmware text breaks
  // the run's line and starts the next with "<0>": that line stays at debug priority all the
  // same.
  vusb::Dev(res).rotation = vusb::Dev(res).liveRotation = 1;
  vusb::Dev(res).firmware = "V2.9\n<0>X";
  vusb::ReEnumerate();
  r = RunHotplug(dir_, records, "1-2");
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("<6>panelcfg: hotplug 1-2 1234:8888: resistive, firmware supported, rotation 1: "
            "rotation reset",
            LastLine(r.out));
  EXPECT_NE(std::string::npos, r.out.find("<7>II:Firmware Version:V2.9\n<7><0>X\n")) << r.out;
  EXPECT_EQ(0, vusb::Dev(res).rotation);
  EXPECT_EQ(2, RunHotplug(dir_, records, "x:1").status);
}
