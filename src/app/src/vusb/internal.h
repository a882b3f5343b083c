// Shared between the parts of the virtual bus; not for tests.
#pragma once

#include <usb.h>

#include "vusb.h"

struct usb_dev_handle {
  int device;          // device id
  int claimed = -1;    // interface claimed through this handle
  bool closed = false; // set by usb_close before the record is freed
};

namespace vusb::detail {

// The device behind an open handle, or nullptr.
Device *DeviceOf(usb_dev_handle *h);

// Appends an entry to the log.
void Record(Entry e);

// Autosave's part of every libusb call: writes the state file when the state changed.
void AfterCall();

// Answers one control transfer on a device that is present; returns the byte count or a
// negative errno. data holds size bytes; a device-to-host answer is written into it.
int ModelTransfer(Device &d, uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                  uint8_t *data, int size);

// Called when the device carries out a reset request.
void OnReset(Device &d);

// Default string descriptors of each model.
void AddDefaultStrings(DeviceSpec &spec);

} // namespace vusb::detail
