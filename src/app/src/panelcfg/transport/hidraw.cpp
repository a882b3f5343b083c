#include "hidraw.h"

#include <cerrno>
#include <cstdlib>

#include "../base/log.h"
#include "boundary.h"

namespace {

// A number libusb printed as a directory name ("001"); -1 when it is not one.
int NumberOf(const char *text) {
  char *end = nullptr;
  errno = 0;
  const long value = strtol(text, &end, 10);
  if (end == text || *end != '\0' || errno != 0 || value < 0 || value > 0xFFFF)
    return -1;
  return static_cast<int>(value);
}

} // namespace

bool UsbDeviceName(const struct usb_device *devs, char *name, size_t size) {
  if (devs->bus == nullptr)
    return false;
  const int busnum = NumberOf(devs->bus->dirname);
  const int devnum = NumberOf(devs->filename);
  if (busnum < 0 || devnum < 0)
    return false;
  return SysDeviceName(busnum, devnum, name, size) == 0;
}

hid_device *OpenHidrawDevice(const struct usb_device *devs, HidrawFailure *why, int *err) {
  hid_device *dev = new_hid_device();
  *err = 0;
  const usb_interface_descriptor *first = FirstAltSetting(devs);
  if (first == nullptr) {
    *why = HIDRAW_NO_INTERFACE;
    return dev;
  }
  char name[64];
  if (!UsbDeviceName(devs, name, sizeof name)) {
    *why = HIDRAW_NO_DEVICE;
    *err = ENODEV;
    return dev;
  }
  char node[128];
  const int found = SysNode(name, devs->config[0].bConfigurationValue, first->bInterfaceNumber,
                            node, sizeof node);
  if (found < 0) {
    *why = HIDRAW_NO_NODE;
    *err = -found;
    return dev;
  }
  const int fd = SysOpen(node);
  DebugMsg(3, "hidraw node %s of %s opened: %d\n", node, name, fd);
  if (fd < 0) {
    *why = fd == -EACCES || fd == -EPERM ? HIDRAW_PERMISSION : HIDRAW_OPEN_FAILED;
    *err = -fd;
    return dev;
  }
  *why = HIDRAW_OK;
  dev->hidraw = fd;
  dev->interface = first->bInterfaceNumber;
  return dev;
}

void CloseHidrawDevice(hid_device *dev) {
  if (dev->hidraw >= 0)
    SysClose(dev->hidraw);
  free_hid_device(dev);
}

int HidrawSendFeatureReport(const hid_device *dev, const unsigned char *data, size_t length) {
  // The ioctl takes a buffer it may write; the report itself is never changed.
  unsigned char report[kHidReportMax];
  if (length > sizeof report)
    return -1;
  for (size_t i = 0; i < length; i++)
    report[i] = data[i];
  const int res = SysFeature(dev->hidraw, true, report, length);
  if (res < 0) {
    errno = -res;
    return res;
  }
  // The driver counts the report ID byte even when it does not go on the wire (ID 0).
  return data[0] == 0 && res > 0 ? res - 1 : res;
}

int HidrawGetFeatureReport(const hid_device *dev, unsigned char *data, size_t length) {
  const int res = SysFeature(dev->hidraw, false, data, length);
  if (res < 0) {
    errno = -res;
    return -1;
  }
  return res;
}
