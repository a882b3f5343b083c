// The one boundary of the run: every libusb call, every kernel call of the hidraw backend and the
// random draw for a serial number goes through these functions (the scan, the status reads and
// the protocols alike), each with the arguments and result of the call it makes. While a
// recording is going on (base/record.h), each call is kept there with its answer.
#pragma once

#include <usb.h>

#include <cstddef>

// libusb 0.1. UsbGetBusses also keeps the devices as enumerated in a recording.
void UsbInit();
int UsbFindBusses();
int UsbFindDevices();
struct usb_bus *UsbGetBusses();
usb_dev_handle *UsbOpen(struct usb_device *dev);
int UsbClose(usb_dev_handle *hdlr);
int UsbGetString(usb_dev_handle *hdlr, int index, char *buf, size_t size);
int UsbGetDriver(usb_dev_handle *hdlr, int ifnum, char *name, unsigned int size);
int UsbDetachDriver(usb_dev_handle *hdlr, int ifnum);
int UsbSetConfiguration(usb_dev_handle *hdlr, int value);
int UsbClaimInterface(usb_dev_handle *hdlr, int ifnum);
int UsbSetAltInterface(usb_dev_handle *hdlr, int alternate);
int UsbReleaseInterface(usb_dev_handle *hdlr, int ifnum);
int UsbControl(usb_dev_handle *hdlr, int requestType, int request, int value, int index,
               char *bytes, int size, int timeout);

// The hidraw backend's kernel calls (transport/hidraw_sys.h).
int SysDeviceName(int busnum, int devnum, char *name, size_t size);
int SysDeviceNumbers(const char *deviceName, int *busnum, int *devnum);
int SysNodeDevice(const char *node, char *name, size_t size);
int SysNode(const char *deviceName, int config, int ifnum, char *node, size_t size);
int SysOpen(const char *node);
int SysFeature(int fd, bool set, unsigned char *data, size_t length);
void SysClose(int fd);

// The random draw for a new serial number: 16 * blocks bytes.
void DrawRandom(unsigned char *buf, int blocks);
