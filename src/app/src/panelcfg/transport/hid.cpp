#include "hid.h"

#include <cerrno>
#include <cstdio>
#include <new>

#include "../base/log.h"
#include "../base/stop.h"
#include "boundary.h"
#include "hidraw.h"

namespace {
hid_device fallback;
}

hid_device *new_hid_device() {
  // cppcheck-suppress unusedAllocatedMemory ; returned to the caller, who frees it
  hid_device *dev = new (std::nothrow) hid_device;
  if (dev == nullptr) {
    // Out of memory: hand back a record that was never taken over.
    fallback = hid_device{};
    return &fallback;
  }
  return dev;
}

void free_hid_device(hid_device *dev) {
  if (dev != &fallback)
    delete dev;
}

const usb_interface_descriptor *FirstAltSetting(const struct usb_device *devs) {
  if (devs->config == nullptr || devs->config[0].bNumInterfaces == 0 ||
      devs->config[0].interface == nullptr || devs->config[0].interface[0].num_altsetting < 1 ||
      devs->config[0].interface[0].altsetting == nullptr)
    return nullptr;
  return &devs->config[0].interface[0].altsetting[0];
}

int LeftWithoutDriverCnt = 0;

hid_device *OpenHidDevice(struct usb_device *devs, usb_dev_handle *hdlr) {
  hid_device *dev = new_hid_device();
  const usb_interface_descriptor *first = FirstAltSetting(devs);
  if (first == nullptr) {
    DebugMsg(3, "no configuration, interface or alternate setting descriptor\n");
    return dev;
  }
  const usb_config_descriptor &config = devs->config[0];
  const usb_interface_descriptor &alt = *first;
  int ifnum = alt.bInterfaceNumber;

  char name[50] = {};
  int ret = UsbGetDriver(hdlr, ifnum, name, sizeof name);
  DebugMsg(3, "usb_get_driver_np ret:%d\n", ret);
  if (ret < 0) {
    const int err = errno;
    perror("Unable to get device driver name");
    if (err == ENODATA)
      fputs("panelcfg: no kernel driver is bound to this controller (a run was stopped while it "
            "held it?); panelcfg --recover resets it\n",
            stderr);
    return dev;
  }
  name[sizeof name - 1] = '\0';
  DebugMsg(3, "usb_get_driver_np %s\n", name);
  if (UsbDetachDriver(hdlr, ifnum) < 0) {
    perror("Unable to detach kernel driver");
    return dev;
  }
  // From here on a failure leaves the controller without its kernel driver.
  if (UsbSetConfiguration(hdlr, config.bConfigurationValue) < 0) {
    perror("Unable to set device configuration");
    LeftWithoutDriverCnt++;
    return dev;
  }
  if (UsbClaimInterface(hdlr, ifnum) < 0) {
    perror("Unable to claim interface");
    LeftWithoutDriverCnt++;
    return dev;
  }
  if (UsbSetAltInterface(hdlr, alt.bAlternateSetting) < 0) {
    perror("Unable to set alternate interface");
    UsbReleaseInterface(hdlr, ifnum);
    LeftWithoutDriverCnt++;
    return dev;
  }
  dev->device_handle = hdlr;
  dev->interface = ifnum;
  return dev;
}

hid_device *ClaimDriverless(struct usb_device *devs, usb_dev_handle *hdlr) {
  hid_device *dev = new_hid_device();
  const usb_interface_descriptor *first = FirstAltSetting(devs);
  if (first == nullptr)
    return dev;
  const int ifnum = first->bInterfaceNumber;
  char name[50] = {};
  errno = 0;
  if (UsbGetDriver(hdlr, ifnum, name, sizeof name) >= 0)
    return dev; // its driver is bound: nothing to recover
  if (errno != ENODATA) {
    perror("Unable to get device driver name");
    return dev;
  }
  if (UsbClaimInterface(hdlr, ifnum) < 0) {
    perror("Unable to claim interface");
    return dev;
  }
  dev->device_handle = hdlr;
  dev->interface = ifnum;
  return dev;
}

namespace {
bool Refused() {
  if (!ProtocolAbandoned())
    return false;
  errno = EINTR;
  return true;
}
} // namespace

int hid_send_feature_report(hid_device *dev, const unsigned char *data, size_t length) {
  if (length == 0 || Refused())
    return -1;
  if (dev->hidraw >= 0)
    return HidrawSendFeatureReport(dev, data, length);
  unsigned char reportId = data[0];
  const unsigned char *from = data;
  if (reportId == 0) {
    from++;
    length--;
  }
  return UsbControl(dev->device_handle, kHidSetReportType, kHidSetReport,
                    kHidFeatureReport | reportId, dev->interface,
                    reinterpret_cast<char *>(const_cast<unsigned char *>(from)),
                    static_cast<int>(length), kHidTimeoutMs);
}

int hid_get_feature_report(hid_device *dev, unsigned char *data, size_t length) {
  if (length == 0 || Refused())
    return -1;
  if (dev->hidraw >= 0)
    return HidrawGetFeatureReport(dev, data, length);
  unsigned char reportId = data[0];
  unsigned char *into = data;
  int skipped = 0;
  if (reportId == 0) {
    into++;
    length--;
    skipped = 1;
  }
  int res = UsbControl(dev->device_handle, kHidGetReportType, kHidGetReport,
                       kHidFeatureReport | reportId, dev->interface, reinterpret_cast<char *>(into),
                       static_cast<int>(length), kHidTimeoutMs);
  if (res < 0)
    return -1;
  return res + skipped;
}
