// HID feature reports over USB control transfers (libusb 0.1).
#pragma once

#include <usb.h>

#include <cstddef>

struct hid_device {
  usb_dev_handle *device_handle; // null when the device was not taken over
  int interface;                 // the claimed interface number
};

// The first alternate setting of the first interface of the first configuration, or null when
// the libusb record lacks one of them.
const usb_interface_descriptor *FirstAltSetting(const struct usb_device *devs);

hid_device *new_hid_device();

// Frees a record made by new_hid_device.
void free_hid_device(hid_device *dev);

// Takes the first interface of the first configuration over from its kernel driver. Never
// returns null; device_handle is null on failure.
hid_device *OpenHidDevice(struct usb_device *devs, usb_dev_handle *hdlr);

int hid_send_feature_report(hid_device *dev, const unsigned char *data, size_t length);
int hid_get_feature_report(hid_device *dev, unsigned char *data, size_t length);
