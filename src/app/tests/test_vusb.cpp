// The virtual USB bus itself: every other suite trusts what it enumerates, answers and logs.
#include <gtest/gtest.h>
#include <usb.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/pause.h"
#include "base/state.h"
#include "lists/registry.h"
#include "run/driver.h"
#include "scratch_dir.h"
#include "vusb.h"

namespace {

using vusb::Bytes;
using vusb::Dev;

// A 64-byte report starting with the given bytes.
Bytes Report(std::initializer_list<int> head, size_t len = 64) {
  Bytes r(len, 0);
  size_t i = 0;
  for (int b : head)
    r[i++] = static_cast<uint8_t>(b);
  return r;
}

int Set(usb_dev_handle *h, Bytes data) {
  return usb_control_msg(h, 0x21, 0x09, 0x0300 | data[0], 0, reinterpret_cast<char *>(data.data()),
                         static_cast<int>(data.size()), 5000);
}

// Get_Report; result receives the transfer's result.
Bytes Get(usb_dev_handle *h, int id, int len, int *result = nullptr) {
  Bytes buf(static_cast<size_t>(len), 0);
  int r = usb_control_msg(h, 0xA1, 0x01, 0x0300 | id, 0, reinterpret_cast<char *>(buf.data()), len,
                          5000);
  if (result != nullptr)
    *result = r;
  return buf;
}

// Opens the device and takes its interface over in the order of the utility.
usb_dev_handle *OpenClaimed(int id) {
  usb_dev_handle *h = usb_open(vusb::UsbDevice(id));
  char name[50] = {};
  EXPECT_EQ(usb_get_driver_np(h, 0, name, sizeof name), 0);
  EXPECT_EQ(usb_detach_kernel_driver_np(h, 0), 0);
  EXPECT_EQ(usb_set_configuration(h, 1), 0);
  EXPECT_EQ(usb_claim_interface(h, 0), 0);
  EXPECT_EQ(usb_set_altinterface(h, 0), 0);
  return h;
}

// The resistive answer frame: 01 len 01 payload 0D.
// len bytes in all, zeros after the frame.
Bytes Answer(const std::string &payload, size_t len) {
  // Byte by byte into room made first: GCC 12 on s390x reports a range insert or an indexed
  // store here as out of bounds (-Warray-bounds, -Wstringop-overflow, false positives).
  Bytes r;
  r.reserve(std::max(len, payload.size() + 4));
  r.push_back(0x01);
  r.push_back(static_cast<uint8_t>(payload.size() + 2));
  r.push_back(0x01);
  for (const char c : payload)
    r.push_back(static_cast<uint8_t>(c));
  r.push_back(0x0D);
  while (r.size() < len)
    r.push_back(0);
  return r;
}

Bytes Frame(const std::string &cmd) {
  Bytes r(cmd.size() + 4, 0);
  r[0] = 0x01;
  r[1] = static_cast<uint8_t>(cmd.size() + 2);
  r[2] = 0x01;
  for (size_t i = 0; i < cmd.size(); i++)
    r[3 + i] = static_cast<uint8_t>(cmd[i]);
  r.back() = 0x0D;
  return r;
}

class Vusb : public testing::Test {
protected:
  void SetUp() override { vusb::Reset(); }
  void TearDown() override { vusb::Reset(); }
};

// ---------------------------------------------------------------------------------------------
// Enumeration and descriptors

TEST_F(Vusb, EnumeratesBussesAscendingAndDevicesInTheOrderAdded) {
  vusb::DeviceSpec a = vusb::PlainSpec(0x0F0F, 0x0001);
  a.bus = 2;
  vusb::DeviceSpec b = vusb::PctCurrentSpec();
  b.interfaceProtocol = 2;
  b.interfaceNumber = 1;
  b.configurationValue = 3;
  vusb::DeviceSpec c = vusb::PlainSpec(0x0F0F, 0x0003);
  c.bus = 2;
  vusb::AddDevice(a);
  vusb::AddDevice(b);
  vusb::AddDevice(c);
  usb_init();
  usb_find_busses();
  usb_find_devices();
  usb_bus *bus = usb_get_busses();
  ASSERT_EQ(bus, usb_busses);

  std::vector<std::pair<std::string, int>> seen;
  for (usb_bus *bs = bus; bs != nullptr; bs = bs->next)
    for (struct usb_device *d = bs->devices; d != nullptr; d = d->next)
      seen.emplace_back(bs->dirname, static_cast<int>(d->descriptor.idProduct));
  EXPECT_EQ(seen, (std::vector<std::pair<std::string, int>>{
                      {"001", 0x8753}, {"002", 0x0001}, {"002", 0x0003}}));

  const struct usb_device *pct = bus->devices;
  EXPECT_EQ(pct->descriptor.idVendor, 0x2575);
  ASSERT_NE(pct->config, nullptr);
  EXPECT_EQ(pct->config[0].bConfigurationValue, 3);
  const usb_interface_descriptor &alt = pct->config[0].interface[0].altsetting[0];
  EXPECT_EQ(alt.bInterfaceNumber, 1);
  EXPECT_EQ(alt.bAlternateSetting, 0);
  EXPECT_EQ(alt.bInterfaceProtocol, 2);
  EXPECT_EQ(alt.bInterfaceClass, 3);
}

TEST_F(Vusb, MissingConfigurationAndUnpluggedDevicesShowInTheLists) {
  vusb::DeviceSpec s = vusb::PctCurrentSpec();
  s.faults.noConfig = true;
  int bare = vusb::AddDevice(s);
  int gone = vusb::AddPlain(0x0F0F, 0x0002);
  Dev(gone).unplugged = true;
  vusb::ReEnumerate();
  ASSERT_NE(vusb::UsbDevice(bare), nullptr);
  EXPECT_EQ(vusb::UsbDevice(bare)->config, nullptr);
  EXPECT_EQ(vusb::UsbDevice(gone), nullptr);
  EXPECT_EQ(usb_busses->devices->next, nullptr);
}

TEST_F(Vusb, StringDescriptorsByIndex) {
  int cur = vusb::AddPctCurrent();
  int leg = vusb::AddPctLegacy();
  Dev(leg).faults.unreadableStrings = {1};
  usb_dev_handle *hc = usb_open(vusb::UsbDevice(cur));
  usb_dev_handle *hl = usb_open(vusb::UsbDevice(leg));
  char buf[256];

  EXPECT_EQ(usb_get_string_simple(hc, 0x3C, buf, sizeof buf), 16);
  EXPECT_STREQ(buf, "zUZOVoDODeRIRArI");
  EXPECT_EQ(usb_get_string_simple(hl, 3, buf, sizeof buf), 9);
  EXPECT_STREQ(buf, "Velmarine");
  // Cut to the buffer, terminated.
  EXPECT_EQ(usb_get_string_simple(hc, 0x3C, buf, 5), 4);
  EXPECT_STREQ(buf, "zUZO");
  // No such string on the current generation; an injected failure on the legacy one.
  errno = 0;
  EXPECT_EQ(usb_get_string_simple(hc, 3, buf, sizeof buf), -EPIPE);
  EXPECT_EQ(errno, EPIPE);
  errno = 0;
  EXPECT_EQ(usb_get_string_simple(hl, 1, buf, sizeof buf), -EPIPE);
  EXPECT_EQ(errno, EPIPE);
  EXPECT_GT(usb_get_string_simple(hl, 2, buf, sizeof buf), 0);
  usb_close(hc);
  usb_close(hl);
  EXPECT_EQ(vusb::OpenHandleCount(), 0);
}

// ---------------------------------------------------------------------------------------------
// Taking a device over

TEST_F(Vusb, TakeoverFailuresSetErrnoLikeTheKernel) {
  vusb::DeviceSpec s = vusb::PctCurrentSpec();
  s.driver = "";
  int unbound = vusb::AddDevice(s);
  int pct = vusb::AddPctCurrent();
  usb_dev_handle *h = usb_open(vusb::UsbDevice(unbound));
  char name[50] = {};

  EXPECT_EQ(usb_get_driver_np(h, 0, name, sizeof name), -ENODATA);
  testing::internal::CaptureStderr();
  perror("Unable to get device driver name");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            std::string("Unable to get device driver name: ") + strerror(ENODATA) + "\n");
  EXPECT_EQ(usb_detach_kernel_driver_np(h, 0), -ENODATA);
  usb_close(h);

  // A bound driver keeps the configuration and the interface busy.
  h = usb_open(vusb::UsbDevice(pct));
  EXPECT_EQ(usb_set_configuration(h, 1), -EBUSY);
  EXPECT_EQ(usb_claim_interface(h, 0), -EBUSY);
  EXPECT_EQ(errno, EBUSY);
  EXPECT_EQ(usb_set_altinterface(h, 0), -EINVAL); // nothing claimed
  EXPECT_EQ(usb_release_interface(h, 0), -EINVAL);
  ASSERT_EQ(usb_get_driver_np(h, 0, name, sizeof name), 0);
  EXPECT_STREQ(name, "usbhid");
  errno = 4321; // success leaves errno alone
  EXPECT_EQ(usb_detach_kernel_driver_np(h, 0), 0);
  EXPECT_EQ(usb_set_configuration(h, 1), 0);
  EXPECT_EQ(usb_claim_interface(h, 0), 0);
  EXPECT_EQ(usb_set_altinterface(h, 0), 0);
  EXPECT_EQ(errno, 4321);
  EXPECT_EQ(Dev(pct).claimedInterface, 0);
  EXPECT_EQ(usb_release_interface(h, 0), 0);
  EXPECT_EQ(Dev(pct).claimedInterface, -1);
  EXPECT_TRUE(Dev(pct).boundDriver.empty()); // stays detached
  usb_close(h);
}

TEST_F(Vusb, InjectedTakeoverFaultsFailTheirCall) {
  struct Case {
    int vusb::Faults::*field;
    const char *call;
    int err;
  };
  const Case cases[] = {
      {&vusb::Faults::driverErrno, "usb_get_driver_np", EACCES},
      {&vusb::Faults::detachErrno, "usb_detach_kernel_driver_np", EPERM},
      {&vusb::Faults::configErrno, "usb_set_configuration", EIO},
      {&vusb::Faults::claimErrno, "usb_claim_interface", EBUSY},
      {&vusb::Faults::altErrno, "usb_set_altinterface", EPROTO},
      {&vusb::Faults::releaseErrno, "usb_release_interface", EIO},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.call);
    vusb::Reset();
    int id = vusb::AddPctCurrent();
    Dev(id).faults.*c.field = c.err;
    usb_dev_handle *h = usb_open(vusb::UsbDevice(id));
    char name[50];
    errno = 0;
    // The whole takeover in order; the first failure must be the injected one.
    if (usb_get_driver_np(h, 0, name, sizeof name) == 0 && usb_detach_kernel_driver_np(h, 0) == 0 &&
        usb_set_configuration(h, 1) == 0 && usb_claim_interface(h, 0) == 0 &&
        usb_set_altinterface(h, 0) == 0)
      usb_release_interface(h, 0);
    EXPECT_EQ(errno, c.err);
    ASSERT_FALSE(vusb::Log().empty());
    const vusb::Entry &last = vusb::Log().back();
    EXPECT_EQ(last.call, c.call);
    EXPECT_EQ(last.result, -c.err);
    EXPECT_EQ(last.err, c.err);
    usb_close(h);
  }

  vusb::Reset();
  int id = vusb::AddPctCurrent();
  Dev(id).faults.openErrno = EACCES;
  errno = 0;
  EXPECT_EQ(usb_open(vusb::UsbDevice(id)), nullptr);
  EXPECT_EQ(errno, EACCES);
  EXPECT_EQ(vusb::Sequence(id), std::vector<std::string>{"usb_open = -13"});
}

// ---------------------------------------------------------------------------------------------
// Feature reports, per model

TEST_F(Vusb, CurrentPctAnswersItsCommandSet) {
  int id = vusb::AddPctCurrent();
  usb_dev_handle *h = OpenClaimed(id);
  int r = 0;

  Bytes ident = Get(h, 0xF2, 32, &r);
  EXPECT_EQ(r, 32);
  EXPECT_EQ(Bytes(ident.begin(), ident.begin() + 6), (Bytes{0xF2, 0x70, 0x81, 0x04, 0x12, 0}));

  // Position mode: stored as mode + 31, reported as mode - 1 at reply byte 8 + 1.
  ASSERT_EQ(Set(h, Report({0x06, 0xA2, 0x10}, 8)), 8);
  EXPECT_EQ(Get(h, 0x07, 64)[9], 0x00);
  ASSERT_EQ(Set(h, Report({0x08, 0x84, 0xC9, 0x00, 0x23})), 64);
  EXPECT_EQ(Dev(id).storedPosMode, 0x23u);
  EXPECT_EQ(Dev(id).PosMode(), 4);
  Set(h, Report({0x06, 0xA2, 0x10}, 8));
  Bytes pos = Get(h, 0x07, 64, &r);
  EXPECT_EQ(r, 64);
  EXPECT_EQ(pos[0], 0x07);
  EXPECT_EQ(pos[9], 0x03);

  // Parameter area: stored exactly as sent, returned at byte 8 for the length asked.
  Bytes write = Report({0x08, 0xA8, 0x22});
  for (int i = 0; i < 34; i++)
    write[8 + static_cast<size_t>(i)] = static_cast<uint8_t>(0x40 + i);
  Set(h, write);
  EXPECT_EQ(Dev(id).Params(34), Bytes(write.begin() + 8, write.begin() + 42));
  Set(h, Report({0x06, 0xA1, 0x22}, 8));
  Bytes back = Get(h, 0x07, 64);
  EXPECT_EQ(Bytes(back.begin() + 8, back.begin() + 42),
            Bytes(write.begin() + 8, write.begin() + 42));
  EXPECT_EQ(back[42], 0x00);

  // A cleared area is zeros, checksum bytes included.
  Set(h, Report({0x08, 0xA8, 0x40}));
  EXPECT_EQ(Dev(id).Params(64), Bytes(64, 0x00));

  // Legacy forms mean nothing to it; the USB-ID write does.
  Set(h, Report({0x08, 0x91, 0x05, 0x00, 0xC9, 0x21}));
  EXPECT_EQ(Dev(id).storedPosMode, 0x23u);
  EXPECT_EQ(Set(h, Report({0xF3, 0x08, 0x00, 0x02, 0x00, 0x00, 0x75, 0x25, 0x69, 0x99})), 64);
  EXPECT_TRUE(Dev(id).pendingIds);
  EXPECT_EQ(Dev(id).pendingVid, 0x2575);
  EXPECT_EQ(Dev(id).pendingPid, 0x9969);
  EXPECT_EQ(Get(h, 0x05, 8, &r), Bytes(8, 0));
  EXPECT_EQ(r, -EPIPE); // unknown report
  usb_release_interface(h, 0);
  usb_close(h);
}

TEST_F(Vusb, UsbIdsChangeAtTheFirstEnumerationAfterAReset) {
  int id = vusb::AddPctCurrent();
  usb_dev_handle *h = OpenClaimed(id);
  Set(h, Report({0xF3, 0x08, 0x00, 0x02, 0x00, 0x00, 0x75, 0x25, 0x68, 0x99}));
  usb_close(h);
  vusb::ReEnumerate(); // no reset yet
  EXPECT_EQ(vusb::UsbDevice(id)->descriptor.idProduct, 0x8753);
  EXPECT_EQ(Dev(id).boundDriver, ""); // nothing rebinds a controller that did not restart

  h = usb_open(vusb::UsbDevice(id)); // the driver is still detached: claim at once
  ASSERT_EQ(usb_claim_interface(h, 0), 0);
  ASSERT_EQ(Set(h, Report({0x08, 0x84, 0x09})), 64);
  EXPECT_EQ(Dev(id).resets, 1);
  // The record of this enumeration keeps its IDs until the next one.
  EXPECT_EQ(vusb::UsbDevice(id)->descriptor.idProduct, 0x8753);
  usb_close(h);
  usb_find_busses();
  usb_find_devices();
  EXPECT_EQ(vusb::UsbDevice(id)->descriptor.idVendor, 0x2575);
  EXPECT_EQ(vusb::UsbDevice(id)->descriptor.idProduct, 0x9968);
  EXPECT_FALSE(Dev(id).pendingIds);
  EXPECT_EQ(Dev(id).boundDriver, "usbhid");
}

TEST_F(Vusb, LegacyPctTakesConfigurationOnlyInCommandMode) {
  int id = vusb::AddPctLegacy();
  usb_dev_handle *h = OpenClaimed(id);
  auto deviceMode = [&] {
    Set(h, Report({0x06, 0x73, 0x0C}, 8));
    return Get(h, 0x07, 64)[4];
  };
  const Bytes posWrite = Report({0x08, 0x91, 0x05, 0x00, 0xC9, 0x23, 0x01, 0x00, 0x00});

  EXPECT_EQ(deviceMode(), 0x01);
  EXPECT_EQ(Set(h, posWrite), 64); // ignored outside command mode
  EXPECT_EQ(Dev(id).storedPosMode, 0x20u);
  Set(h, Report({0x08, 0x85, 0x01, 0x00, 0x02}));
  EXPECT_EQ(Dev(id).resets, 0);

  EXPECT_EQ(Set(h, Report({0x08, 0x91, 0x02, 0x00, 0x82, 0x90}, 6)), 6);
  EXPECT_EQ(deviceMode(), 0x90);
  Set(h, posWrite);
  EXPECT_EQ(Dev(id).storedPosMode, 0x123u); // all four bytes
  Dev(id).storedPosMode = 0x22;
  Set(h, Report({0x06, 0xA2, 0x10}));
  EXPECT_EQ(Get(h, 0x07, 64)[5], 0x02); // mode 3 as 2, the data at byte 4

  Bytes write = Report({0x08, 0xA8, 0x03, 0x00, 0xAA, 0xBB, 0xCC});
  Set(h, write);
  EXPECT_EQ(Dev(id).Params(4), (Bytes{0xAA, 0xBB, 0xCC, 0xFF}));
  Set(h, Report({0x06, 0xA1, 0x03}));
  Bytes back = Get(h, 0x07, 64);
  EXPECT_EQ(Bytes(back.begin() + 4, back.begin() + 8), (Bytes{0xAA, 0xBB, 0xCC, 0x00}));

  Set(h, Report({0x08, 0x84, 0x09})); // the current reset means nothing here
  EXPECT_EQ(Dev(id).resets, 0);
  Set(h, Report({0x08, 0x85, 0x01, 0x00, 0x02}));
  EXPECT_EQ(Dev(id).resets, 1);
  EXPECT_EQ(Dev(id).deviceMode, 0x01);
  EXPECT_EQ(Set(h, Report({0xF3, 0x08, 0x00, 0x02})), -EPIPE);
  usb_close(h);
}

TEST_F(Vusb, LegacyOutsideCommandModeIsConfigurableAndModeChangesCanBeRefused) {
  int id = vusb::AddPctLegacy();
  usb_dev_handle *h = OpenClaimed(id);
  Dev(id).outsideCmdMode = vusb::OutsideCmdMode::Stall;
  EXPECT_EQ(Set(h, Report({0x06, 0xA1, 0x22})), -EPIPE);
  EXPECT_EQ(Set(h, Report({0x06, 0xA2, 0x10})), 64); // position reads need no command mode
  Dev(id).outsideCmdMode = vusb::OutsideCmdMode::Accept;
  Set(h, Report({0x08, 0x91, 0x05, 0x00, 0xC9, 0x21}));
  EXPECT_EQ(Dev(id).storedPosMode, 0x21u);

  Dev(id).faults.ignoredModeSets = 2;
  for (int i = 0; i < 3; i++)
    Set(h, Report({0x08, 0x91, 0x02, 0x00, 0x82, 0x90}, 6));
  EXPECT_EQ(Dev(id).deviceMode, 0x90); // the third took effect
  Dev(id).faults.ignoredModeSets = -1;
  Set(h, Report({0x08, 0x91, 0x02, 0x00, 0x82, 0x01}, 6));
  EXPECT_EQ(Dev(id).deviceMode, 0x90);
  usb_close(h);
}

TEST_F(Vusb, ResistiveAnswersAsciiFramesAndKeepsRotationOnlyWhenMadePermanent) {
  int id = vusb::AddResistive(0x1234, 0x8888, "V2.9");
  usb_dev_handle *h = OpenClaimed(id);
  int r = 0;
  EXPECT_EQ(Set(h, Frame("OI")), 6);
  EXPECT_EQ(Get(h, 0x01, 20, &r), Answer("V2.9", 20));
  EXPECT_EQ(r, 20);
  Set(h, Frame("GP43"));
  EXPECT_EQ(Get(h, 0x01, 10), Answer("0000", 10));

  Set(h, Frame("SP4300B4"));
  EXPECT_EQ(Get(h, 0x01, 10), Answer("0", 10));
  Set(h, Frame("GP43"));
  EXPECT_EQ(Get(h, 0x01, 10), Answer("00B4", 10));
  Set(h, Frame("RR"));
  EXPECT_EQ(Dev(id).resets, 1);
  EXPECT_EQ(Dev(id).liveRotation, 0); // never made permanent

  Set(h, Frame("SP430001"));
  Set(h, Frame("PL"));
  EXPECT_EQ(Get(h, 0x01, 10), Answer("0", 10));
  Set(h, Frame("RR"));
  EXPECT_EQ(Dev(id).rotation, 1);
  EXPECT_EQ(Dev(id).liveRotation, 1);

  // Status "1": the injected ones are not carried out, nor is a malformed frame.
  Dev(id).faults.resStatusOne = 1;
  Set(h, Frame("SP430002"));
  EXPECT_EQ(Get(h, 0x01, 10), Answer("1", 10));
  EXPECT_EQ(Dev(id).liveRotation, 1);
  Set(h, Frame("OI"));
  EXPECT_EQ(Get(h, 0x01, 20), Answer("V2.9", 20));
  Bytes bad = Frame("OI");
  bad.back() = 0x0A;
  Set(h, bad);
  EXPECT_EQ(Get(h, 0x01, 10), Answer("1", 10));
  EXPECT_EQ(Set(h, Report({0x08, 0x84, 0x09})), -EPIPE); // not a PCT report
  usb_close(h);
}

TEST_F(Vusb, PlainDevicesStallClassRequests) {
  int id = vusb::AddPlain(0x0F0F, 0x0001);
  usb_dev_handle *h = OpenClaimed(id);
  EXPECT_EQ(Set(h, Report({0xF2})), -EPIPE);
  int r = 0;
  Get(h, 0xF2, 32, &r);
  EXPECT_EQ(r, -EPIPE);
  usb_close(h);
}

// ---------------------------------------------------------------------------------------------
// Transfer faults

TEST_F(Vusb, TransferFaultsByPositionReportCommandAndCount) {
  int id = vusb::AddPctCurrent();
  usb_dev_handle *h = OpenClaimed(id);
  Dev(id).faults.transfers = {
      {.nth = 2}, // the 2nd transfer: EPIPE
      {.request = 0x01, .reportId = 0xF2, .times = 2, .result = -ETIMEDOUT},
      {.command = 0xA8, .result = 0}, // parameter writes: nothing moved
  };
  EXPECT_EQ(Set(h, Report({0x08, 0x84, 0xC9, 0x00, 0x21})), 64);
  errno = 0;
  EXPECT_EQ(Set(h, Report({0x08, 0x84, 0xC9, 0x00, 0x22})), -EPIPE);
  EXPECT_EQ(errno, EPIPE);
  EXPECT_EQ(Dev(id).storedPosMode, 0x21u); // the failed one did not arrive
  int r = 0;
  Get(h, 0xF2, 16, &r);
  EXPECT_EQ(r, -ETIMEDOUT);
  Get(h, 0xF2, 16, &r);
  EXPECT_EQ(r, -ETIMEDOUT);
  Get(h, 0xF2, 16, &r);
  EXPECT_EQ(r, 16);
  errno = 0;
  EXPECT_EQ(Set(h, Report({0x08, 0xA8, 0x02, 0, 0, 0, 0, 0, 1, 2})), 0);
  EXPECT_EQ(errno, 0);
  EXPECT_TRUE(Dev(id).params.empty());
  EXPECT_EQ(Set(h, Report({0x06, 0xA8})), 0); // byte 1 0xA8 on another report matches too
  EXPECT_EQ(Dev(id).transfers, 7);

  std::vector<std::string> seq = vusb::Sequence(id);
  std::vector<std::string> tail(seq.end() - 6, seq.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"set 08 84 c9 00 22 /64 = -32", "get f2 /16 = -110",
                                            "get f2 /16 = -110", "get f2 70 81 04 12 /16",
                                            "set 08 a8 02 00 00 00 00 00 01 02 /64 = 0",
                                            "set 06 a8 /64 = 0"}));
  usb_close(h);
}

TEST_F(Vusb, RuleWithAPositiveResultDeliversItsBytes) {
  int id = vusb::AddPctCurrent();
  usb_dev_handle *h = OpenClaimed(id);
  Dev(id).faults.transfers = {
      {.request = 0x01,
       .reportId = 0x00,
       .times = 1,
       .result = 3,
       .data = {0xA1, 0xA2, 0xA3, 0xA4}},
      {.request = 0x01, .reportId = 0x00, .times = 1, .result = 5, .data = {0xB1, 0xB2}},
      {.request = 0x09, .reportId = 0x00, .result = 7},
  };
  int r = 0;
  Bytes got = Get(h, 0x00, 8, &r);
  EXPECT_EQ(r, 3);
  EXPECT_EQ(got, (Bytes{0xA1, 0xA2, 0xA3, 0, 0, 0, 0, 0})); // at most the result
  got = Get(h, 0x00, 8, &r);
  EXPECT_EQ(r, 5);
  EXPECT_EQ(got, (Bytes{0xB1, 0xB2, 0, 0, 0, 0, 0, 0})); // at most the bytes given
  Bytes report = {0x00, 0x11, 0x22};
  EXPECT_EQ(
      usb_control_msg(h, 0x21, 0x09, 0x0300, 0, reinterpret_cast<char *>(report.data()), 3, 5000),
      7);
  EXPECT_EQ(vusb::Sequence(id).back(), "set 00 11 22 /3 = 7");
  std::vector<vusb::Entry> gets = vusb::GetReports(id, 0x00);
  ASSERT_EQ(gets.size(), 2u);
  EXPECT_EQ(gets[0].data, (Bytes{0xA1, 0xA2, 0xA3}));
  EXPECT_EQ(gets[1].data, (Bytes{0xB1, 0xB2}));
  usb_close(h);
}

TEST_F(Vusb, UnpluggedDevicesFailEveryCallUntilReplugged) {
  int id = vusb::AddPctCurrent();
  int other = vusb::AddPctCurrent();
  Dev(id).faults.unplugAtTransfer = 2;
  usb_dev_handle *h = OpenClaimed(id);
  EXPECT_EQ(Set(h, Report({0x08, 0x84, 0xC9, 0x00, 0x21})), 64);
  EXPECT_EQ(Set(h, Report({0x08, 0x84, 0xC9, 0x00, 0x22})), -ENODEV);
  char buf[64];
  EXPECT_EQ(usb_get_string_simple(h, 1, buf, sizeof buf), -ENODEV);
  EXPECT_EQ(usb_release_interface(h, 0), -ENODEV);
  EXPECT_EQ(errno, ENODEV);
  EXPECT_EQ(usb_close(h), 0);
  vusb::ReEnumerate();
  EXPECT_EQ(vusb::UsbDevice(id), nullptr);
  EXPECT_EQ(usb_busses->devices->descriptor.idProduct, 0x8753);
  EXPECT_EQ(usb_busses->devices->next, nullptr);

  Dev(other).faults.unplugOnReset = true;
  h = OpenClaimed(other);
  EXPECT_EQ(Set(h, Report({0x08, 0x84, 0x09})), 64);
  EXPECT_EQ(Set(h, Report({0x08, 0x84, 0x09})), -ENODEV);
  usb_close(h);
  vusb::ReEnumerate();
  EXPECT_NE(vusb::UsbDevice(other), nullptr);
  h = OpenClaimed(other); // back, with its driver
  EXPECT_EQ(Set(h, Report({0x08, 0x84, 0xC9, 0x00, 0x21})), 64);
  usb_close(h);
}

TEST_F(Vusb, CorruptedChecksumFlipsTheLastByteOfParameterReplies) {
  vusb::DeviceSpec s = vusb::PctCurrentSpec();
  s.params = {0x11, 0x22, 0x33, 0x44};
  s.faults.corruptChecksum = true;
  int id = vusb::AddDevice(s);
  usb_dev_handle *h = OpenClaimed(id);
  Set(h, Report({0x06, 0xA1, 0x04}, 8));
  Bytes back = Get(h, 0x07, 64);
  EXPECT_EQ(Bytes(back.begin() + 8, back.begin() + 12), (Bytes{0x11, 0x22, 0x33, 0xBB}));
  EXPECT_EQ(Dev(id).params, (Bytes{0x11, 0x22, 0x33, 0x44})); // the store is intact
  usb_close(h);
}

// ---------------------------------------------------------------------------------------------
// Log and clock

TEST_F(Vusb, LogKeepsCallsTransfersAndWaitsInOrder) {
  int id = vusb::AddPctCurrent();
  int other = vusb::AddPctCurrent();
  usb_dev_handle *h = usb_open(vusb::UsbDevice(id));
  usb_claim_interface(h, 0);
  ProtocolSleep(10);
  usb_detach_kernel_driver_np(h, 0);
  usb_set_configuration(h, 1);
  usb_claim_interface(h, 0);
  Set(h, Report({0x08, 0x84, 0x09}));
  ProtocolSleep(300);
  Get(h, 0xF2, 32);
  usb_dev_handle *h2 = OpenClaimed(other);
  Set(h2, Report({0x06, 0xA2, 0x10}, 8));
  usb_close(h2);
  usb_close(h);

  EXPECT_EQ(vusb::Sequence(id),
            (std::vector<std::string>{"usb_open", "usb_claim_interface 0 = -16", "wait 10",
                                      "usb_detach_kernel_driver_np 0", "usb_set_configuration 1",
                                      "usb_claim_interface 0", "set 08 84 09 /64", "wait 300",
                                      "get f2 70 81 04 12 /32", "usb_close"}));
  EXPECT_EQ(vusb::SetReports(),
            (std::vector<Bytes>{Report({0x08, 0x84, 0x09}), Report({0x06, 0xA2, 0x10}, 8)}));
  EXPECT_EQ(vusb::SetReports(other, 0x08), std::vector<Bytes>{});
  ASSERT_EQ(vusb::GetReports(id, 0xF2).size(), 1u);
  EXPECT_EQ(vusb::GetReports(id, 0xF2)[0].value, 0x03F2);
  EXPECT_EQ(vusb::GetReports(id, 0xF2)[0].timeout, 5000);
  EXPECT_EQ(vusb::Transfers(other).size(), 1u);
  EXPECT_EQ(vusb::Waits(), (std::vector<unsigned>{10, 300}));
  EXPECT_EQ(vusb::TotalWaitMs(), 310u);
  EXPECT_FALSE(vusb::RealTime());

  vusb::ClearLog();
  vusb::ClearWaits();
  EXPECT_TRUE(vusb::Log().empty());
  EXPECT_TRUE(vusb::Waits().empty());
}

// ---------------------------------------------------------------------------------------------
// Scenarios and state

const char kScenario[] = R"json({
  "options": { "res": 1, "new_fw": "0x01" },
  "devices": [
    { "name": "cur", "model": "pct-current", "pid": "0x9969", "posMode": 2,
      "strings": { "0x3C": null, "61": "other" }, "interfaceProtocol": 2,
      "faults": { "claimErrno": "EBUSY",
                  "transfers": [ { "reportId": "0xF2", "times": 1, "result": "ETIMEDOUT" } ] } },
    { "name": "leg", "model": "pct-legacy", "bus": 3, "identity": "0x31020000",
      "outsideCmdMode": "stall", "params": "01 02 ff" },
    { "model": "resistive", "firmware": "V3.01", "rotation": 180, "driver": null }
  ]
})json";

TEST_F(Vusb, ScenarioDescribesDevicesFaultsAndOptions) {
  EXPECT_EQ(vusb::LoadScenarioText(kScenario), "[options]\nnew_fw=1\nres=1\n");
  ASSERT_EQ(vusb::DeviceCount(), 3);
  const vusb::Device &cur = Dev(0);
  EXPECT_EQ(cur.model, vusb::Model::PctCurrent);
  EXPECT_EQ(cur.vid, 0x2575);
  EXPECT_EQ(cur.pid, 0x9969);
  EXPECT_EQ(cur.identity, 0x12048170u);
  EXPECT_EQ(cur.PosMode(), 2);
  EXPECT_EQ(cur.strings.count(0x3C), 0u);
  EXPECT_EQ(cur.strings.at(61), "other");
  EXPECT_EQ(cur.strings.at(1), "Tessel Panels");
  EXPECT_EQ(cur.interfaceProtocol, 2);
  EXPECT_EQ(cur.faults.claimErrno, EBUSY);
  ASSERT_EQ(cur.faults.transfers.size(), 1u);
  EXPECT_EQ(cur.faults.transfers[0].reportId, 0xF2);
  EXPECT_EQ(cur.faults.transfers[0].result, -ETIMEDOUT);
  const vusb::Device &leg = Dev(1);
  EXPECT_EQ(leg.bus, 3);
  EXPECT_EQ(leg.strings.at(3), "Velmarine");
  EXPECT_EQ(leg.outsideCmdMode, vusb::OutsideCmdMode::Stall);
  EXPECT_EQ(leg.params, (Bytes{0x01, 0x02, 0xFF}));
  const vusb::Device &res = Dev(2);
  EXPECT_EQ(res.name, "dev2");
  EXPECT_EQ(res.firmware, "V3.01");
  EXPECT_EQ(res.rotation, 180);
  EXPECT_EQ(res.boundDriver, "");

  auto error = [](const std::string &text) {
    try {
      vusb::LoadScenarioText(text);
    } catch (const std::runtime_error &e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(error(R"({"devices":[{"model":"pct-current","colour":1}]})"),
            "devices[0].colour: unknown key");
  EXPECT_EQ(error(R"({"devices":[{"model":"pct-current","vid":"0x1FFFF"}]})"),
            "devices[0].vid: 131071 is out of range");
  // Identities fill all 32 bits on every target, also where long has 32 bits.
  EXPECT_EQ(error(R"({"devices":[{"model":"pct-current","identity":"0x100000000"}]})"),
            "devices[0].identity: 4294967296 is out of range");
  EXPECT_EQ(error(R"({"devices":[{"model":"pct-current","identity":4294967296}]})"),
            "devices[0].identity: 4294967296 is out of range");
  EXPECT_EQ(error(R"({"devices":[{"model":"pct-current","identity":-1}]})"),
            "devices[0].identity: -1 is out of range");
  EXPECT_EQ(error(R"({"devices":[{"model":"pct-current","identity":18446744073709551615}]})"),
            "devices[0].identity: 18446744073709551615 is out of range");
  for (const char *top : {R"("0xFFFFFFFF")", "4294967295"}) {
    SCOPED_TRACE(top);
    vusb::LoadScenarioText(std::string(R"({"devices":[{"model":"pct-current","identity":)") + top +
                           "}]}");
    EXPECT_EQ(Dev(0).identity, 0xFFFFFFFFu);
    Dev(0).identity = 0x80000000u;
    const std::string state = vusb::SaveStateText();
    Dev(0).identity = 0;
    vusb::ApplyStateText(state);
    EXPECT_EQ(Dev(0).identity, 0x80000000u);
  }
  EXPECT_EQ(
      error(R"({"devices":[{"model":"mouse"}]})"),
      "devices[0].model: unknown model \"mouse\" (pct-current, pct-legacy, resistive, plain)");
  EXPECT_NE(error("{"), "no error");
}

TEST_F(Vusb, StateCarriesControllersAcrossRuns) {
  vusb::LoadScenarioText(kScenario);
  Dev(0).params = {0xDE, 0xAD};
  Dev(0).pendingIds = true;
  Dev(0).pendingVid = 0x2575;
  Dev(0).pendingPid = 0x8753;
  Dev(0).idsAfterReset = true;
  Dev(1).storedPosMode = 0x23;
  Dev(2).rotation = 1;
  std::string state = vusb::SaveStateText();

  vusb::LoadScenarioText(kScenario);
  EXPECT_EQ(Dev(0).pid, 0x9969);
  vusb::ApplyStateText(state);
  EXPECT_EQ(Dev(0).params, (Bytes{0xDE, 0xAD}));
  EXPECT_EQ(Dev(0).pid, 0x8753); // applied by the enumeration
  EXPECT_EQ(vusb::UsbDevice(0)->descriptor.idProduct, 0x8753);
  EXPECT_FALSE(Dev(0).pendingIds);
  EXPECT_EQ(Dev(1).PosMode(), 4);
  EXPECT_EQ(Dev(2).rotation, 1);
  EXPECT_EQ(Dev(2).liveRotation, 1);

  std::string path =
      (std::filesystem::temp_directory_path() / ("vusb-state-" + std::to_string(getpid())))
          .string();
  std::filesystem::remove(path);
  EXPECT_FALSE(vusb::LoadStateFile(path));
  vusb::SaveStateFile(path);
  Dev(1).storedPosMode = 0x20;
  EXPECT_TRUE(vusb::LoadStateFile(path));
  EXPECT_EQ(Dev(1).PosMode(), 4);
  std::filesystem::remove(path);
}

// ---------------------------------------------------------------------------------------------
// The kernel driver across resets and runs, and autosave

// The state of one current PCT controller "dev0" with the scenario's defaults.
std::string PctState(const std::string &fields, bool bound) {
  return std::string("{\n  \"devices\": {\n    \"dev0\": {\n      \"driverBound\": ") +
         (bound ? "true" : "false") + ",\n      \"identity\": \"0x12048170\",\n" + fields +
         "      \"storedPosMode\": 32,\n      \"vid\": \"0x2575\"\n    }\n  }\n}\n";
}

const char kPctIds[] = "      \"params\": \"\",\n      \"pid\": \"0x8753\",\n";

// Whether the state (of any number of devices) says dev0, its first, has its driver bound.
bool FirstBound(const std::string &state) {
  return state.rfind(PctState("", true).substr(0, 56), 0) == 0;
}

TEST_F(Vusb, DetachedDriverStaysUntilTheControllersOwnResetAlsoAcrossStateFiles) {
  int pct = vusb::AddPctCurrent();
  usb_dev_handle *h = OpenClaimed(pct);
  usb_release_interface(h, 0);
  usb_close(h);
  usb_find_busses();
  usb_find_devices();
  EXPECT_EQ(Dev(pct).boundDriver, "");
  const std::string detached = vusb::SaveStateText();
  EXPECT_EQ(detached, PctState(kPctIds, false));

  // The next session starts from the state: still no driver, so nothing but a claim works.
  vusb::Reset();
  pct = vusb::AddPctCurrent();
  int res = vusb::AddResistive();
  vusb::ApplyStateText(detached);
  EXPECT_EQ(Dev(pct).boundDriver, "");
  EXPECT_EQ(Dev(res).boundDriver, "usbhid"); // not named in the state
  h = usb_open(vusb::UsbDevice(pct));
  char name[50] = {};
  EXPECT_EQ(usb_get_driver_np(h, 0, name, sizeof name), -ENODATA);
  EXPECT_EQ(usb_detach_kernel_driver_np(h, 0), -ENODATA);
  ASSERT_EQ(usb_claim_interface(h, 0), 0);
  ASSERT_EQ(Set(h, Report({0x08, 0x84, 0x09})), 64);
  // Reset: the controller enumerates next with its driver, which the state says at once.
  EXPECT_TRUE(FirstBound(vusb::SaveStateText()));
  vusb::ReEnumerate(); // the handle of the instance before the reset is still open
  EXPECT_EQ(Dev(pct).boundDriver, "");
  usb_close(h);
  vusb::ReEnumerate();
  EXPECT_EQ(Dev(pct).boundDriver, "usbhid");
  EXPECT_EQ(Dev(pct).configuration, 1);
  EXPECT_EQ(Dev(pct).claimedInterface, -1);

  // The resistive reset frame re-binds too, at the next enumeration.
  h = OpenClaimed(res);
  ASSERT_EQ(Set(h, Frame("RR")), 6);
  usb_release_interface(h, 0);
  usb_close(h);
  EXPECT_EQ(Dev(res).boundDriver, "");
  usb_find_devices();
  EXPECT_EQ(Dev(res).boundDriver, "usbhid");

  // A state file from before the field: every driver bound.
  h = OpenClaimed(pct);
  usb_close(h);
  EXPECT_FALSE(FirstBound(vusb::SaveStateText()));
  vusb::ApplyStateText(R"({"devices":{"dev0":{"vid":"0x2575","pid":"0x8753",
                            "identity":"0x12048170","storedPosMode":32,"params":""}}})");
  EXPECT_EQ(Dev(pct).boundDriver, "usbhid");
  EXPECT_TRUE(FirstBound(vusb::SaveStateText()));

  // A device without a kernel driver has nothing to say about one.
  vusb::Reset();
  vusb::DeviceSpec bare = vusb::PlainSpec(0x0F0F, 0x0101);
  bare.driver = "";
  vusb::AddDevice(bare);
  EXPECT_EQ(vusb::SaveStateText(),
            "{\n  \"devices\": {\n    \"dev0\": {\n      \"pid\": \"0x0101\",\n      "
            "\"vid\": \"0x0F0F\"\n    }\n  }\n}\n");
  vusb::ApplyStateText(R"({"devices":{"dev0":{"driverBound":true}}})");
  EXPECT_EQ(Dev(0).boundDriver, "");
  EXPECT_THROW(vusb::ApplyStateText(R"({"devices":{"dev0":{"driverBound":1}}})"),
               std::runtime_error);
}

TEST_F(Vusb, AutoSaveWritesTheStateOnlyWhenACallChangedIt) {
  ScratchDir dir;
  const std::string path = dir.File("state.json");
  int pct = vusb::AddPctCurrent();
  vusb::SetAutoSave(path);

  // Reading changes nothing the file holds.
  usb_find_busses();
  usb_find_devices();
  usb_dev_handle *h = usb_open(vusb::UsbDevice(pct));
  char text[50] = {};
  EXPECT_EQ(usb_get_driver_np(h, 0, text, sizeof text), 0);
  EXPECT_GT(usb_get_string_simple(h, 2, text, sizeof text), 0);
  EXPECT_FALSE(FileExists(path));

  // The detach is written at once: a process killed now leaves the controller without driver.
  ASSERT_EQ(usb_detach_kernel_driver_np(h, 0), 0);
  EXPECT_EQ(ReadBytes(path), PctState(kPctIds, false));
  EXPECT_EQ(vusb::AutoSaveWrites(), 1);

  // Taking the interface over and reading reports: no write (the file, deleted, stays away).
  std::filesystem::remove(path);
  ASSERT_EQ(usb_set_configuration(h, 1), 0);
  ASSERT_EQ(usb_claim_interface(h, 0), 0);
  ASSERT_EQ(usb_set_altinterface(h, 0), 0);
  Get(h, 0xF2, 32);
  Set(h, Report({0x06, 0xA1, 0x10}));
  Get(h, 0x07, 64);
  EXPECT_FALSE(FileExists(path));

  // Each write to flash is in the file as soon as the transfer is done.
  Set(h, Report({0x08, 0xA8, 0x02, 0, 0, 0, 0, 0, 0x12, 0x34}));
  EXPECT_EQ(ReadBytes(path),
            PctState("      \"params\": \"1234\",\n      \"pid\": \"0x8753\",\n", false));
  Set(h, Report({0x08, 0x84, 0xC9, 0x00, 0x21}));
  EXPECT_NE(ReadBytes(path).find("\"storedPosMode\": 33,"), std::string::npos);
  Set(h, Report({0xF3, 0x08, 0x00, 0x02, 0x00, 0x00, 0x75, 0x25, 0x69, 0x99}));
  EXPECT_NE(ReadBytes(path).find("\"idsAfterReset\": false,\n      \"params\": \"1234\",\n"
                                 "      \"pendingPid\": \"0x9969\""),
            std::string::npos);
  Set(h, Report({0x08, 0x84, 0x09}));
  EXPECT_EQ(ReadBytes(path), vusb::SaveStateText());
  EXPECT_NE(ReadBytes(path).find("\"driverBound\": true,"), std::string::npos);
  EXPECT_NE(ReadBytes(path).find("\"idsAfterReset\": true"), std::string::npos);
  EXPECT_EQ(vusb::AutoSaveWrites(), 5);
  usb_release_interface(h, 0);
  usb_close(h);
  usb_find_devices(); // the new IDs take effect
  EXPECT_NE(ReadBytes(path).find("\"pid\": \"0x9969\""), std::string::npos);
  EXPECT_EQ(ReadBytes(path).find("pending"), std::string::npos);
  EXPECT_EQ(vusb::AutoSaveWrites(), 6);
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"state.json"}); // no temporary left

  // What SaveStateFile wrote counts as written.
  vusb::SaveStateFile(path);
  std::filesystem::remove(path);
  usb_find_devices();
  EXPECT_FALSE(FileExists(path));

  // Off with an empty path, and after Reset.
  vusb::SetAutoSave("");
  h = OpenClaimed(pct);
  usb_close(h);
  vusb::SetAutoSave(path);
  vusb::Reset();
  pct = vusb::AddPctCurrent();
  h = OpenClaimed(pct);
  usb_close(h);
  EXPECT_FALSE(FileExists(path));
  EXPECT_EQ(vusb::AutoSaveWrites(), 0);

  // A write that fails says so once and is tried again at the next change.
  const std::string lost = dir.File("gone/state.json");
  vusb::SetAutoSave(lost);
  testing::internal::CaptureStderr();
  h = usb_open(vusb::UsbDevice(pct)); // left without driver above
  ASSERT_EQ(usb_claim_interface(h, 0), 0);
  Set(h, Report({0x08, 0x84, 0x09}));
  usb_close(h);
  usb_find_devices();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "vusb: autosave: " + lost + ": " + strerror(ENOENT) + "\n");
  EXPECT_EQ(vusb::AutoSaveWrites(), 0);
  std::filesystem::create_directory(dir.File("gone"));
  h = usb_open(vusb::UsbDevice(pct)); // reads only: no write
  EXPECT_FALSE(FileExists(lost));
  usb_close(h); // the state not written yet: now
  EXPECT_EQ(ReadBytes(lost), PctState(kPctIds, true));
  EXPECT_EQ(vusb::AutoSaveWrites(), 1);
}

TEST_F(Vusb, StateFilesAreReplacedWholeThroughPrivateTemporaries) {
  ScratchDir dir;
  const std::string path = dir.File("options.ini");
  vusb::WriteFileAtomically(path, "[options]\nres=1\n");
  vusb::WriteFileAtomically(path, "[options]\n");
  EXPECT_EQ(ReadBytes(path), "[options]\n");
  EXPECT_EQ(std::filesystem::status(path).permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                std::filesystem::perms::group_read | std::filesystem::perms::others_read);
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"options.ini"});
  const std::string lost = dir.File("none/state.json");
  try {
    vusb::SaveStateFile(lost);
    ADD_FAILURE() << "no error";
  } catch (const std::runtime_error &e) {
    EXPECT_EQ(std::string(e.what()), lost + ": " + strerror(ENOENT));
  }
}

// The whole chain the simulator runs: a mode switch, then a fresh process that finds the
// controller under its new product ID in the new mode.
TEST_F(Vusb, MouseRunThenGetposRunSeeTheSameController) {
  std::string dir =
      (std::filesystem::temp_directory_path() / ("vusb-run-" + std::to_string(getpid()))).string();
  std::filesystem::create_directories(dir);
  auto run = [&](std::vector<std::string> args) {
    args.insert(args.begin(), "panelcfg");
    std::vector<char *> argv;
    for (std::string &a : args)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    InitRunState();
    ClearRegistries();
    testing::internal::CaptureStdout();
    int status = PanelcfgMain(static_cast<int>(args.size()), argv.data(), dir.c_str());
    std::string out = testing::internal::GetCapturedStdout();
    return std::make_pair(status, out);
  };

  int id = vusb::AddPctCurrent();
  EXPECT_EQ(run({"--mouse"}).first, 1);
  EXPECT_EQ(Dev(id).PosMode(), 2);
  std::string state = vusb::SaveStateText();

  vusb::Reset();
  id = vusb::AddPctCurrent();
  vusb::ApplyStateText(state);
  auto [status, out] = run({"getpos"});
  EXPECT_EQ(status, 1);
  EXPECT_NE(out.find("pos mode=2\n"), std::string::npos) << out;
  EXPECT_EQ(vusb::UsbDevice(id)->descriptor.idProduct, 0x9969);
  EXPECT_EQ(vusb::OpenHandleCount(), 0);
  std::filesystem::remove_all(dir);
}

} // namespace
