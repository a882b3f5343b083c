// Feature reports through the kernel's hidraw node: the controller stays with its kernel driver,
// which turns each report into the same Set_Report and Get_Report control transfers.
#pragma once

#include "hid.h"

// Why OpenHidrawDevice found no way to the controller.
enum HidrawFailure {
  HIDRAW_OK = 0,
  HIDRAW_NO_DEVICE,    // the device is not listed in sysfs (unplugged meanwhile)
  HIDRAW_NO_NODE,      // its first interface has no hidraw node
  HIDRAW_PERMISSION,   // the node cannot be opened for lack of rights
  HIDRAW_OPEN_FAILED,  // the node cannot be opened for another reason
  HIDRAW_NO_INTERFACE, // the libusb record lacks the first interface
};

// Opens the hidraw node of the first interface of the first configuration of devs, found by its
// bus and device number. Never returns null; hidraw is -1 on failure, with the reason in *why
// and the system's error number in *err. Nothing is sent to the device.
hid_device *OpenHidrawDevice(const struct usb_device *devs, HidrawFailure *why, int *err);

// Closes the node of a record OpenHidrawDevice opened and frees the record.
void CloseHidrawDevice(hid_device *dev);

// The kernel's name of the USB device ("1-1.4") into name; false when it is not listed.
bool UsbDeviceName(const struct usb_device *devs, char *name, size_t size);

// The two transfers of the hidraw backend, with the results of the libusb path: the bytes moved
// on the wire by a send, the bytes fetched by a get with byte 0 counted; negative on failure.
int HidrawSendFeatureReport(const hid_device *dev, const unsigned char *data, size_t length);
int HidrawGetFeatureReport(const hid_device *dev, unsigned char *data, size_t length);
