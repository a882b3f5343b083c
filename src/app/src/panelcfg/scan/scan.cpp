#include "scan.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "../base/log.h"
#include "../base/state.h"
#include "../base/stop.h"
#include "../lists/registry.h"
#include "../pct/cmdmode.h"
#include "../policy/dispatch.h"
#include "../resistive/resproto.h"
#include "../transport/boundary.h"
#include "../transport/hid.h"
#include "../transport/hidraw.h"
#include "devtable.h"

namespace {

constexpr int kBootMouseProtocol = 2;

// Every controller taken over ends with its own reset, in its family's form (a PCT controller's
// in the form of IsLegacy); a second stop signal does not cut it.
void FinalReset(hid_device *dev, int family) {
  SetFinalReset(true);
  if (family == USBID_PCT)
    ResetDevice(dev);
  else
    ResetResDevice(dev);
  SetFinalReset(false);
}

void HandlePct(hid_device *dev, usb_dev_handle *hdlr, const usb_interface_descriptor *alt, int vid,
               int pid, const char *mstr, const char *pstr, int &PCTDevCnt) {
  if (alt->bInterfaceProtocol == kBootMouseProtocol) {
    DebugMsg(3, "[Interface Descriptor]bInterfaceProtocol:%d fail\n", alt->bInterfaceProtocol);
    // The generation of this controller was never read; the current-generation reset is the
    // one that needs no command mode.
    int saved = IsLegacy;
    IsLegacy = 0;
    FinalReset(dev, USBID_PCT);
    IsLegacy = saved;
    return;
  }
  IsLegacy = GetIsLegacy(dev);
  if (MyConfig.disable_8752 != 0 && IsLegacy == 1) {
    // Legacy controllers are excluded by the options.
  } else if (ChkPCTString(hdlr) == 0) {
    DebugMsg(3, "PCT String not match\n");
  } else if (GetFwID(dev) == 0) {
    DebugMsg(3, "get firmware fail\n");
  } else if (SetPCTDevices(dev) != 0) {
    if (SetManufacturerName(ManufCnt, mstr, pstr) != 0)
      ManufCnt++;
    if (SetPCTDevID(DevIDCnt, vid, pid) != 0)
      DevIDCnt++;
    PCTDevCnt++;
  }
  FinalReset(dev, USBID_PCT);
}

void HandleResistive(hid_device *dev, int vid, int pid, const char *mstr, const char *pstr) {
  if (RunResSequence(dev) != 0) {
    if (SetResManufacturerName(rManufCnt, mstr, pstr) != 0)
      rManufCnt++;
    if (SetResDevID(rDevIDCnt, vid, pid) != 0)
      rDevIDCnt++;
  }
  FinalReset(dev, USBID_RES);
}

} // namespace

int ReadString(usb_dev_handle *hdlr, int index, char *buf, size_t size) {
  memset(buf, 0, size);
  int ret = UsbGetString(hdlr, index, buf, size);
  buf[size - 1] = '\0';
  if (ret < 0)
    buf[0] = '\0';
  return ret;
}

void Enumerate() {
  UsbInit();
  UsbFindBusses();
  UsbFindDevices();
}

int ChkPCTString(usb_dev_handle *hdlr) {
  DebugMsg(3, "IsLegacy=%d\n", IsLegacy);
  char buffer[256];
  const bool legacy = IsLegacy == 1;
  int ret = ReadString(hdlr, legacy ? 3 : 0x3C, buffer, sizeof buffer);
  DebugMsg(3, "usb_get_string_simple 0x3C ret:%d %s\n", ret, buffer);
  if (ret < 0) {
    DebugMsg(3, "Unable to get string 1 ret:%d\n", ret);
    return 0;
  }
  if (strstr(buffer, legacy ? "Velmarine" : "zUZOVoDODeRIRArI") == nullptr) {
    DebugMsg(3, "Device string not match.\n");
    return 0;
  }
  return ret;
}

int UnvisitedCnt = 0;

namespace {

// A decimal number of at most five digits that fills text; -1 otherwise.
int SpecNumber(const char *text, size_t len) {
  if (len == 0 || len > 5)
    return -1;
  int value = 0;
  for (size_t i = 0; i < len; i++) {
    if (text[i] < '0' || text[i] > '9')
      return -1;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

// The number libusb printed as a directory name ("001"); -1 when it is not one.
int NameNumber(const char *text) { return SpecNumber(text, strlen(text)); }

} // namespace

bool DeviceSelected(const struct usb_bus *bus, const struct usb_device *devs) {
  if (!OneDevice.active)
    return true;
  return NameNumber(bus->dirname) == OneDevice.busnum &&
         NameNumber(devs->filename) == OneDevice.devnum;
}

SelectFailure SelectDevice(const char *spec) {
  OneDevice = DEVSELECT{};
  int busnum = -1;
  int devnum = -1;
  char name[sizeof OneDevice.name] = {};
  const char *colon = strchr(spec, ':');
  const char *base = strrchr(spec, '/');
  base = base != nullptr ? base + 1 : spec;
  if (colon != nullptr) {
    busnum = SpecNumber(spec, static_cast<size_t>(colon - spec));
    devnum = SpecNumber(colon + 1, strlen(colon + 1));
    if (busnum < 0 || devnum < 0)
      return SELECT_BAD_SPEC;
  } else if (strncmp(base, "hidraw", 6) == 0) {
    if (SysNodeDevice(spec, name, sizeof name) != 0 ||
        SysDeviceNumbers(name, &busnum, &devnum) != 0)
      return SELECT_NO_DEVICE;
  } else if (spec[0] >= '0' && spec[0] <= '9' && strchr(spec, '/') == nullptr) {
    if (snprintf(name, sizeof name, "%s", spec) >= static_cast<int>(sizeof name) ||
        SysDeviceNumbers(name, &busnum, &devnum) != 0)
      return SELECT_NO_DEVICE;
  } else {
    return SELECT_BAD_SPEC;
  }
  Enumerate();
  for (struct usb_bus *bus = UsbGetBusses(); bus != nullptr; bus = bus->next) {
    for (struct usb_device *devs = bus->devices; devs != nullptr; devs = devs->next) {
      if (NameNumber(bus->dirname) != busnum || NameNumber(devs->filename) != devnum)
        continue;
      OneDevice.active = true;
      OneDevice.busnum = busnum;
      OneDevice.devnum = devnum;
      if (name[0] == '\0' && !UsbDeviceName(devs, name, sizeof name))
        name[0] = '\0';
      snprintf(OneDevice.name, sizeof OneDevice.name, "%s", name);
      return SELECT_OK;
    }
  }
  return SELECT_NO_DEVICE;
}

int FindMatchProduct() {
  int PCTDevCnt = 0;
  UnvisitedCnt = 0;
  Enumerate();
  DebugMsg(3, "call usb_get_busses\n");
  for (struct usb_bus *bus = UsbGetBusses(); bus != nullptr; bus = bus->next) {
    for (struct usb_device *devs = bus->devices; devs != nullptr; devs = devs->next) {
      if (!DeviceSelected(bus, devs))
        continue;
      DevInfo.PID = 0;
      DevInfo.VID = 0;
      DevInfo.OLD_PID = 0;
      DevInfo.OLD_VID = 0;
      // The IDs as enumerated now; the controller may be given new ones while it is handled.
      const int vid = devs->descriptor.idVendor;
      const int pid = devs->descriptor.idProduct;
      // After a stop signal the rest of the bus is only counted.
      if (StopSignal() != 0) {
        if (ClassifyUSBID(vid, pid) != USBID_NONE)
          UnvisitedCnt++;
        continue;
      }
      int matchflag = CheckUSBID(vid, pid);
      if (matchflag == USBID_NONE)
        continue;

      const usb_interface_descriptor *alt = FirstAltSetting(devs);
      if (alt == nullptr) {
        DebugMsg(3, "%04x:%04x has no interface descriptor, skipped\n", vid, pid);
        continue;
      }

      char mstr[255] = {};
      char pstr[255] = {};
      usb_dev_handle *hdlr = UsbOpen(devs);
      if (hdlr == nullptr) {
        char what[64];
        snprintf(what, sizeof what, "Unable to open USB device %04x:%04x", vid, pid);
        perror(what);
        continue;
      }
      if (ReadString(hdlr, 2, pstr, sizeof pstr) < 0)
        perror("Unable to get 0x02 stringn");
      else if (ReadString(hdlr, 1, mstr, sizeof mstr) < 0)
        perror("Unable to get 0x01 string 2\n");

      hid_device *dev = OpenHidDevice(devs, hdlr);
      if (dev->device_handle != nullptr) {
        SetControllerInHand(true);
        if (matchflag == USBID_PCT)
          HandlePct(dev, hdlr, alt, vid, pid, mstr, pstr, PCTDevCnt);
        else
          HandleResistive(dev, vid, pid, mstr, pstr);
        SetControllerInHand(false);
      }
      free_hid_device(dev);
      UsbReleaseInterface(hdlr, alt->bInterfaceNumber);
      UsbClose(hdlr);
    }
  }
  return PCTDevCnt;
}

int RecoverControllers() {
  int reset = 0;
  UnvisitedCnt = 0;
  Enumerate();
  for (struct usb_bus *bus = UsbGetBusses(); bus != nullptr; bus = bus->next) {
    for (struct usb_device *devs = bus->devices; devs != nullptr; devs = devs->next) {
      const int vid = devs->descriptor.idVendor;
      const int pid = devs->descriptor.idProduct;
      const int matchflag = ClassifyUSBID(vid, pid);
      if (matchflag == USBID_NONE || !DeviceSelected(bus, devs))
        continue;
      if (StopSignal() != 0) {
        UnvisitedCnt++;
        continue;
      }
      const usb_interface_descriptor *alt = FirstAltSetting(devs);
      if (alt == nullptr)
        continue;
      usb_dev_handle *hdlr = UsbOpen(devs);
      if (hdlr == nullptr)
        continue;
      hid_device *dev = ClaimDriverless(devs, hdlr);
      if (dev->device_handle != nullptr) {
        SetControllerInHand(true);
        // The generation read belongs to the reset here: a second signal does not cut it either.
        SetFinalReset(true);
        const int saved = IsLegacy;
        if (matchflag == USBID_PCT)
          IsLegacy = GetIsLegacy(dev);
        FinalReset(dev, matchflag);
        IsLegacy = saved;
        SetControllerInHand(false);
        DebugMsg(1, "reset bus %s device %s: %04x:%04x %s, which had no kernel driver\n",
                 bus->dirname, devs->filename, vid, pid,
                 matchflag == USBID_PCT ? "PCT" : "resistive");
        reset++;
        UsbReleaseInterface(hdlr, alt->bInterfaceNumber);
      }
      free_hid_device(dev);
      UsbClose(hdlr);
    }
  }
  return reset;
}
