// The read-only reports: --list (every USB device) and --status (every supported controller, read
// through its kernel driver's hidraw node), as text or as one JSON document.
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>

#include "../base/log.h"
#include "../base/state.h"
#include "../base/stop.h"
#include "../lists/registry.h"
#include "../pct/cmdmode.h"
#include "../pct/posmode.h"
#include "../policy/dispatch.h"
#include "../policy/identity.h"
#include "../resistive/resproto.h"
#include "../transport/boundary.h"
#include "../transport/hidraw.h"
#include "devtable.h"
#include "scan.h"

namespace {

using Json = nlohmann::ordered_json;

constexpr int kSchema = 1;
constexpr int kBootMouseProtocol = 2;

// A string descriptor as read: its text, or the error of the read.
struct StringField {
  bool read = false;
  int err = 0; // errno of a failed read
  char text[255] = {};
};

// Room for a device string decoded to UTF-8: two bytes for each of its characters at most.
constexpr size_t kTextUtf8Size = 2 * sizeof StringField::text;

// What --list knows of a device.
struct DeviceFacts {
  const char *bus = "";
  const char *device = "";
  int vid = 0;
  int pid = 0;
  int family = USBID_NONE;
  bool opened = false;
  int openErr = 0; // errno of a failed usb_open, 0 when unknown
  StringField manufacturer;
  StringField product;
};

enum IdentityState {
  ID_NOT_READ = READ_ID_NOT_READ,
  ID_VALID = READ_ID_VALID,
  ID_OUTDATED = READ_ID_OUTDATED,
  ID_INVALID = READ_ID_INVALID,
  ID_UNREADABLE = READ_ID_UNREADABLE,
};

// What --status knows of a supported controller.
struct ControllerStatus {
  DeviceFacts facts;
  char sysfs[64] = {};
  bool driverBound = false;
  char driver[50] = {};
  const char *errorCode = nullptr; // null: read in full
  char errorText[256] = {};
  bool failure = false; // the error is a failed read, not a controller no run configures
  int site = 0;         // 1..4: the mode first, the identity block only when it is that one
  // PCT
  int generation = 0; // GetIsLegacy: 1 legacy, 2 or 3 current, 0 not read
  bool firmwareRead = false;
  int chipId = 0;
  int fwRev = 0;
  char fwVersion[32] = {};
  int mode = 0; // 1..4 as the controller stores it, 0 not read
  IdentityState identity = ID_NOT_READ;
  int homeVid = 0;
  int homePid = 0;
  int fwRevFlash = 0;
  char serial[17] = {};
  // Resistive
  bool resFirmwareRead = false;
  char resFirmware[20] = {};
  int rotation = -1;
};

const char *FamilyName(int family) {
  switch (family) {
  case USBID_PCT:
    return "PCT";
  case USBID_RES:
    return "resistive";
  default:
    return "not supported";
  }
}

const char *FamilyKey(int family) {
  switch (family) {
  case USBID_PCT:
    return "pct";
  case USBID_RES:
    return "resistive";
  default:
    return "unsupported";
  }
}

// The mode a user asked for to get the stored number: it depends on generation and firmware.
const char *ModeNameOf(const ControllerStatus &s) {
  return PositionModeName(s.mode, s.generation, s.chipId, s.fwRev);
}

// A device string as the JSON carries it: decoded from Latin-1, control characters kept (the
// JSON writer escapes them).
Json DeviceTextJson(const char *text) {
  std::array<char, kTextUtf8Size> utf8{};
  const size_t length = DeviceTextUtf8(utf8, text, false);
  return std::string(utf8.data(), length);
}

std::string Id(int vid, int pid) {
  char id[16];
  snprintf(id, sizeof id, "%04x:%04x", vid & 0xFFFF, pid & 0xFFFF);
  return id;
}

void ReadField(usb_dev_handle *hdlr, int index, StringField &field) {
  const int ret = ReadString(hdlr, index, field.text, sizeof field.text);
  field.read = ret >= 0;
  field.err = ret < 0 ? -ret : 0;
}

// Opens a supported device and reads its manufacturer and product strings. Returns the open
// handle, or null when it cannot be opened.
usb_dev_handle *OpenAndName(struct usb_device *devs, DeviceFacts &facts) {
  errno = 0;
  usb_dev_handle *hdlr = UsbOpen(devs);
  if (hdlr == nullptr) {
    facts.openErr = errno;
    return nullptr;
  }
  facts.opened = true;
  ReadField(hdlr, 1, facts.manufacturer);
  ReadField(hdlr, 2, facts.product);
  return hdlr;
}

DeviceFacts FactsOf(const struct usb_bus *bus, const struct usb_device *devs) {
  DeviceFacts f;
  f.bus = bus->dirname;
  f.device = devs->filename;
  f.vid = devs->descriptor.idVendor;
  f.pid = devs->descriptor.idProduct;
  f.family = CheckUSBID(f.vid, f.pid);
  return f;
}

Json StringJson(const StringField &field) {
  if (!field.read)
    return nullptr;
  return DeviceTextJson(field.text);
}

Json FactsJson(const DeviceFacts &f) {
  Json j;
  j["bus"] = f.bus;
  j["device"] = f.device;
  j["id"] = Id(f.vid, f.pid);
  j["family"] = FamilyKey(f.family);
  return j;
}

// One JSON document on standard output. Texts from devices are decoded to UTF-8 before; any other
// text that is no valid UTF-8 is mended, never a cause to fail.
void PrintJson(const Json &doc) {
  const std::string text = doc.dump(2, ' ', false, Json::error_handler_t::replace);
  fputs(text.c_str(), stdout);
  fputc('\n', stdout);
}

Json Document(const char *command) {
  Json doc;
  doc["schema"] = kSchema;
  doc["command"] = command;
  doc["devices"] = Json::array();
  return doc;
}

// ", <what> "<string>"" for a string read, or ", <what> unreadable (<reason>)".
void PrintStringField(const char *what, const StringField &field) {
  if (!field.read) {
    printf(", %s unreadable (%s)", what, strerror(field.err));
    return;
  }
  std::array<char, kTextUtf8Size> clean{};
  DeviceTextUtf8(clean, field.text, true);
  printf(", %s \"%s\"", what, clean.data());
}

void PrintListLine(const DeviceFacts &f) {
  printf("bus %s device %s: %04x:%04x %s", f.bus, f.device, f.vid, f.pid, FamilyName(f.family));
  if (f.family != USBID_NONE) {
    if (!f.opened) {
      printf(", cannot be opened: %s", f.openErr != 0 ? strerror(f.openErr) : "reason unknown");
    } else {
      PrintStringField("manufacturer", f.manufacturer);
      PrintStringField("product", f.product);
    }
  }
  putchar('\n');
}

Json ListJson(const DeviceFacts &f) {
  Json j = FactsJson(f);
  const bool named = f.family != USBID_NONE && f.opened;
  j["manufacturer"] = named ? StringJson(f.manufacturer) : Json(nullptr);
  j["product"] = named ? StringJson(f.product) : Json(nullptr);
  if (f.family != USBID_NONE && !f.opened) {
    j["error"] = {{"code", "open-failed"},
                  {"text", f.openErr != 0 ? strerror(f.openErr) : "reason unknown"}};
  } else if (named && (!f.manufacturer.read || !f.product.read)) {
    const int err = !f.manufacturer.read ? f.manufacturer.err : f.product.err;
    j["error"] = {{"code", "string-unreadable"}, {"text", strerror(err)}};
  } else {
    j["error"] = nullptr;
  }
  return j;
}

void SetError(ControllerStatus &s, const char *code, bool failure, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));
void SetError(ControllerStatus &s, const char *code, bool failure, const char *fmt, ...) {
  s.errorCode = code;
  s.failure = failure;
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(s.errorText, sizeof s.errorText, fmt, ap);
  va_end(ap);
}

void ReadPct(hid_device *dev, usb_dev_handle *hdlr, const usb_interface_descriptor *alt,
             ControllerStatus &s) {
  if (alt->bInterfaceProtocol == kBootMouseProtocol) {
    SetError(s, "boot-interface", false,
             "its interface uses the boot mouse protocol: a run only resets it");
    return;
  }
  IsLegacy = GetIsLegacy(dev);
  if (IsLegacy == 0) {
    SetError(s, "read-failed", true, "the generation report cannot be read");
    return;
  }
  s.generation = IsLegacy;
  if (MyConfig.disable_8752 != 0 && IsLegacy == 1) {
    SetError(s, "legacy-excluded", false,
             "legacy controllers are excluded by the options: a run leaves it alone");
    return;
  }
  if (ChkPCTString(hdlr) == 0) {
    SetError(s, "no-signature", true, "the PCT signature string is absent");
    return;
  }
  if (GetFwID(dev) == 0) {
    SetError(s, "read-failed", true, "the firmware identity cannot be read");
    return;
  }
  s.firmwareRead = true;
  s.chipId = ChipID;
  s.fwRev = FwRev;
  snprintf(s.fwVersion, sizeof s.fwVersion, "%s", LastFwVersion());
  if (s.site != 0) {
    s.mode = GetPOSMode(dev);
    if (s.mode == 0) {
      SetError(s, "read-failed", true, "the position mode cannot be read");
      return;
    }
    if (!InSiteMode(s.mode, s.facts.pid, s.generation, s.chipId, s.fwRev, s.site))
      return;
  }
  switch (ReadIdentityBlock(dev)) {
  case 1:
    s.identity = IdentityNeedsRewrite() ? ID_OUTDATED : ID_VALID;
    s.homeVid = DevInfo.OLD_VID;
    s.homePid = DevInfo.OLD_PID;
    s.fwRevFlash = DevInfo.FWRevFlash;
    for (size_t i = 0; i < sizeof DevInfo.SN; i++)
      snprintf(s.serial + 2 * i, 3, "%02X", DevInfo.SN[i]);
    break;
  case 2:
    s.identity = ID_INVALID;
    break;
  default:
    s.identity = ID_UNREADABLE;
    break;
  }
  if (s.site != 0)
    return;
  s.mode = GetPOSMode(dev);
  if (s.mode == 0)
    SetError(s, "read-failed", true, "the position mode cannot be read");
}

void ReadResistive(hid_device *dev, ControllerStatus &s) {
  if (GetFirmware(dev, s.resFirmware) == 0) {
    SetError(s, "read-failed", true, "the firmware version cannot be read");
    return;
  }
  s.resFirmwareRead = true;
  s.rotation = ReadResRotation(dev);
  if (s.rotation < 0)
    SetError(s, "read-failed", true, "the rotation cannot be read");
}

// The hidraw backend's way to the controller, or the reason there is none.
void OpenFailure(ControllerStatus &s, HidrawFailure why, int err) {
  switch (why) {
  case HIDRAW_OK:
    break;
  case HIDRAW_NO_INTERFACE:
    SetError(s, "no-interface", true, "no interface descriptor");
    break;
  case HIDRAW_NO_DEVICE:
    SetError(s, "open-failed", true, "the device is not listed in sysfs");
    break;
  case HIDRAW_NO_NODE:
    SetError(s, "no-hidraw", true, "its kernel driver %s made no hidraw node", s.driver);
    break;
  case HIDRAW_PERMISSION:
    SetError(s, "permission", true, "no permission to open its hidraw node: %s (run as root)",
             strerror(err));
    break;
  case HIDRAW_OPEN_FAILED:
    SetError(s, "open-failed", true, "its hidraw node cannot be opened: %s", strerror(err));
    break;
  }
}

void ReadController(struct usb_device *devs, ControllerStatus &s) {
  const usb_interface_descriptor *alt = FirstAltSetting(devs);
  if (alt == nullptr) {
    SetError(s, "no-interface", true, "no interface descriptor");
    return;
  }
  if (!UsbDeviceName(devs, s.sysfs, sizeof s.sysfs))
    s.sysfs[0] = '\0';
  usb_dev_handle *hdlr = OpenAndName(devs, s.facts);
  if (hdlr == nullptr) {
    SetError(s, "open-failed", true, "cannot be opened: %s",
             s.facts.openErr != 0 ? strerror(s.facts.openErr) : "reason unknown");
    return;
  }
  errno = 0;
  if (UsbGetDriver(hdlr, alt->bInterfaceNumber, s.driver, sizeof s.driver) < 0) {
    const int err = errno;
    s.driver[0] = '\0';
    if (err == ENODATA)
      SetError(s, "no-driver", true,
               "no kernel driver is bound to this controller (a run was stopped while it held "
               "it?); panelcfg --recover resets it");
    else
      SetError(s, "read-failed", true, "its kernel driver cannot be named: %s",
               strerror(err != 0 ? err : EIO));
    UsbClose(hdlr);
    return;
  }
  s.driver[sizeof s.driver - 1] = '\0';
  s.driverBound = true;
  HidrawFailure why = HIDRAW_OK;
  int err = 0;
  hid_device *dev = OpenHidrawDevice(devs, &why, &err);
  if (dev->hidraw >= 0) {
    const int saved = IsLegacy;
    if (s.facts.family == USBID_PCT)
      ReadPct(dev, hdlr, alt, s);
    else
      ReadResistive(dev, s);
    IsLegacy = saved;
  } else {
    OpenFailure(s, why, err);
  }
  CloseHidrawDevice(dev);
  UsbClose(hdlr);
}

const char *IdentityName(IdentityState state) {
  switch (state) {
  case ID_VALID:
    return "valid";
  case ID_OUTDATED:
    return "outdated";
  case ID_INVALID:
    return "invalid";
  case ID_UNREADABLE:
    return "unreadable";
  case ID_NOT_READ:
    break;
  }
  return "not read";
}

void PrintStatusLine(const ControllerStatus &s) {
  const DeviceFacts &f = s.facts;
  printf("bus %s device %s: %04x:%04x %s", f.bus, f.device, f.vid, f.pid, FamilyName(f.family));
  if (s.errorCode != nullptr && s.generation == 0 && !s.resFirmwareRead) {
    printf(" unreadable: %s\n", s.errorText);
    return;
  }
  if (f.family == USBID_PCT) {
    printf(" %s generation", s.generation == 1 ? "legacy" : "current");
    if (s.firmwareRead)
      printf(", firmware %s chip %d", s.fwVersion, s.chipId);
    if (s.mode != 0)
      printf(", mode %d (%s)", s.mode, ModeNameOf(s));
    switch (s.identity) {
    case ID_VALID:
    case ID_OUTDATED:
      printf(", %s (home %04x:%04x, firmware revision %d, serial %s)", IdentityPhrase(s.identity),
             s.homeVid, s.homePid, s.fwRevFlash, s.serial);
      break;
    case ID_INVALID:
    case ID_UNREADABLE:
      printf(", %s", IdentityPhrase(s.identity));
      break;
    case ID_NOT_READ:
      break;
    }
  } else {
    std::array<char, kTextUtf8Size> clean{};
    DeviceTextUtf8(clean, s.resFirmware, true);
    printf(", firmware %s (%s)", clean.data(),
           ResFirmwareSupported(s.resFirmware) ? "supported" : "not supported");
    if (s.rotation >= 0)
      printf(", rotation %d", s.rotation);
  }
  if (s.errorCode != nullptr)
    printf("; %s", s.errorText);
  putchar('\n');
}

Json StatusJson(const ControllerStatus &s) {
  Json j = FactsJson(s.facts);
  j["sysfs"] = s.sysfs[0] != '\0' ? Json(s.sysfs) : Json(nullptr);
  const bool named = s.facts.opened;
  j["manufacturer"] = named ? StringJson(s.facts.manufacturer) : Json(nullptr);
  j["product"] = named ? StringJson(s.facts.product) : Json(nullptr);
  j["driver_bound"] = s.driverBound;
  j["driver"] = s.driverBound ? Json(s.driver) : Json(nullptr);
  j["readable"] = s.errorCode == nullptr;
  if (s.errorCode != nullptr)
    j["error"] = {{"code", s.errorCode}, {"text", s.errorText}};
  else
    j["error"] = nullptr;
  if (s.facts.family == USBID_PCT) {
    j["generation"] =
        s.generation == 0 ? Json(nullptr) : Json(s.generation == 1 ? "legacy" : "current");
    j["firmware"] =
        s.firmwareRead
            ? Json{{"version", s.fwVersion}, {"chip_id", s.chipId}, {"revision", s.fwRev}}
            : Json(nullptr);
    j["mode"] = s.mode != 0 ? Json{{"number", s.mode}, {"name", ModeNameOf(s)}} : Json(nullptr);
    if (s.identity == ID_NOT_READ) {
      j["identity"] = nullptr;
    } else {
      Json id = {{"state", IdentityName(s.identity)}, {"valid", s.identity == ID_VALID}};
      if (s.identity == ID_VALID || s.identity == ID_OUTDATED) {
        id["home_id"] = Id(s.homeVid, s.homePid);
        id["firmware_revision"] = s.fwRevFlash;
        id["serial"] = s.serial;
      }
      j["identity"] = id;
    }
  } else {
    j["firmware"] = s.resFirmwareRead ? Json{{"version", DeviceTextJson(s.resFirmware)},
                                             {"supported", ResFirmwareSupported(s.resFirmware)}}
                                      : Json(nullptr);
    j["rotation"] = s.rotation >= 0 ? Json(s.rotation) : Json(nullptr);
  }
  return j;
}

} // namespace

const char *IdentityPhrase(int identity) {
  switch (identity) {
  case READ_ID_VALID:
    return "identity valid";
  case READ_ID_OUTDATED:
    return "identity outdated";
  case READ_ID_INVALID:
    return "identity absent or checksum wrong";
  case READ_ID_UNREADABLE:
    return "identity unreadable";
  default:
    return "identity not read";
  }
}

void ListDevices(bool json) {
  Enumerate();
  Json doc = Document("list");
  int listed = 0;
  for (struct usb_bus *bus = UsbGetBusses(); bus != nullptr; bus = bus->next) {
    for (struct usb_device *devs = bus->devices; devs != nullptr; devs = devs->next) {
      if (!DeviceSelected(bus, devs))
        continue;
      DeviceFacts f = FactsOf(bus, devs);
      if (f.family != USBID_NONE) {
        usb_dev_handle *hdlr = OpenAndName(devs, f);
        if (hdlr != nullptr)
          UsbClose(hdlr);
      }
      listed++;
      if (json)
        doc["devices"].push_back(ListJson(f));
      else
        PrintListLine(f);
    }
  }
  if (json)
    PrintJson(doc);
  if (listed == 0)
    fputs("panelcfg: no USB device found\n", stderr);
}

int ReportStatus(bool json) {
  Enumerate();
  Json doc = Document("status");
  int reported = 0;
  int unreadable = 0;
  int unvisited = 0;
  // The protocol's own results and traces are no part of the report.
  SetLogMode(LOG_TRACES_ONLY);
  for (struct usb_bus *bus = UsbGetBusses(); bus != nullptr; bus = bus->next) {
    for (struct usb_device *devs = bus->devices; devs != nullptr; devs = devs->next) {
      if (!DeviceSelected(bus, devs))
        continue;
      ControllerStatus s;
      s.facts = FactsOf(bus, devs);
      if (s.facts.family == USBID_NONE)
        continue;
      if (StopSignal() != 0) {
        unvisited++;
        continue;
      }
      ReadController(devs, s);
      reported++;
      if (s.errorCode != nullptr && s.failure)
        unreadable++;
      if (json)
        doc["devices"].push_back(StatusJson(s));
      else
        PrintStatusLine(s);
    }
  }
  SetLogMode(LOG_STDERR);
  if (StopSignal() != 0) {
    char text[160];
    snprintf(text, sizeof text, "interrupted by %s: %d supported device%s not read",
             StopSignalName(StopSignal()), unvisited, unvisited == 1 ? "" : "s");
    fprintf(stderr, "panelcfg: %s\n", text);
    // A program reading the report still gets one document.
    if (json) {
      Json failed = Document("status");
      failed.erase("devices");
      failed["error"] = {{"code", "interrupted"}, {"text", text}};
      PrintJson(failed);
    }
    return 128 + StopSignal();
  }
  if (json)
    PrintJson(doc);
  if (reported == 0)
    fputs("panelcfg: no supported controller found\n", stderr);
  return unreadable != 0 ? 1 : 0;
}

bool ReadSelectedController(ControllerReading *out, int site) {
  *out = ControllerReading{};
  out->rotation = -1;
  Enumerate();
  SetLogMode(LOG_TRACES_ONLY);
  bool found = false;
  for (struct usb_bus *bus = UsbGetBusses(); bus != nullptr && !found; bus = bus->next) {
    for (struct usb_device *devs = bus->devices; devs != nullptr && !found; devs = devs->next) {
      if (!OneDevice.active || !DeviceSelected(bus, devs))
        continue;
      found = true;
      ControllerStatus s;
      s.facts = FactsOf(bus, devs);
      s.site = site;
      out->family = s.facts.family;
      out->vid = s.facts.vid;
      out->pid = s.facts.pid;
      if (s.facts.family == USBID_NONE)
        break;
      ReadController(devs, s);
      out->readable = s.errorCode == nullptr;
      out->failure = s.errorCode != nullptr && s.failure;
      snprintf(out->errorText, sizeof out->errorText, "%s", s.errorText);
      out->generation = s.generation;
      out->chip = s.chipId;
      out->fwRev = s.fwRev;
      out->mode = s.mode;
      out->identity = s.identity;
      out->resFirmwareSupported = s.resFirmwareRead && ResFirmwareSupported(s.resFirmware);
      out->rotation = s.rotation;
    }
  }
  SetLogMode(LOG_STDERR);
  return found;
}
