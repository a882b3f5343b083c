// HID feature reports over USB control transfers (libusb 0.1).
#pragma once

#include <usb.h>

#include <cstddef>

struct hid_device {
  usb_dev_handle *device_handle = nullptr; // null when the device was not taken over
  int interface = 0;                       // the claimed interface number
  int hidraw = -1; // the open hidraw node when the kernel driver keeps the device, else -1
};

// The largest feature report either backend moves, report ID included.
constexpr size_t kHidReportMax = 64;

// The first alternate setting of the first interface of the first configuration, or null when
// the libusb record lacks one of them.
const usb_interface_descriptor *FirstAltSetting(const struct usb_device *devs);

hid_device *new_hid_device();

// Frees a record made by new_hid_device.
void free_hid_device(hid_device *dev);

// Takes the first interface of the first configuration over from its kernel driver. Never
// returns null; device_handle is null on failure.
hid_device *OpenHidDevice(struct usb_device *devs, usb_dev_handle *hdlr);

// Controllers OpenHidDevice detached from their kernel driver and could not take (the
// configuration, the claim or the alternate setting refused): nothing gives them back to a
// driver but a reset.
extern int LeftWithoutDriverCnt;

// HID class requests over the default control pipe.
constexpr int kHidSetReportType = 0x21; // host to device, class, interface
constexpr int kHidGetReportType = 0xA1; // device to host, class, interface
constexpr int kHidSetReport = 0x09;
constexpr int kHidGetReport = 0x01;
constexpr int kHidFeatureReport = 0x0300; // report type in the high byte of wValue
constexpr int kHidTimeoutMs = 5000;       // every control transfer

// Claims the first interface of a controller that has no kernel driver bound, without a detach or
// any request to the device (recovery after a run was killed while it held the controller).
// Never returns null; device_handle is null when a driver is bound or the claim fails.
hid_device *ClaimDriverless(struct usb_device *devs, usb_dev_handle *hdlr);

// Sends data[0..length) as feature report data[0]; report ID 0 is not sent on the wire.
// Returns the bytes moved or a negative errno. The record's backend carries it: a control
// transfer on a device taken over, or the hidraw node of one its kernel driver keeps.
// Neither transfer reaches the bus while the protocol is abandoned (a second stop signal): both
// then fail with EINTR.
int hid_send_feature_report(hid_device *dev, const unsigned char *data, size_t length);

// Fetches feature report data[0] into data (length bytes, report ID included); -1 on failure.
int hid_get_feature_report(hid_device *dev, unsigned char *data, size_t length);

// A transfer moved nothing or failed.
inline bool TransferFailed(int result) { return result <= 0; }
