// HID access over USB: taking a device over, and the Set_Report/Get_Report wire.
#include <gtest/gtest.h>
#include <usb.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "base/state.h"
#include "captured.h"
#include "pct_helpers.h"
#include "takeover.h"
#include "transport/hid.h"
#include "vusb.h"

namespace {

using pct::Report;
using vusb::Bytes;
using vusb::Dev;

std::string SystemError(const char *message, int err) {
  return std::string(message) + ": " + strerror(err) + "\n";
}

// A current-generation controller whose descriptors differ from the defaults, so that every
// number of the take-over can be told apart: interface 1, configuration 2, alternate setting 3.
vusb::DeviceSpec Distinct() {
  vusb::DeviceSpec s = vusb::PctCurrentSpec();
  s.interfaceNumber = 1;
  s.configurationValue = 2;
  s.alternateSetting = 3;
  return s;
}

// Every step of a take-over of that controller, none of them failing.
const std::vector<std::string> kDistinctTakeOver = {
    "usb_get_driver_np 1", "usb_detach_kernel_driver_np 1", "usb_set_configuration 2",
    "usb_claim_interface 1", "usb_set_altinterface 3"};

class HidTest : public TakeOverTest {};

// ---------------------------------------------------------------------------------------------
// The record and the take-over

TEST_F(HidTest, NewRecordIsZeroed) {
  hid_device *dev = Keep(new_hid_device());
  ASSERT_NE(dev, nullptr);
  EXPECT_EQ(dev->device_handle, nullptr);
  EXPECT_EQ(dev->interface, 0);
}

TEST_F(HidTest, TakeOverRunsItsStepsInOrderWithTheFirstDescriptors) {
  int id = vusb::AddDevice(Distinct());
  usb_dev_handle *h = Open(id);
  Dev(id).configuration = 0; // so that the set configuration shows
  vusb::ClearLog();
  DbgFlag = 1;

  hid_device *dev = nullptr;
  Output o = Captured([&] { dev = Keep(OpenHidDevice(vusb::UsbDevice(id), h)); });

  ASSERT_NE(dev, nullptr);
  EXPECT_EQ(dev->device_handle, h);
  EXPECT_EQ(dev->interface, 1);
  EXPECT_EQ(vusb::Sequence(id), kDistinctTakeOver);
  EXPECT_EQ(o.out, "panelcfg DD:usb_get_driver_np ret:0\n"
                   "panelcfg DD:usb_get_driver_np usbhid\n");
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(Dev(id).boundDriver, "");
  EXPECT_EQ(Dev(id).configuration, 2);
  EXPECT_EQ(Dev(id).claimedInterface, 1);
  // The handle stays the scan's: not closed here.
  EXPECT_EQ(vusb::OpenHandleCount(), 1);
  EXPECT_TRUE(vusb::Transfers().empty());
  EXPECT_TRUE(vusb::Waits().empty());
}

TEST_F(HidTest, TakeOverIsSilentWithoutDebug) {
  int id = vusb::AddPctCurrent();
  usb_dev_handle *h = Open(id);
  hid_device *dev = nullptr;
  Output o = Captured([&] { dev = Keep(OpenHidDevice(vusb::UsbDevice(id), h)); });
  EXPECT_EQ(dev->device_handle, h);
  EXPECT_EQ(dev->interface, 0);
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(o.err, "");
}

TEST_F(HidTest, OnlyTheFirstConfigurationInterfaceAndAlternateSettingAreConsulted) {
  // A record with two of each; only the first of each matches the device.
  int id = vusb::AddDevice(Distinct());
  usb_interface_descriptor alts[2] = {};
  alts[0].bInterfaceNumber = 1;
  alts[0].bAlternateSetting = 3;
  alts[1].bInterfaceNumber = 7;
  alts[1].bAlternateSetting = 8;
  usb_interface_descriptor other = {};
  other.bInterfaceNumber = 5;
  other.bAlternateSetting = 6;
  usb_interface ifaces[2] = {};
  ifaces[0].altsetting = alts;
  ifaces[0].num_altsetting = 2;
  ifaces[1].altsetting = &other;
  ifaces[1].num_altsetting = 1;
  usb_interface spareIface = {};
  spareIface.altsetting = &other;
  spareIface.num_altsetting = 1;
  usb_config_descriptor configs[2] = {};
  configs[0].bConfigurationValue = 2;
  configs[0].bNumInterfaces = 2;
  configs[0].interface = ifaces;
  configs[1].bConfigurationValue = 9;
  configs[1].bNumInterfaces = 1;
  configs[1].interface = &spareIface;
  struct usb_device record = *vusb::UsbDevice(id);
  record.config = configs;
  record.descriptor.bNumConfigurations = 2;

  usb_dev_handle *h = usb_open(vusb::UsbDevice(id));
  vusb::ClearLog();
  hid_device *dev = Keep(OpenHidDevice(&record, h));

  EXPECT_EQ(dev->device_handle, h);
  EXPECT_EQ(dev->interface, 1);
  EXPECT_EQ(vusb::Sequence(id), kDistinctTakeOver);
}

struct StepFault {
  const char *name;
  int vusb::Faults::*field;
  int err;
  std::vector<std::string> sequence; // the device's calls, up to the end of the take-over
  const char *message;
  bool detached;     // the kernel driver is detached afterwards
  int configuration; // configuration set afterwards (0 when the take-over never set one)
};

TEST_F(HidTest, EachFailedStepIsReportedWithTheSystemErrorAndStopsTheTakeOver) {
  const std::vector<StepFault> cases = {
      {"driver name",
       &vusb::Faults::driverErrno,
       EACCES,
       {"usb_get_driver_np 1 = -13"},
       "Unable to get device driver name",
       false,
       0},
      // -1 is a failure like any other negative result.
      {"driver name, EPERM",
       &vusb::Faults::driverErrno,
       EPERM,
       {"usb_get_driver_np 1 = -1"},
       "Unable to get device driver name",
       false,
       0},
      {"detach",
       &vusb::Faults::detachErrno,
       EPERM,
       {"usb_get_driver_np 1", "usb_detach_kernel_driver_np 1 = -1"},
       "Unable to detach kernel driver",
       false,
       0},
      {"configuration",
       &vusb::Faults::configErrno,
       EIO,
       {"usb_get_driver_np 1", "usb_detach_kernel_driver_np 1", "usb_set_configuration 2 = -5"},
       "Unable to set device configuration",
       true,
       0},
      // Nothing is undone: the driver stays detached and the configuration stays set.
      {"claim",
       &vusb::Faults::claimErrno,
       EBUSY,
       {"usb_get_driver_np 1", "usb_detach_kernel_driver_np 1", "usb_set_configuration 2",
        "usb_claim_interface 1 = -16"},
       "Unable to claim interface",
       true,
       2},
      // The claim alone is undone.
      {"alternate setting",
       &vusb::Faults::altErrno,
       EPROTO,
       {"usb_get_driver_np 1", "usb_detach_kernel_driver_np 1", "usb_set_configuration 2",
        "usb_claim_interface 1", "usb_set_altinterface 3 = -71", "usb_release_interface 1"},
       "Unable to set alternate interface",
       true,
       2},
  };
  for (int debug : {0, 1}) {
    for (const StepFault &c : cases) {
      SCOPED_TRACE(std::string(c.name) + (debug ? " (debug)" : ""));
      vusb::Reset();
      int id = vusb::AddDevice(Distinct());
      Dev(id).faults.*c.field = c.err;
      Dev(id).configuration = 0;
      usb_dev_handle *h = Open(id);
      vusb::ClearLog();
      DbgFlag = debug;

      hid_device *dev = nullptr;
      Output o = Captured([&] { dev = Keep(OpenHidDevice(vusb::UsbDevice(id), h)); });

      ASSERT_NE(dev, nullptr);
      EXPECT_EQ(dev->device_handle, nullptr);
      EXPECT_EQ(dev->interface, 0);
      EXPECT_EQ(vusb::Sequence(id), c.sequence);
      EXPECT_EQ(o.err, SystemError(c.message, c.err));
      std::string expectedOut;
      if (debug) {
        if (c.field == &vusb::Faults::driverErrno)
          expectedOut = "panelcfg DD:usb_get_driver_np ret:" + std::to_string(-c.err) + "\n";
        else
          expectedOut = "panelcfg DD:usb_get_driver_np ret:0\n"
                        "panelcfg DD:usb_get_driver_np usbhid\n";
      }
      EXPECT_EQ(o.out, expectedOut);
      EXPECT_EQ(Dev(id).boundDriver, c.detached ? "" : "usbhid");
      EXPECT_EQ(Dev(id).configuration, c.configuration);
      EXPECT_EQ(Dev(id).claimedInterface, -1);
      // The handle is never closed here.
      EXPECT_EQ(Dev(id).openHandles, 1);
      EXPECT_TRUE(vusb::Transfers().empty());
    }
  }
}

TEST_F(HidTest, AlternateSettingFailureIsReportedBeforeTheClaimIsReleased) {
  // The report names the alternate setting's error even when the release fails as well.
  int id = vusb::AddDevice(Distinct());
  Dev(id).faults.altErrno = EPROTO;
  Dev(id).faults.releaseErrno = EIO;
  usb_dev_handle *h = Open(id);
  vusb::ClearLog();
  hid_device *dev = nullptr;
  Output o = Captured([&] { dev = Keep(OpenHidDevice(vusb::UsbDevice(id), h)); });
  EXPECT_EQ(dev->device_handle, nullptr);
  EXPECT_EQ(o.err, SystemError("Unable to set alternate interface", EPROTO));
  EXPECT_EQ(vusb::Sequence(id).back(), "usb_release_interface 1 = -5");
}

TEST_F(HidTest, InterfaceWithoutAKernelDriverCannotBeTakenOver) {
  vusb::DeviceSpec spec = Distinct();
  spec.driver = "";
  int id = vusb::AddDevice(spec);
  usb_dev_handle *h = Open(id);
  vusb::ClearLog();
  DbgFlag = 1;
  hid_device *dev = nullptr;
  Output o = Captured([&] { dev = Keep(OpenHidDevice(vusb::UsbDevice(id), h)); });
  EXPECT_EQ(dev->device_handle, nullptr);
  EXPECT_EQ(dev->interface, 0);
  EXPECT_EQ(vusb::Sequence(id), std::vector<std::string>{"usb_get_driver_np 1 = -61"});
  EXPECT_EQ(o.out, "panelcfg DD:usb_get_driver_np ret:-61\n");
  EXPECT_EQ(o.err, SystemError("Unable to get device driver name", ENODATA) +
                       "panelcfg: no kernel driver is bound to this controller (a run was "
                       "stopped while it held it?); panelcfg --recover resets it\n");
}

TEST_F(HidTest, DriverNameIsCutToItsFiftyByteBuffer) {
  vusb::DeviceSpec spec = vusb::PctCurrentSpec();
  spec.driver = std::string(60, 'd');
  int id = vusb::AddDevice(spec);
  usb_dev_handle *h = Open(id);
  DbgFlag = 1;
  hid_device *dev = nullptr;
  Output o = Captured([&] { dev = Keep(OpenHidDevice(vusb::UsbDevice(id), h)); });
  EXPECT_EQ(dev->device_handle, h);
  EXPECT_EQ(o.out, "panelcfg DD:usb_get_driver_np ret:0\n"
                   "panelcfg DD:usb_get_driver_np " +
                       std::string(49, 'd') + "\n");
}

TEST_F(HidTest, RecordWithoutAConfigurationIsNotTakenOver) {
  int id = vusb::AddPctCurrent();
  usb_dev_handle *h = Open(id);
  struct usb_device record = *vusb::UsbDevice(id);
  record.config = nullptr;
  vusb::ClearLog();
  hid_device *dev = nullptr;
  Output o = Captured([&] { dev = Keep(OpenHidDevice(&record, h)); });
  EXPECT_EQ(dev->device_handle, nullptr);
  EXPECT_EQ(dev->interface, 0);
  EXPECT_TRUE(vusb::Log().empty());
  EXPECT_EQ(o.err, "");
}

// ---------------------------------------------------------------------------------------------
// Set_Report

// A class request of the given type with the given value, interface and length, and the
// five-second time-out.
void ExpectTransfer(const vusb::Entry &e, int requestType, int request, int value, int index,
                    int length) {
  EXPECT_EQ(e.requestType, requestType);
  EXPECT_EQ(e.request, request);
  EXPECT_EQ(e.value, value);
  EXPECT_EQ(e.index, index);
  EXPECT_EQ(e.length, length);
  EXPECT_EQ(e.timeout, 5000);
}
void ExpectSetReport(const vusb::Entry &e, int value, int index, int length) {
  ExpectTransfer(e, 0x21, 0x09, value, index, length);
}
void ExpectGetReport(const vusb::Entry &e, int value, int index, int length) {
  ExpectTransfer(e, 0xA1, 0x01, value, index, length);
}

// What transfer returns when the device's transfers of request fail with code. It must make
// one attempt, with no pause and nothing printed.
int FailedOnce(int id, int request, int code, const std::function<int()> &transfer) {
  vusb::ClearLog();
  Dev(id).faults.transfers = {{.request = request, .result = code}};
  int result = 0;
  Output o = Captured([&] { result = transfer(); });
  EXPECT_EQ(vusb::Transfers(id).size(), 1u);
  EXPECT_TRUE(vusb::Waits().empty());
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(o.err, "");
  return result;
}

Bytes Pattern(size_t len, uint8_t first) {
  Bytes b(len);
  for (size_t i = 0; i < len; i++)
    b[i] = static_cast<uint8_t>(first + i);
  return b;
}

TEST_F(HidTest, SendCarriesTheWholeBufferWithItsReportId) {
  int id = vusb::AddDevice(Distinct());
  hid_device *dev = TakenOver(id);
  Bytes buf = Pattern(64, 0x40);
  buf[0] = 0x08;
  buf[1] = 0x91; // ignored by a current-generation controller

  EXPECT_EQ(hid_send_feature_report(dev, buf.data(), buf.size()), 64);

  std::vector<vusb::Entry> t = vusb::Transfers(id);
  ASSERT_EQ(t.size(), 1u);
  ExpectSetReport(t[0], 0x0308, 1, 64);
  EXPECT_EQ(t[0].data, buf);
  EXPECT_TRUE(vusb::Waits().empty());
}

TEST_F(HidTest, SendTransfersTheLengthGivenNotTheBuffer) {
  int id = vusb::AddPctCurrent();
  hid_device *dev = TakenOver(id);
  Bytes buf = Pattern(64, 0x50);
  buf[0] = 0x06;
  EXPECT_EQ(hid_send_feature_report(dev, buf.data(), 8), 8);
  std::vector<vusb::Entry> t = vusb::Transfers(id);
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(t[0].value, 0x0306);
  EXPECT_EQ(t[0].index, 0);
  EXPECT_EQ(t[0].length, 8);
  EXPECT_EQ(t[0].data, Bytes(buf.begin(), buf.begin() + 8));
}

TEST_F(HidTest, SendWithReportIdZeroLeavesByteZeroOut) {
  int id = vusb::AddDevice(Distinct());
  hid_device *dev = TakenOver(id);
  for (int result : {8, 3}) {
    SCOPED_TRACE(result);
    vusb::ClearLog();
    Dev(id).faults.transfers = {{.request = 0x09, .reportId = 0x00, .result = result}};
    Bytes buf = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};

    // The transfer's own result comes back, whatever it is.
    EXPECT_EQ(hid_send_feature_report(dev, buf.data(), buf.size()), result);

    std::vector<vusb::Entry> t = vusb::Transfers(id);
    ASSERT_EQ(t.size(), 1u);
    ExpectSetReport(t[0], 0x0300, 1, 8);
    EXPECT_EQ(t[0].data, (Bytes{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}));
  }
}

TEST_F(HidTest, FailedSendReturnsTheTransfersOwnCode) {
  int id = vusb::AddPctCurrent();
  hid_device *dev = TakenOver(id);
  DbgFlag = 1;
  for (int reportId : {0x08, 0x00}) {
    for (int code : {-EPIPE, -ETIMEDOUT, -ENODEV, -EIO, -1}) {
      SCOPED_TRACE(std::to_string(reportId) + " " + std::to_string(code));
      Bytes buf = Report({reportId});
      EXPECT_EQ(
          FailedOnce(id, 0x09, code, [&] { return hid_send_feature_report(dev, buf.data(), 64); }),
          code);
    }
  }
}

TEST_F(HidTest, SendThatMovedNothingReturnsZero) {
  int id = vusb::AddPctCurrent();
  hid_device *dev = TakenOver(id);
  Dev(id).faults.transfers = {{.request = 0x09, .result = 0}};
  Bytes buf = Report({0x08});
  EXPECT_EQ(hid_send_feature_report(dev, buf.data(), 64), 0);
}

// ---------------------------------------------------------------------------------------------
// Get_Report

TEST_F(HidTest, FetchReceivesFromByteZeroWithTheReportId) {
  int id = vusb::AddDevice(Distinct());
  hid_device *dev = TakenOver(id);
  Bytes buf(64, 0xEE);
  buf[0] = 0xF2;

  EXPECT_EQ(hid_get_feature_report(dev, buf.data(), 32), 32);

  std::vector<vusb::Entry> t = vusb::Transfers(id);
  ASSERT_EQ(t.size(), 1u);
  ExpectGetReport(t[0], 0x03F2, 1, 32);
  // The controller's answer starts with the report ID again; nothing beyond the length moves.
  Bytes expected = Report({0xF2, 0x70, 0x81, 0x04, 0x12});
  for (size_t i = 32; i < 64; i++)
    expected[i] = 0xEE;
  EXPECT_EQ(buf, expected);
  EXPECT_TRUE(vusb::Waits().empty());
}

TEST_F(HidTest, FetchReturnsWhatTheControllerDelivered) {
  int id = vusb::AddPctCurrent();
  hid_device *dev = TakenOver(id);
  Dev(id).faults.transfers = {
      {.request = 0x01, .reportId = 0xF2, .result = 5, .data = {0xF2, 1, 2, 3, 4}}};
  Bytes buf(32, 0xEE);
  buf[0] = 0xF2;
  EXPECT_EQ(hid_get_feature_report(dev, buf.data(), 32), 5);
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 6), (Bytes{0xF2, 1, 2, 3, 4, 0xEE}));
  ASSERT_EQ(vusb::Transfers(id).size(), 1u);
  EXPECT_EQ(vusb::Transfers(id)[0].length, 32);
}

TEST_F(HidTest, FetchWithReportIdZeroReceivesFromByteOneAndCountsByteZero) {
  int id = vusb::AddDevice(Distinct());
  hid_device *dev = TakenOver(id);
  struct Case {
    int delivered;
    int expected;
    Bytes buffer;
  };
  const Case cases[] = {
      {8, 9, {0x00, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8}},
      {5, 6, {0x00, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xEE, 0xEE, 0xEE}},
      {0, 1, {0x00, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.delivered);
    vusb::ClearLog();
    Dev(id).faults.transfers = {{.request = 0x01,
                                 .reportId = 0x00,
                                 .result = c.delivered,
                                 .data = {0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8}}};
    Bytes buf(9, 0xEE);
    buf[0] = 0x00;

    EXPECT_EQ(hid_get_feature_report(dev, buf.data(), buf.size()), c.expected);

    EXPECT_EQ(buf, c.buffer);
    std::vector<vusb::Entry> t = vusb::Transfers(id);
    ASSERT_EQ(t.size(), 1u);
    ExpectGetReport(t[0], 0x0300, 1, 8);
  }
}

TEST_F(HidTest, FailedFetchReturnsExactlyMinusOne) {
  int id = vusb::AddPctCurrent();
  hid_device *dev = TakenOver(id);
  DbgFlag = 1;
  for (int reportId : {0xF2, 0x00}) {
    for (int code : {-EPIPE, -ETIMEDOUT, -ENODEV, -EOVERFLOW, -2, -1}) {
      SCOPED_TRACE(std::to_string(reportId) + " " + std::to_string(code));
      Bytes buf = Report({reportId}, 16);
      EXPECT_EQ(
          FailedOnce(id, 0x01, code, [&] { return hid_get_feature_report(dev, buf.data(), 16); }),
          -1);
    }
  }
}

TEST_F(HidTest, FetchThatMovedNothingReturnsZero) {
  int id = vusb::AddPctCurrent();
  hid_device *dev = TakenOver(id);
  Dev(id).faults.transfers = {{.request = 0x01, .result = 0}};
  Bytes buf = Report({0xF2}, 16);
  EXPECT_EQ(hid_get_feature_report(dev, buf.data(), 16), 0);
}

TEST_F(HidTest, TransfersGoToTheInterfaceOfTheRecord) {
  // The index of every request is the record's interface, whatever the device holds.
  int id = vusb::AddDevice(Distinct());
  hid_device *dev = TakenOver(id);
  hid_device other = *dev;
  other.interface = 4;
  Bytes buf = Report({0x08});
  hid_send_feature_report(&other, buf.data(), 64);
  buf[0] = 0xF2;
  hid_get_feature_report(&other, buf.data(), 16);
  std::vector<vusb::Entry> t = vusb::Transfers(id);
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[0].index, 4);
  EXPECT_EQ(t[1].index, 4);
}

} // namespace
