// The device scan: which devices are opened, the order of the PCT path, the
// signature, the resets, release and close, the registrations and the PCT count.
#include <gtest/gtest.h>
#include <usb.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "base/state.h"
#include "captured.h"
#include "lists/registry.h"
#include "log_lines.h"
#include "pct_helpers.h"
#include "scan/devtable.h"
#include "scan/scan.h"
#include "scratch_dir.h"
#include "vusb.h"

namespace {

using vusb::Bytes;
using vusb::Dev;
using Steps = Lines;

struct ScanResult {
  int count;
  std::string out;
  std::string err;
};

// What f counts, and what it writes.
template <typename F> ScanResult Counted(F f) {
  ScanResult r;
  const Output o = Captured([&] { r.count = f(); });
  r.out = o.out;
  r.err = o.err;
  return r;
}

// Log lines without the pauses (which belong to no device).
Steps WithoutWaits(const Steps &lines) {
  Steps out;
  for (const std::string &s : lines)
    if (s.rfind("wait ", 0) != 0)
      out.push_back(s);
  return out;
}

// The device's log without the pauses.
Steps StepsOf(int id) { return WithoutWaits(vusb::Sequence(id)); }

// Opened, strings read (product first), then taken over, all on interface 0.
const Steps kTakeOver = {"usb_open",
                         "usb_get_string_simple 2",
                         "usb_get_string_simple 1",
                         "usb_get_driver_np 0",
                         "usb_detach_kernel_driver_np 0",
                         "usb_set_configuration 1",
                         "usb_claim_interface 0",
                         "usb_set_altinterface 0"};
const Steps kRelease = {"usb_release_interface 0", "usb_close"};
const std::string kCurrentReset = "set 08 84 09 /64";
// The generation and firmware reads of the default identities.
const std::string kCurrentGeneration = "get f2 70 81 04 12 /32";
const std::string kCurrentFirmware = "get f2 70 81 04 12 /16";
const std::string kLegacyGeneration = "get f2 45 a1 12 30 /32";
const std::string kLegacyFirmware = "get f2 45 a1 12 30 /16";

// The legacy reset: command mode, the reset request, normal operation.
Steps LegacyReset() { return WithoutWaits(pct::ResetLegacy()); }

// Index of the first step equal to s, or -1.
int IndexOf(const Steps &steps, const std::string &s) {
  for (size_t i = 0; i < steps.size(); i++)
    if (steps[i] == s)
      return static_cast<int>(i);
  return -1;
}

bool Contains(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

class ScanTest : public RunStateTest {
protected:
  void SetUp() override {
    RunStateTest::SetUp();
    vusb::Reset();
    SetPanelDir(dir_.Path().c_str());
    LoadVidPid();
  }
  void TearDown() override {
    cMyHidInfo = MYHIDINFO{};
    vusb::Reset();
    RunStateTest::TearDown();
  }
  static ScanResult Scan() {
    return Counted([] { return FindMatchProduct(); });
  }
  ScratchDir dir_;
};

// ---------------------------------------------------------------------------------------------
// Enumeration and unsupported devices

TEST_F(ScanTest, EmptyBusIsEnumeratedOnce) {
  DbgFlag = 1;
  ScanResult r = Scan();
  EXPECT_EQ(r.count, 0);
  EXPECT_EQ(vusb::Calls(),
            (Steps{"usb_init", "usb_find_busses", "usb_find_devices", "usb_get_busses"}));
  EXPECT_EQ(r.out, "panelcfg DD:call usb_get_busses\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(ScanTest, UnsupportedDevicesAreNeverOpened) {
  const int plain = vusb::AddPlain(0x046D, 0xC077);
  const int res = vusb::AddResistive();                     // resistive support is off
  const int excluded = vusb::AddPctCurrent(0x2575, 0x0001); // a resistive product ID
  const int other = vusb::AddPctCurrent(0x1BFD, 0x8753);    // vendor of the other list
  const int pct = vusb::AddPctCurrent();

  ScanResult r = Scan();

  EXPECT_EQ(r.count, 1);
  EXPECT_EQ(r.err, "");
  for (int id : {plain, res, excluded, other}) {
    SCOPED_TRACE(id);
    EXPECT_TRUE(vusb::Calls(id).empty()) << vusb::Calls(id).front();
    EXPECT_EQ(Dev(id).opens, 0);
    EXPECT_EQ(Dev(id).boundDriver, "usbhid");
    EXPECT_EQ(Dev(id).transfers, 0);
  }
  EXPECT_EQ(Dev(pct).opens, 1);
}

TEST_F(ScanTest, DevicesAreVisitedByBusThenInListOrder) {
  vusb::DeviceSpec a = vusb::PctCurrentSpec();
  a.bus = 2;
  vusb::DeviceSpec b = vusb::PctLegacySpec();
  b.bus = 1;
  vusb::DeviceSpec c = vusb::PctCurrentSpec(0x2619, 0x0102);
  c.bus = 1;
  const int onBus2 = vusb::AddDevice(a);
  const int first = vusb::AddDevice(b);
  const int second = vusb::AddDevice(c);
  Scan();
  std::vector<int> opened;
  for (const vusb::Entry &e : vusb::Log())
    if (e.call == "usb_open")
      opened.push_back(e.device);
  EXPECT_EQ(opened, (std::vector<int>{first, second, onBus2}));
}

TEST_F(ScanTest, OnlyTheIdFieldsOfDevInfoAreCleared) {
  vusb::AddPlain(0x046D, 0xC077);
  DevInfo.VID = 1;
  DevInfo.PID = 2;
  DevInfo.OLD_VID = 3;
  DevInfo.OLD_PID = 4;
  DevInfo.FWRev = 5;
  DevInfo.FWRevFlash = 6;
  DevInfo.SN[0] = 7;
  Scan();
  EXPECT_EQ(DevInfo.VID, 0);
  EXPECT_EQ(DevInfo.PID, 0);
  EXPECT_EQ(DevInfo.OLD_VID, 0);
  EXPECT_EQ(DevInfo.OLD_PID, 0);
  EXPECT_EQ(DevInfo.FWRev, 5);
  EXPECT_EQ(DevInfo.FWRevFlash, 6);
  EXPECT_EQ(DevInfo.SN[0], 7);
}

// ---------------------------------------------------------------------------------------------
// The PCT path

TEST_F(ScanTest, CurrentControllerPathInItsFixedOrder) {
  const int id = vusb::AddPctCurrent();
  ScanResult r = Scan();
  EXPECT_EQ(r.count, 1);
  EXPECT_EQ(r.err, "");
  Steps steps = StepsOf(id);
  ASSERT_GT(steps.size(), kTakeOver.size() + 6);
  // Strings before the take-over; then the generation read is the first report, the
  // signature comes next, then the firmware identity, before any configuration.
  EXPECT_EQ(Steps(steps.begin(), steps.begin() + 8), kTakeOver);
  EXPECT_EQ(Steps(steps.begin() + 8, steps.begin() + 11),
            (Steps{kCurrentGeneration, "usb_get_string_simple 60", kCurrentFirmware}));
  // The controller's reset is the last request; then release and close.
  EXPECT_EQ(Steps(steps.end() - 3, steps.end()),
            (Steps{kCurrentReset, "usb_release_interface 0", "usb_close"}));
  EXPECT_EQ(Dev(id).resets, 1);
  EXPECT_EQ(Dev(id).opens, 1);
  EXPECT_EQ(IsLegacy, 2);
  EXPECT_EQ(ChipID, 8);
  EXPECT_EQ(FwRev, 368);
  EXPECT_TRUE(Contains(r.out, "II:Firmware Version:S1.2.04(r368) ChipID:8\n")) << r.out;
  EXPECT_EQ(vusb::OpenHandleCount(), 0);
}

TEST_F(ScanTest, LegacyControllerPathInItsFixedOrder) {
  const int id = vusb::AddPctLegacy();
  ScanResult r = Scan();
  EXPECT_EQ(r.count, 1);
  Steps steps = StepsOf(id);
  Steps reset = LegacyReset();
  ASSERT_GT(steps.size(), kTakeOver.size() + 3 + reset.size() + 2);
  EXPECT_EQ(Steps(steps.begin(), steps.begin() + 8), kTakeOver);
  EXPECT_EQ(Steps(steps.begin() + 8, steps.begin() + 11),
            (Steps{kLegacyGeneration, "usb_get_string_simple 3", kLegacyFirmware}));
  EXPECT_EQ(Steps(steps.end() - static_cast<long>(reset.size()) - 2, steps.end()),
            Concat({reset, kRelease}));
  EXPECT_EQ(Dev(id).resets, 1);
  EXPECT_EQ(IsLegacy, 1);
}

TEST_F(ScanTest, ProtocolTwoControllerIsOnlyResetInTheCurrentForm) {
  struct Before {
    const char *name;
    int isLegacy;     // IsLegacy when the scan starts
    bool legacyFirst; // a legacy controller is handled just before
  };
  const Before cases[] = {
      {"first of the run", 0, false},       {"after a legacy controller", 0, true},
      {"IsLegacy 1 left over", 1, false},   {"IsLegacy 3 left over", 3, false},
      {"IsLegacy -4 left over", -4, false},
  };
  for (const Before &c : cases) {
    for (vusb::Model model : {vusb::Model::PctCurrent, vusb::Model::PctLegacy}) {
      SCOPED_TRACE(std::string(c.name) +
                   (model == vusb::Model::PctLegacy ? ", legacy model" : ", current model"));
      vusb::Reset();
      ClearRegistries();
      IsLegacy = c.isLegacy;
      DbgFlag = 1;
      int legacy = c.legacyFirst ? vusb::AddPctLegacy() : -1;
      vusb::DeviceSpec spec = model == vusb::Model::PctLegacy ? vusb::PctLegacySpec(0x2575, 0x0102)
                                                              : vusb::PctCurrentSpec();
      spec.interfaceProtocol = 2;
      const int id = vusb::AddDevice(spec);

      ScanResult r = Scan();

      // No generation read, no signature, no firmware read: the reset alone.
      EXPECT_EQ(StepsOf(id), Concat({kTakeOver, {kCurrentReset}, kRelease}));
      EXPECT_TRUE(Contains(r.out, "panelcfg DD:[Interface Descriptor]bInterfaceProtocol:2 fail\n"))
          << r.out;
      EXPECT_EQ(IsLegacy, c.legacyFirst ? 1 : c.isLegacy);
      EXPECT_EQ(r.count, c.legacyFirst ? 1 : 0);
      EXPECT_EQ(DevIDCnt, c.legacyFirst ? 1 : 0);
      EXPECT_EQ(ManufCnt, c.legacyFirst ? 1 : 0);
      if (legacy >= 0) {
        EXPECT_EQ(Dev(legacy).resets, 1);
      }
      EXPECT_EQ(vusb::OpenHandleCount(), 0);
    }
  }
}

TEST_F(ScanTest, OtherInterfaceProtocolsAreHandled) {
  for (int protocol : {0, 1, 3}) {
    SCOPED_TRACE(protocol);
    vusb::Reset();
    vusb::DeviceSpec spec = vusb::PctCurrentSpec();
    spec.interfaceProtocol = static_cast<uint8_t>(protocol);
    vusb::AddDevice(spec);
    EXPECT_EQ(Scan().count, 1);
  }
}

TEST_F(ScanTest, DisabledLegacyControllerGetsTheGenerationReadAndTheResetOnly) {
  MyConfig.disable_8752 = 1;
  const int legacy = vusb::AddPctLegacy();
  const int current = vusb::AddPctCurrent();
  ScanResult r = Scan();
  EXPECT_EQ(r.count, 1);
  EXPECT_EQ(StepsOf(legacy), Concat({kTakeOver, {kLegacyGeneration}, LegacyReset(), kRelease}));
  EXPECT_EQ(Dev(legacy).resets, 1);
  EXPECT_EQ(DevIDCnt, 1);
  EXPECT_STREQ(DevID[0], "2575:8753");
  EXPECT_EQ(Dev(current).resets, 1);
  EXPECT_EQ(vusb::OpenHandleCount(), 0);
}

TEST_F(ScanTest, WithoutTheOptionLegacyControllersAreHandled) {
  vusb::AddPctLegacy();
  vusb::AddPctCurrent();
  EXPECT_EQ(Scan().count, 2);
  EXPECT_EQ(DevIDCnt, 2);
}

TEST_F(ScanTest, DisableOptionSparesAControllerWhoseGenerationReadFailed) {
  MyConfig.disable_8752 = 1;
  const int id = vusb::AddPctCurrent();
  Dev(id).faults.transfers = {{.nth = 1}};
  ScanResult r = Scan();
  EXPECT_EQ(r.count, 1);
  EXPECT_EQ(IsLegacy, 0);
}

TEST_F(ScanTest, FailedGenerationReadMeansTheCurrentForms) {
  const int id = vusb::AddPctCurrent();
  Dev(id).faults.transfers = {{.nth = 1, .result = -ETIMEDOUT}};
  ScanResult r = Scan();
  EXPECT_EQ(r.count, 1);
  EXPECT_EQ(IsLegacy, 0);
  Steps steps = StepsOf(id);
  EXPECT_EQ(Steps(steps.begin() + 8, steps.begin() + 11),
            (Steps{"get f2 /32 = -110", "usb_get_string_simple 60", kCurrentFirmware}));
  EXPECT_EQ(Steps(steps.end() - 3, steps.end()), Concat({{kCurrentReset}, kRelease}));
  // Nothing in the legacy layouts, no command mode.
  for (const Bytes &b : vusb::SetReports(id))
    EXPECT_NE(b[1], 0x91);
}

TEST_F(ScanTest, LegacyControllerWhoseGenerationReadFailedNeedsTheCurrentSignature) {
  const int id = vusb::AddPctLegacy();
  Dev(id).faults.transfers = {{.nth = 1}};
  DbgFlag = 1;
  ScanResult r = Scan();
  EXPECT_EQ(r.count, 0);
  EXPECT_EQ(StepsOf(id),
            Concat({kTakeOver,
                    {"get f2 /32 = -32", "usb_get_string_simple 60 = -32", kCurrentReset},
                    kRelease}));
  EXPECT_TRUE(Contains(r.out, "panelcfg DD:PCT String not match\n")) << r.out;
}

TEST_F(ScanTest, FirmwareIdentityUnreadable) {
  const int id = vusb::AddPctCurrent();
  Dev(id).faults.transfers = {{.nth = 2}};
  DbgFlag = 1;
  ChipID = -1;
  ScanResult r = Scan();
  EXPECT_EQ(r.count, 0);
  EXPECT_EQ(StepsOf(id), Concat({kTakeOver,
                                 {kCurrentGeneration, "usb_get_string_simple 60",
                                  "get f2 /16 = -32", kCurrentReset},
                                 kRelease}));
  EXPECT_TRUE(Contains(r.out, "panelcfg DD:Read FW failed err=001\r\n"
                              "panelcfg DD:get firmware fail\n"))
      << r.out;
  EXPECT_EQ(ChipID, -1);
  EXPECT_EQ(DevIDCnt, 0);
  EXPECT_EQ(ManufCnt, 0);
}

// ---------------------------------------------------------------------------------------------
// The signature

struct SignatureCase {
  const char *name;
  bool legacy;
  std::map<int, std::string> strings; // replaces the model's strings 3 and 0x3C
  bool accepted;
};

TEST_F(ScanTest, SignatureRules) {
  const std::vector<SignatureCase> cases = {
      {"legacy, Velmarine at 3", true, {{3, "Velmarine"}}, true},
      {"legacy, Velmarine inside the text", true, {{3, "The Velmarine Co."}}, true},
      {"legacy, lower case", true, {{3, "velmarine"}}, false},
      {"legacy, upper case", true, {{3, "VELMARINE"}}, false},
      {"legacy, cut short", true, {{3, "Velmarin"}}, false},
      {"legacy, no string 3", true, {}, false},
      {"legacy, current signature at 0x3C", true, {{0x3C, "zUZOVoDODeRIRArI"}}, false},
      {"legacy, current signature at 3", true, {{3, "zUZOVoDODeRIRArI"}}, false},
      {"current, signature at 0x3C", false, {{0x3C, "zUZOVoDODeRIRArI"}}, true},
      {"current, signature inside the text", false, {{0x3C, "..zUZOVoDODeRIRArI.."}}, true},
      {"current, lower case", false, {{0x3C, "zuzovododerirari"}}, false},
      {"current, upper case", false, {{0x3C, "ZUZOVODODERIRARI"}}, false},
      {"current, one letter changed", false, {{0x3C, "zUZOVoDODeRIRAri"}}, false},
      {"current, no string 0x3C", false, {}, false},
      {"current, legacy signature at 3", false, {{3, "Velmarine"}}, false},
      {"current, legacy signature at 0x3C", false, {{0x3C, "Velmarine"}}, false},
  };
  for (const SignatureCase &c : cases) {
    SCOPED_TRACE(c.name);
    vusb::Reset();
    ClearRegistries();
    vusb::DeviceSpec spec = c.legacy ? vusb::PctLegacySpec() : vusb::PctCurrentSpec();
    spec.strings.erase(3);
    spec.strings.erase(0x3C);
    for (const auto &[index, text] : c.strings)
      spec.strings[index] = text;
    const int id = vusb::AddDevice(spec);
    DbgFlag = 1;

    ScanResult r = Scan();

    const std::string generation = c.legacy ? kLegacyGeneration : kCurrentGeneration;
    const std::string firmware = c.legacy ? kLegacyFirmware : kCurrentFirmware;
    const int index = c.legacy ? 3 : 0x3C;
    const std::string read = "usb_get_string_simple " + std::to_string(index) +
                             (spec.strings.count(index) ? "" : " = -32");
    Steps steps = StepsOf(id);
    ASSERT_GT(steps.size(), 11u);
    EXPECT_EQ(steps[8], generation);
    EXPECT_EQ(steps[9], read);
    EXPECT_EQ(r.count, c.accepted ? 1 : 0);
    EXPECT_EQ(DevIDCnt, c.accepted ? 1 : 0);
    EXPECT_EQ(Dev(id).resets, 1);
    EXPECT_EQ(vusb::OpenHandleCount(), 0);
    if (c.accepted) {
      EXPECT_EQ(steps[10], firmware);
      EXPECT_FALSE(Contains(r.out, "PCT String not match")) << r.out;
    } else {
      // Refused: straight to the reset, no firmware read, no configuration.
      Steps reset = c.legacy ? LegacyReset() : Steps{kCurrentReset};
      EXPECT_EQ(Steps(steps.begin() + 10, steps.end()), Concat({reset, kRelease}));
      EXPECT_TRUE(Contains(r.out, "panelcfg DD:PCT String not match\n")) << r.out;
    }
  }
}

TEST_F(ScanTest, LongStringsAreReadWhole) {
  // The longest texts libusb 0.1.12 reads (62 characters where char is signed, 126 where it
  // is unsigned) fit every buffer of the scan, so a signature at the very end of such a text
  // is still found.
  vusb::DeviceSpec spec = vusb::PctCurrentSpec();
  const std::string manufacturer(62, 'm');
  const std::string product(61, 'p');
  const std::string signature = std::string(46, '.') + "zUZOVoDODeRIRArI";
  spec.strings[1] = manufacturer;
  spec.strings[2] = product;
  spec.strings[0x3C] = signature;
  vusb::AddDevice(spec);
  DbgFlag = 1;
  ScanResult r = Scan();
  EXPECT_EQ(r.count, 1);
  EXPECT_TRUE(Contains(r.out, "panelcfg DD:usb_get_string_simple 0x3C ret:62 " + signature + "\n"))
      << r.out;
  EXPECT_TRUE(Contains(r.out, "panelcfg DD:Manufacturer String: " + manufacturer +
                                  "\npanelcfg DD:Product String: " + product + "\n"))
      << r.out;
}

TEST_F(ScanTest, UnreadableSignatureIsRefused) {
  const int id = vusb::AddPctCurrent();
  Dev(id).faults.unreadableStrings = {0x3C};
  ScanResult r = Scan();
  EXPECT_EQ(r.count, 0);
  EXPECT_EQ(IndexOf(StepsOf(id), kCurrentFirmware), -1);
  EXPECT_EQ(Dev(id).resets, 1);
}

class SignatureTest : public ScanTest {
protected:
  // ChkPCTString on a fresh handle of the device, with debug output on.
  ScanResult Check(int id, int isLegacy) {
    usb_dev_handle *h = usb_open(vusb::UsbDevice(id));
    vusb::ClearLog();
    IsLegacy = isLegacy;
    DbgFlag = 1;
    ScanResult r = Counted([h] { return ChkPCTString(h); });
    read_ = vusb::Sequence(id);
    usb_close(h);
    return r;
  }
  Steps read_; // the device's log during the check
};

TEST_F(SignatureTest, FoundGivesTheLengthOfTheText) {
  vusb::DeviceSpec spec = vusb::PctCurrentSpec();
  spec.strings[3] = "The Velmarine Co.";
  spec.strings[0x3C] = "ab zUZOVoDODeRIRArI";
  const int id = vusb::AddDevice(spec);

  ScanResult r = Check(id, 1);
  EXPECT_EQ(r.count, 17);
  EXPECT_EQ(r.out, "panelcfg DD:IsLegacy=1\n"
                   "panelcfg DD:usb_get_string_simple 0x3C ret:17 The Velmarine Co.\n");
  EXPECT_EQ(read_, Steps{"usb_get_string_simple 3"});

  for (int isLegacy : {0, 2, 3, -1, 5}) {
    SCOPED_TRACE(isLegacy);
    r = Check(id, isLegacy);
    EXPECT_EQ(r.count, 19);
    EXPECT_EQ(r.out, "panelcfg DD:IsLegacy=" + std::to_string(isLegacy) +
                         "\npanelcfg DD:usb_get_string_simple 0x3C ret:19 ab zUZOVoDODeRIRArI\n");
    EXPECT_EQ(read_, Steps{"usb_get_string_simple 60"});
  }
}

TEST_F(SignatureTest, AbsentOrUnreadableGivesZero) {
  vusb::DeviceSpec spec = vusb::PctCurrentSpec();
  spec.strings[3] = "velmarine";
  spec.strings.erase(0x3C);
  const int id = vusb::AddDevice(spec);

  ScanResult r = Check(id, 1);
  EXPECT_EQ(r.count, 0);
  EXPECT_EQ(r.out, "panelcfg DD:IsLegacy=1\n"
                   "panelcfg DD:usb_get_string_simple 0x3C ret:9 velmarine\n"
                   "panelcfg DD:Device string not match.\n");

  r = Check(id, 2);
  EXPECT_EQ(r.count, 0);
  EXPECT_EQ(r.out, "panelcfg DD:IsLegacy=2\n"
                   "panelcfg DD:usb_get_string_simple 0x3C ret:-32 \n"
                   "panelcfg DD:Unable to get string 1 ret:-32\n");
  EXPECT_EQ(r.err, "");
}

// ---------------------------------------------------------------------------------------------
// Resets, release and close

struct PathCase {
  const char *name;
  vusb::DeviceSpec spec;
  int function = FM_CONFIGURE;
  int resets = 1;        // reset requests the controller carries out
  int counted = 0;       // PCT count
  std::string err = "";  // standard error
  bool transfers = true; // any feature report at all
};

std::vector<PathCase> Paths() {
  std::vector<PathCase> cases;
  auto add = [&](const char *name, vusb::DeviceSpec spec) {
    PathCase c;
    c.name = name;
    c.spec = std::move(spec);
    cases.push_back(c);
    return &cases.back();
  };
  add("current, handled", vusb::PctCurrentSpec())->counted = 1;
  add("legacy, handled", vusb::PctLegacySpec())->counted = 1;
  {
    vusb::DeviceSpec s = vusb::PctCurrentSpec();
    s.interfaceProtocol = 2;
    add("protocol 2", s);
  }
  {
    vusb::DeviceSpec s = vusb::PctCurrentSpec();
    s.strings.erase(0x3C);
    add("signature absent", s);
  }
  {
    vusb::DeviceSpec s = vusb::PctCurrentSpec();
    s.faults.transfers = {{.nth = 2}};
    add("firmware unreadable", s);
  }
  {
    vusb::DeviceSpec s = vusb::PctCurrentSpec();
    s.faults.unreadableStrings = {2};
    PathCase *c = add("product string unreadable", s);
    c->counted = 1;
    c->err = "Unable to get 0x02 stringn: Broken pipe\n";
  }
  struct TakeOverFault {
    const char *name;
    int vusb::Faults::*field;
    int err;
    const char *message;
  };
  const TakeOverFault faults[] = {
      {"driver name", &vusb::Faults::driverErrno, EACCES, "Unable to get device driver name"},
      {"detach", &vusb::Faults::detachErrno, EPERM, "Unable to detach kernel driver"},
      {"configuration", &vusb::Faults::configErrno, EIO, "Unable to set device configuration"},
      {"claim", &vusb::Faults::claimErrno, EBUSY, "Unable to claim interface"},
      {"alternate setting", &vusb::Faults::altErrno, EPROTO, "Unable to set alternate interface"},
  };
  for (const TakeOverFault &f : faults) {
    for (bool resistive : {false, true}) {
      vusb::DeviceSpec s = resistive ? vusb::ResistiveSpec() : vusb::PctCurrentSpec();
      s.faults.*f.field = f.err;
      PathCase *c = add(f.name, s);
      c->resets = 0;
      c->transfers = false;
      c->err = std::string(f.message) + ": " + strerror(f.err) + "\n";
    }
  }
  {
    vusb::DeviceSpec s = vusb::PctCurrentSpec();
    s.driver = "";
    PathCase *c = add("no kernel driver", s);
    c->resets = 0;
    c->transfers = false;
    c->err = std::string("Unable to get device driver name: ") + strerror(ENODATA) +
             "\npanelcfg: no kernel driver is bound to this controller (a run was stopped "
             "while it held it?); panelcfg --recover resets it\n";
  }
  add("resistive, handled", vusb::ResistiveSpec());
  add("resistive, firmware refused", vusb::ResistiveSpec(0x1234, 0x8888, "V3.01"));
  add("resistive, rotation", vusb::ResistiveSpec())->function = FM_ROTATION;
  return cases;
}

TEST_F(ScanTest, EveryPathReleasesAndClosesAndResetsWhatWasTakenOver) {
  for (const PathCase &c : Paths()) {
    for (int interface : {0, 2}) {
      SCOPED_TRACE(std::string(c.name) + ", interface " + std::to_string(interface));
      vusb::Reset();
      ClearRegistries();
      MyConfig.res = 1;
      FunctionMode = c.function;
      vusb::DeviceSpec spec = c.spec;
      spec.interfaceNumber = static_cast<uint8_t>(interface);
      const int id = vusb::AddDevice(spec);

      ScanResult r = Scan();

      EXPECT_EQ(r.count, c.counted);
      EXPECT_EQ(r.err, c.err);
      EXPECT_EQ(Dev(id).opens, 1);
      EXPECT_EQ(Dev(id).resets, c.resets);
      EXPECT_EQ(Dev(id).transfers > 0, c.transfers);
      EXPECT_EQ(vusb::OpenHandleCount(), 0);
      EXPECT_EQ(Dev(id).openHandles, 0);
      std::vector<std::string> calls = vusb::Calls(id);
      ASSERT_GE(calls.size(), 2u);
      EXPECT_EQ(Steps(calls.end() - 2, calls.end()), (Steps{"usb_release_interface", "usb_close"}));
      // The release names the interface of the first alternate setting.
      const vusb::Entry *release = nullptr;
      for (const vusb::Entry &e : vusb::Log())
        if (e.call == "usb_release_interface" && e.device == id)
          release = &e;
      ASSERT_NE(release, nullptr);
      EXPECT_EQ(release->arg, interface);
      // Every feature report went to that interface.
      for (const vusb::Entry &e : vusb::Transfers(id))
        EXPECT_EQ(e.index, interface);
    }
  }
}

TEST_F(ScanTest, DeviceNotTakenOverGetsNoCommandButIsReleasedAndClosed) {
  const int id = vusb::AddPctCurrent();
  Dev(id).faults.claimErrno = EBUSY;
  const int next = vusb::AddPctCurrent();
  ScanResult r = Scan();
  EXPECT_EQ(r.count, 1);
  EXPECT_EQ(r.err, std::string("Unable to claim interface: ") + strerror(EBUSY) + "\n");
  // The interface was never claimed: the release fails, and is made all the same.
  EXPECT_EQ(StepsOf(id), (Steps{"usb_open", "usb_get_string_simple 2", "usb_get_string_simple 1",
                                "usb_get_driver_np 0", "usb_detach_kernel_driver_np 0",
                                "usb_set_configuration 1", "usb_claim_interface 0 = -16",
                                "usb_release_interface 0 = -22", "usb_close"}));
  EXPECT_EQ(Dev(next).resets, 1);
}

TEST_F(ScanTest, OneDeviceOpenAtATime) {
  MyConfig.res = 1;
  vusb::AddPctCurrent();
  vusb::AddResistive();
  vusb::AddPctLegacy();
  const int failing = vusb::AddPctCurrent();
  Dev(failing).faults.altErrno = EIO;
  vusb::AddPctCurrent(0x2149, 0x0101);
  ScanResult r = Scan();
  EXPECT_EQ(r.count, 3);
  int open = 0;
  int opened = 0;
  int current = -1;
  for (const vusb::Entry &e : vusb::Log()) {
    if (e.call == "usb_open" && e.result > 0) {
      EXPECT_EQ(open, 0) << "device " << e.device << " opened while " << current << " is open";
      open++;
      opened++;
      current = e.device;
    } else if (e.call == "usb_close") {
      EXPECT_EQ(e.device, current);
      open--;
    } else if (e.device >= 0) {
      // Every call on a device falls between its open and its close.
      EXPECT_EQ(e.device, current) << e.call;
      EXPECT_EQ(open, 1) << e.call;
    }
  }
  EXPECT_EQ(open, 0);
  EXPECT_EQ(opened, 5);
  EXPECT_EQ(vusb::OpenHandleCount(), 0);
}

TEST_F(ScanTest, DeviceThatCannotBeOpenedIsReportedAndSkipped) {
  const int id = vusb::AddPctCurrent();
  Dev(id).faults.openErrno = EACCES;
  const int next = vusb::AddPctCurrent(0x2575, 0x9969);
  ScanResult r = Scan();
  EXPECT_EQ(r.count, 1);
  EXPECT_EQ(r.err, std::string("Unable to open USB device 2575:8753: ") + strerror(EACCES) + "\n");
  EXPECT_EQ(StepsOf(id), Steps{"usb_open = -13"});
  // Nothing to release or close: the one close of the run is the next device's.
  std::vector<std::string> calls = vusb::Calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "usb_close"), 1);
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "usb_release_interface"), 1);
  EXPECT_EQ(Dev(next).resets, 1);
  EXPECT_STREQ(DevID[0], "2575:9969");
  EXPECT_EQ(vusb::OpenHandleCount(), 0);
}

TEST_F(ScanTest, SupportedDeviceWithoutAConfigurationIsSkippedUntouched) {
  MyConfig.res = 1;
  const int pct = vusb::AddPctCurrent();
  Dev(pct).faults.noConfig = true;
  const int res = vusb::AddResistive();
  Dev(res).faults.noConfig = true;
  const int next = vusb::AddPctCurrent(0x2575, 0x9968);
  vusb::ReEnumerate();
  DbgFlag = 1;

  ScanResult r = Scan();

  EXPECT_EQ(r.count, 1);
  EXPECT_EQ(r.err, "");
  for (int id : {pct, res}) {
    EXPECT_TRUE(vusb::Calls(id).empty());
    EXPECT_EQ(Dev(id).opens, 0);
  }
  EXPECT_TRUE(Contains(r.out, "panelcfg DD:CheckUSBID PCT 0x2575 0x8753---match\n"
                              "panelcfg DD:2575:8753 has no interface descriptor, skipped\n"))
      << r.out;
  EXPECT_TRUE(Contains(r.out, "panelcfg DD:CheckUSBID RES 0x1234 0x8888---match\n"
                              "panelcfg DD:1234:8888 has no interface descriptor, skipped\n"))
      << r.out;
  EXPECT_EQ(Dev(next).opens, 1);
  EXPECT_STREQ(DevID[0], "2575:9968");
}

TEST_F(ScanTest, MissingConfigurationMessageIsADebugLine) {
  const int pct = vusb::AddPctCurrent();
  Dev(pct).faults.noConfig = true;
  vusb::ReEnumerate();
  ScanResult r = Scan();
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
}

// ---------------------------------------------------------------------------------------------
// Registration and the count

TEST_F(ScanTest, TwoIdenticalControllersCountTwiceAndRegisterOnce) {
  const int a = vusb::AddPctCurrent();
  const int b = vusb::AddPctCurrent();
  ScanResult r = Scan();
  EXPECT_EQ(r.count, 2);
  EXPECT_EQ(ManufCnt, 1);
  EXPECT_EQ(DevIDCnt, 1);
  EXPECT_STREQ(MatchProduct[0], "Tessel Panels TP8753 Multi-Touch");
  EXPECT_STREQ(ProductName[0], "TP8753 Multi-Touch");
  EXPECT_STREQ(DevID[0], "2575:8753");
  EXPECT_STREQ(MatchProduct[1], "");
  EXPECT_STREQ(DevID[1], "");
  EXPECT_EQ(Dev(a).resets, 1);
  EXPECT_EQ(Dev(b).resets, 1);
}

TEST_F(ScanTest, ControllerIsRegisteredUnderTheIdsItHadWhenTheScanBegan) {
  const int id = vusb::AddPctCurrent();
  POSMode = 2; // --mouse: the controller is given product ID 0x9969
  ScanResult r = Scan();
  EXPECT_EQ(r.count, 1);
  EXPECT_TRUE(Dev(id).pendingIds);
  EXPECT_EQ(Dev(id).pendingVid, 0x2575);
  EXPECT_EQ(Dev(id).pendingPid, 0x9969);
  EXPECT_EQ(DevIDCnt, 1);
  EXPECT_STREQ(DevID[0], "2575:8753");
  // Not visited a second time under its new IDs.
  EXPECT_EQ(Dev(id).opens, 1);
  EXPECT_EQ(vusb::OpenHandleCount(), 0);
}

TEST_F(ScanTest, UnreadableProductStringStillConfiguresAndRegistersEmptyStrings) {
  const int id = vusb::AddPctCurrent();
  Dev(id).faults.unreadableStrings = {2};
  ScanResult r = Scan();
  EXPECT_EQ(r.count, 1);
  EXPECT_EQ(r.err, "Unable to get 0x02 stringn: " + std::string(strerror(EPIPE)) + "\n");
  // The manufacturer string is not read at all.
  Steps steps = StepsOf(id);
  EXPECT_EQ(Steps(steps.begin(), steps.begin() + 3),
            (Steps{"usb_open", "usb_get_string_simple 2 = -32", "usb_get_driver_np 0"}));
  EXPECT_EQ(ManufCnt, 1);
  EXPECT_STREQ(MatchProduct[0], " ");
  EXPECT_STREQ(ProductName[0], "");
  EXPECT_EQ(DevIDCnt, 1);
  EXPECT_STREQ(DevID[0], "2575:8753");
  EXPECT_EQ(Dev(id).resets, 1);
}

TEST_F(ScanTest, UnreadableManufacturerStringLeavesItEmpty) {
  vusb::DeviceSpec first = vusb::PctCurrentSpec();
  first.strings[1] = "Maker A";
  first.strings[2] = "Panel A";
  vusb::DeviceSpec second = vusb::PctCurrentSpec(0x2575, 0x9969);
  second.strings[1] = "Maker B";
  second.strings[2] = "Panel B";
  second.faults.unreadableStrings = {1};
  vusb::AddDevice(first);
  const int id = vusb::AddDevice(second);
  ScanResult r = Scan();
  EXPECT_EQ(r.count, 2);
  EXPECT_EQ(r.err, "Unable to get 0x01 string 2\n: " + std::string(strerror(EPIPE)) + "\n");
  Steps steps = StepsOf(id);
  EXPECT_EQ(Steps(steps.begin(), steps.begin() + 3),
            (Steps{"usb_open", "usb_get_string_simple 2", "usb_get_string_simple 1 = -32"}));
  // Not the first controller's manufacturer: the buffers start empty for every device.
  EXPECT_EQ(ManufCnt, 2);
  EXPECT_STREQ(MatchProduct[1], " Panel B");
  EXPECT_STREQ(ProductName[1], "Panel B");
}

TEST_F(ScanTest, StringBuffersStartEmptyForEveryDevice) {
  vusb::DeviceSpec first = vusb::PctCurrentSpec();
  first.strings[1] = "Maker A";
  first.strings[2] = "Panel A";
  vusb::DeviceSpec second = vusb::PctCurrentSpec(0x2575, 0x9969);
  second.faults.unreadableStrings = {2};
  vusb::AddDevice(first);
  vusb::AddDevice(second);
  DbgFlag = 1;
  ScanResult r = Scan();
  EXPECT_EQ(r.count, 2);
  EXPECT_TRUE(Contains(r.out, "panelcfg DD:Manufacturer String: Maker A\n"
                              "panelcfg DD:Product String: Panel A\n"))
      << r.out;
  EXPECT_TRUE(Contains(r.out, "panelcfg DD:Manufacturer String: \n"
                              "panelcfg DD:Product String: \n"))
      << r.out;
}

TEST_F(ScanTest, CountIsOfPctControllersOnly) {
  MyConfig.res = 1;
  const int res1 = vusb::AddResistive();
  const int res2 = vusb::AddResistive(0x22B9, 0x0001);
  vusb::AddPctCurrent();
  ScanResult r = Scan();
  EXPECT_EQ(r.count, 1);
  EXPECT_EQ(rDevIDCnt, 2);
  EXPECT_STREQ(rDevID[0], "1234:8888");
  EXPECT_STREQ(rDevID[1], "22b9:0001");
  EXPECT_EQ(rManufCnt, 1);
  EXPECT_EQ(DevIDCnt, 1);
  EXPECT_EQ(Dev(res1).resets, 1);
  EXPECT_EQ(Dev(res2).resets, 1);
}

TEST_F(ScanTest, RunWithOnlyResistiveControllersCountsZero) {
  MyConfig.res = 1;
  vusb::AddResistive();
  ScanResult r = Scan();
  EXPECT_EQ(r.count, 0);
  EXPECT_EQ(rDevIDCnt, 1);
  EXPECT_EQ(rManufCnt, 1);
  EXPECT_STREQ(rMatchProduct[0], "Orrin Devices RT-4W Resistive Touch");
}

TEST_F(ScanTest, RotationOperationSetsRotationOneAndRegistersNothing) {
  MyConfig.res = 1;
  FunctionMode = FM_ROTATION;
  const int id = vusb::AddResistive(0x1234, 0x8888, "V3.01"); // firmware not tested here
  ScanResult r = Scan();
  EXPECT_EQ(r.count, 0);
  EXPECT_EQ(Dev(id).rotation, 1);
  EXPECT_EQ(Dev(id).resets, 1);
  EXPECT_EQ(rDevIDCnt, 0);
  EXPECT_EQ(rManufCnt, 0);
}

TEST_F(ScanTest, ResistiveControllerWithRotationGetsItReset) {
  MyConfig.res = 1;
  vusb::DeviceSpec spec = vusb::ResistiveSpec();
  spec.rotation = 2;
  const int id = vusb::AddDevice(spec);
  ScanResult r = Scan();
  EXPECT_EQ(r.count, 0);
  EXPECT_EQ(Dev(id).rotation, 0);
  EXPECT_EQ(rDevIDCnt, 1);
}

TEST_F(ScanTest, RefusedResistiveFirmwareIsResetButNotRegistered) {
  MyConfig.res = 1;
  vusb::DeviceSpec spec = vusb::ResistiveSpec(0x1234, 0x8888, "V3.01");
  spec.rotation = 2;
  const int id = vusb::AddDevice(spec);
  ScanResult r = Scan();
  EXPECT_EQ(r.count, 0);
  EXPECT_EQ(Dev(id).rotation, 2);
  EXPECT_EQ(Dev(id).resets, 1);
  EXPECT_EQ(rDevIDCnt, 0);
  EXPECT_EQ(rManufCnt, 0);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Recovery: controllers left without their kernel driver

namespace {

class RecoverTest : public ScanTest {};

vusb::DeviceSpec WithoutDriver(vusb::DeviceSpec spec) {
  spec.driver = "";
  return spec;
}

TEST_F(RecoverTest, OnlyControllersWithoutADriverAreClaimedAndGetTheirOwnReset) {
  MyConfig.res = 1;
  const int current = vusb::AddDevice(WithoutDriver(vusb::PctCurrentSpec()));
  const int bound = vusb::AddPctCurrent(0x2575, 0x8753);
  const int plain = vusb::AddDevice(WithoutDriver(vusb::PlainSpec(0x0f0f, 0x0101)));
  vusb::DeviceSpec legacySpec = WithoutDriver(vusb::PctLegacySpec());
  legacySpec.bus = 2;
  const int legacy = vusb::AddDevice(legacySpec);
  vusb::DeviceSpec resistiveSpec = WithoutDriver(vusb::ResistiveSpec());
  resistiveSpec.bus = 2;
  const int resistive = vusb::AddDevice(resistiveSpec);

  ScanResult r = Counted([] { return RecoverControllers(); });

  EXPECT_EQ(r.count, 3);
  const Steps claimed = {"usb_open", "usb_get_driver_np 0 = -61", "usb_claim_interface 0"};
  EXPECT_EQ(StepsOf(current), Concat({claimed, {kCurrentGeneration, kCurrentReset}, kRelease}));
  EXPECT_EQ(StepsOf(legacy), Concat({claimed, {kLegacyGeneration}, LegacyReset(), kRelease}));
  EXPECT_EQ(StepsOf(resistive), Concat({claimed, {"set 01 04 01 52 52 0d /6"}, kRelease}));
  // A controller with its driver bound is only asked for it; other devices are never opened.
  EXPECT_EQ(StepsOf(bound), (Steps{"usb_open", "usb_get_driver_np 0", "usb_close"}));
  EXPECT_TRUE(StepsOf(plain).empty());
  EXPECT_EQ(Dev(current).resets, 1);
  EXPECT_EQ(Dev(legacy).resets, 1);
  EXPECT_EQ(Dev(resistive).resets, 1);
  EXPECT_EQ(Dev(bound).resets, 0);
  EXPECT_EQ(r.out, "II:reset bus 001 device 002: 2575:8753 PCT, which had no kernel driver\n"
                   "II:reset bus 002 device 002: 22b9:0040 PCT, which had no kernel driver\n"
                   "II:reset bus 002 device 003: 1234:8888 resistive, which had no kernel "
                   "driver\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(0, vusb::OpenHandleCount());
  EXPECT_EQ(ManufCnt + DevIDCnt + rManufCnt + rDevIDCnt, 0);
}

TEST_F(RecoverTest, AClaimThatFailsIsReportedAndNothingIsSent) {
  vusb::DeviceSpec spec = WithoutDriver(vusb::PctCurrentSpec());
  spec.faults.claimErrno = EBUSY;
  const int id = vusb::AddDevice(spec);
  ScanResult r = Counted([] { return RecoverControllers(); });
  EXPECT_EQ(r.count, 0);
  EXPECT_EQ(StepsOf(id), (Steps{"usb_open", "usb_get_driver_np 0 = -61",
                                "usb_claim_interface 0 = -16", "usb_close"}));
  EXPECT_EQ(r.err, std::string("Unable to claim interface: ") + strerror(EBUSY) + "\n");
  EXPECT_EQ(r.out, "");
}

} // namespace
