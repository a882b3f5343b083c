// Test fixtures for suites that talk to controllers on the virtual bus directly: each starts
// with a fresh run state and bus, and takes devices over the way the scan takes them over.
#pragma once

#include <gtest/gtest.h>
#include <usb.h>

#include <vector>

#include "base/state.h"
#include "scratch_dir.h"
#include "transport/hid.h"
#include "vusb.h"

// Any number of devices taken over at a time; their records are freed at the end of the test,
// their handles left as the code under test leaves them.
class TakeOverTest : public RunStateTest {
protected:
  void SetUp() override {
    RunStateTest::SetUp();
    vusb::Reset();
  }
  void TearDown() override {
    for (hid_device *dev : records_)
      free_hid_device(dev);
    vusb::Reset();
    RunStateTest::TearDown();
  }
  // usb_open on the device's current record.
  usb_dev_handle *Open(int id) {
    usb_dev_handle *h = usb_open(vusb::UsbDevice(id));
    EXPECT_NE(h, nullptr);
    return h;
  }
  hid_device *Keep(hid_device *dev) {
    records_.push_back(dev);
    return dev;
  }
  // A device opened and taken over; the log and the waits start empty after it.
  hid_device *TakenOver(int id) {
    hid_device *dev = Keep(OpenHidDevice(vusb::UsbDevice(id), Open(id)));
    EXPECT_NE(dev->device_handle, nullptr);
    vusb::ClearLog();
    vusb::ClearWaits();
    return dev;
  }
  std::vector<hid_device *> records_;
};

// One controller in hand at a time: TakeOver opens it at a fresh enumeration and takes it over;
// Close releases and closes it, as the end of the test does.
class ControllerTest : public RunStateTest {
protected:
  void SetUp() override {
    RunStateTest::SetUp();
    vusb::Reset();
  }
  void TearDown() override {
    Close();
    vusb::Reset();
    RunStateTest::TearDown();
  }

  // Takes device id over without the take-over's own traces (they are not part of what a test
  // looks at); the log and the waits start empty after it. False, with the failure recorded,
  // when the device could not be opened and taken over.
  bool TakeOver(int id) {
    Close();
    vusb::ReEnumerate();
    struct usb_device *ud = vusb::UsbDevice(id);
    EXPECT_NE(ud, nullptr);
    if (ud == nullptr)
      return false;
    const int dbg = DbgFlag;
    DbgFlag = 0;
    handle_ = usb_open(ud);
    EXPECT_NE(handle_, nullptr);
    if (handle_ != nullptr) {
      dev_ = OpenHidDevice(ud, handle_);
      EXPECT_NE(dev_->device_handle, nullptr);
    }
    DbgFlag = dbg;
    id_ = id;
    vusb::ClearLog();
    vusb::ClearWaits();
    return dev_ != nullptr && dev_->device_handle != nullptr;
  }

  void Close() {
    if (dev_ != nullptr) {
      free_hid_device(dev_);
      dev_ = nullptr;
    }
    if (handle_ != nullptr) {
      usb_release_interface(handle_, 0);
      usb_close(handle_);
      handle_ = nullptr;
    }
  }

  hid_device *dev_ = nullptr;
  usb_dev_handle *handle_ = nullptr;
  int id_ = -1;
};
