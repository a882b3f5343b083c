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

// Before an enumeration: the shared state's devices as other processes left them.
void BeforeEnumeration();
// Autosave's part of every libusb call: writes the state file when the state changed.
void AfterCall();

// Answers one control transfer on a device that is present; returns the byte count or a
// negative errno. data holds size bytes; a device-to-host answer is written into it.
int ModelTransfer(Device &d, uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                  uint8_t *data, int size);

// One control transfer to a device, with its faults, as the log entry e describes it (e's data
// gets what a device-to-host transfer delivered). throughDriver: sent by the kernel driver that
// holds the interface (hidraw), which usbfs's hold on the interface does not stop. Returns the
// byte count or a negative errno, which it also sets.
int DeviceTransfer(Device &d, Entry &e, uint8_t *data, int size, bool throughDriver);

// The present device with this bus and device number in the current enumeration, or nullptr.
Device *DeviceAt(int busnum, int devnum);

// A log entry for a call of name on device (-1: none) with its argument.
Entry CallEntry(const char *name, int device, int arg = 0);

// Logs a call with its result (and saves the state file when the call may change it).
int FinishCall(Entry e, int result);

// Whether the device is reachable (neither unplugged nor gone after a reset).
bool IsPresent(const Device &d);

// Called when the device carries out a reset request.
void OnReset(Device &d);

// Closes every hidraw node (Reset).
void ResetHidraw();

// The replay's side of every call (replay.cpp), used while ReplayActive().
bool ReplayActive();
void ReplayInit();
int ReplayFind(const char *call);
struct usb_bus *ReplayGetBusses();
usb_dev_handle *ReplayOpen(struct usb_device *dev);
int ReplayClose(usb_dev_handle *h);
int ReplayGetString(usb_dev_handle *h, int index, char *buf, size_t buflen);
int ReplayGetDriver(usb_dev_handle *h, int interface, char *name, unsigned int namelen);
int ReplaySimple(const char *call, usb_dev_handle *h, const char *key, int arg);
int ReplayControl(usb_dev_handle *h, int requestType, int request, int value, int index,
                  char *bytes, int size, int timeout);
int ReplaySysDeviceName(int busnum, int devnum, char *name, size_t size);
int ReplaySysDeviceNumbers(const char *deviceName, int *busnum, int *devnum);
int ReplaySysNodeDevice(const char *node, char *name, size_t size);
int ReplaySysNode(const char *deviceName, int config, int ifnum, char *node, size_t size);
int ReplaySysOpen(const char *node);
int ReplaySysFeature(int fd, bool set, unsigned char *data, size_t length);
void ReplaySysClose(int fd);
// The port and driver of a device of the last enumeration replayed (a recording's own question,
// not a call of the run).
int ReplayDescribe(int busnum, int devnum, char *port, size_t portSize, char *driver,
                   size_t driverSize);
void ReplayPause(unsigned int ms);
void ReplayRandom(unsigned char *buf, int blocks);

// Default string descriptors of each model.
void AddDefaultStrings(DeviceSpec &spec);

} // namespace vusb::detail
