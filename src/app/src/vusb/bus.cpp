// The bus: devices, enumeration into libusb's lists, and the libusb 0.1 calls of the utility.
#include <usb.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <map>
#include <memory>
#include <set>

#include "internal.h"
#include "string_descriptors.h"
#include "vusb.h"

struct usb_bus *usb_busses = nullptr;

namespace vusb {
namespace {

struct Record {
  struct usb_device dev {};
  usb_config_descriptor config{};
  usb_interface iface{};
  usb_interface_descriptor alt{};
  int device = -1;
};

std::vector<std::unique_ptr<Device>> devices;
std::vector<std::unique_ptr<usb_bus>> busRecords;
std::vector<std::unique_ptr<Record>> records;
std::map<const struct usb_device *, int> deviceOfRecord;
std::set<usb_dev_handle *> handles;
std::map<int, uint8_t> nextDevnum; // per bus
std::map<int, uint8_t> devnumOf;   // per device
char lastError[512] = "No error";

void SetError(int err, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void SetError(int err, const char *fmt, ...) {
  char what[256];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(what, sizeof what, fmt, ap);
  va_end(ap);
  snprintf(lastError, sizeof lastError, "%s: %s", what, strerror(err));
  errno = err;
}

using detail::CallEntry;

// Whether a call may change what the state file holds, or the host's hold on a device: transfers
// to the device, the take-over and its end, enumerations. Only these are followed by autosave.
bool MayChange(const Entry &e) {
  if (e.kind == Kind::Transfer)
    return (e.requestType & USB_ENDPOINT_IN) == 0;
  for (const char *name :
       {"usb_find_busses", "usb_find_devices", "usb_detach_kernel_driver_np",
        "usb_set_configuration", "usb_claim_interface", "usb_release_interface", "usb_close"})
    if (e.call == name)
      return true;
  return false;
}

// Logs a call and returns its result; a negative result is an errno that SetError already set.
int Finish(Entry e, int result) {
  e.result = result;
  e.err = result < 0 ? -result : 0;
  if (MayChange(e)) {
    const int err = errno;
    detail::AfterCall(); // before the log, whose RaiseAt may end the process
    errno = err;
  }
  detail::Record(std::move(e));
  return result;
}

// A device is reachable unless it was unplugged or left the bus after a reset.
bool Present(const Device &d) { return !d.unplugged && !d.gone; }

void Rebuild() {
  usb_busses = nullptr;
  deviceOfRecord.clear();
  records.clear();
  busRecords.clear();
  std::set<int> busNumbers;
  for (const auto &d : devices)
    if (!d->unplugged)
      busNumbers.insert(d->bus);
  usb_bus *prevBus = nullptr;
  for (int number : busNumbers) {
    auto bus = std::make_unique<usb_bus>();
    snprintf(bus->dirname, sizeof bus->dirname, "%03d", number);
    bus->location = static_cast<uint32_t>(number);
    bus->prev = prevBus;
    if (prevBus != nullptr)
      prevBus->next = bus.get();
    else
      usb_busses = bus.get();
    struct usb_device *prevDev = nullptr;
    for (const auto &d : devices) {
      if (d->unplugged || d->bus != number)
        continue;
      auto rec = std::make_unique<Record>();
      rec->device = d->id;
      struct usb_device &u = rec->dev;
      u.bus = bus.get();
      u.devnum = devnumOf[d->id];
      snprintf(u.filename, sizeof u.filename, "%03d", u.devnum);
      usb_device_descriptor &dd = u.descriptor;
      dd.bLength = USB_DT_DEVICE_SIZE;
      dd.bDescriptorType = USB_DT_DEVICE;
      dd.bcdUSB = 0x0200;
      dd.bMaxPacketSize0 = 64;
      dd.idVendor = d->vid;
      dd.idProduct = d->pid;
      dd.bcdDevice = d->bcdDevice;
      dd.iManufacturer = d->strings.count(1) ? 1 : 0;
      dd.iProduct = d->strings.count(2) ? 2 : 0;
      dd.bNumConfigurations = d->faults.noConfig ? 0 : 1;
      usb_interface_descriptor &alt = rec->alt;
      alt.bLength = USB_DT_INTERFACE_SIZE;
      alt.bDescriptorType = USB_DT_INTERFACE;
      alt.bInterfaceNumber = d->interfaceNumber;
      alt.bAlternateSetting = d->alternateSetting;
      alt.bInterfaceClass = d->interfaceClass;
      alt.bInterfaceSubClass = d->interfaceSubClass;
      alt.bInterfaceProtocol = d->interfaceProtocol;
      rec->iface.altsetting = &rec->alt;
      rec->iface.num_altsetting = 1;
      usb_config_descriptor &c = rec->config;
      c.bLength = USB_DT_CONFIG_SIZE;
      c.bDescriptorType = USB_DT_CONFIG;
      c.wTotalLength = USB_DT_CONFIG_SIZE + USB_DT_INTERFACE_SIZE;
      c.bNumInterfaces = 1;
      c.bConfigurationValue = d->configurationValue;
      c.bmAttributes = 0x80;
      c.MaxPower = 50;
      c.interface = &rec->iface;
      u.config = d->faults.noConfig ? nullptr : &rec->config;
      u.prev = prevDev;
      if (prevDev != nullptr)
        prevDev->next = &u;
      else
        bus->devices = &u;
      prevDev = &u;
      deviceOfRecord[&u] = d->id;
      records.push_back(std::move(rec));
    }
    prevBus = bus.get();
    busRecords.push_back(std::move(bus));
  }
}

} // namespace

Bytes Device::Params(size_t n) const {
  Bytes out(n, 0xFF);
  for (size_t i = 0; i < n && i < params.size(); i++)
    out[i] = params[i];
  return out;
}

DeviceSpec PctCurrentSpec(uint16_t vid, uint16_t pid, uint32_t identity) {
  DeviceSpec s;
  s.model = Model::PctCurrent;
  s.vid = vid;
  s.pid = pid;
  s.identity = identity;
  detail::AddDefaultStrings(s);
  return s;
}

DeviceSpec PctLegacySpec(uint16_t vid, uint16_t pid, uint32_t identity) {
  DeviceSpec s;
  s.model = Model::PctLegacy;
  s.vid = vid;
  s.pid = pid;
  s.identity = identity;
  detail::AddDefaultStrings(s);
  return s;
}

DeviceSpec ResistiveSpec(uint16_t vid, uint16_t pid, const std::string &firmware) {
  DeviceSpec s;
  s.model = Model::Resistive;
  s.vid = vid;
  s.pid = pid;
  s.firmware = firmware;
  detail::AddDefaultStrings(s);
  return s;
}

DeviceSpec PlainSpec(uint16_t vid, uint16_t pid) {
  DeviceSpec s;
  s.model = Model::Plain;
  s.vid = vid;
  s.pid = pid;
  detail::AddDefaultStrings(s);
  return s;
}

int AddDevice(const DeviceSpec &spec) {
  auto d = std::make_unique<Device>();
  static_cast<DeviceSpec &>(*d) = spec;
  d->id = static_cast<int>(devices.size());
  if (d->name.empty())
    d->name = "dev" + std::to_string(d->id);
  if (d->bus < 1 || d->bus > 999)
    d->bus = 1;
  d->boundDriver = d->driver;
  d->configuration = d->configurationValue;
  d->liveRotation = d->rotation;
  uint8_t &next = nextDevnum[d->bus];
  if (next < 2)
    next = 2; // 1 is the root hub's
  devnumOf[d->id] = next++;
  devices.push_back(std::move(d));
  Rebuild();
  return static_cast<int>(devices.size()) - 1;
}

int AddPctCurrent(uint16_t vid, uint16_t pid, uint32_t identity) {
  return AddDevice(PctCurrentSpec(vid, pid, identity));
}
int AddPctLegacy(uint16_t vid, uint16_t pid, uint32_t identity) {
  return AddDevice(PctLegacySpec(vid, pid, identity));
}
int AddResistive(uint16_t vid, uint16_t pid, const std::string &firmware) {
  return AddDevice(ResistiveSpec(vid, pid, firmware));
}
int AddPlain(uint16_t vid, uint16_t pid) { return AddDevice(PlainSpec(vid, pid)); }

Device &Dev(int id) {
  if (id < 0 || id >= static_cast<int>(devices.size())) {
    fprintf(stderr, "vusb: no device %d\n", id);
    abort();
  }
  return *devices[static_cast<size_t>(id)];
}

int DeviceCount() { return static_cast<int>(devices.size()); }

void Reset() {
  for (usb_dev_handle *h : handles)
    delete h;
  handles.clear();
  usb_busses = nullptr;
  deviceOfRecord.clear();
  records.clear();
  busRecords.clear();
  devices.clear();
  nextDevnum.clear();
  devnumOf.clear();
  snprintf(lastError, sizeof lastError, "No error");
  detail::ResetHidraw();
  ClearLog();
  ClearRaises();
  ClearWaits();
  SetRealTime(false);
  SetAutoSave("");
  StopReplay();
  SetReplayStopsAtDivergence(true);
}

void ReEnumerate() {
  for (const auto &d : devices) {
    const bool reconnected = d->gone || d->restarted;
    // A handle of the instance before the reset still open: the driver binds at the first
    // enumeration after it is closed.
    d->restarted = reconnected && d->openHandles > 0;
    if (d->idsAfterReset) {
      d->vid = d->pendingVid;
      d->pid = d->pendingPid;
      d->pendingIds = false;
      d->idsAfterReset = false;
      uint8_t &next = nextDevnum[d->bus];
      devnumOf[d->id] = next++;
    }
    d->gone = false;
    if (reconnected && d->openHandles == 0) {
      // A controller that restarted comes back configured, with its kernel driver bound.
      d->boundDriver = d->driver;
      d->configuration = d->configurationValue;
      d->claimedInterface = -1;
      d->deviceMode = 0x01;
    }
  }
  Rebuild();
}

int OpenHandleCount() { return static_cast<int>(handles.size()); }

struct usb_device *UsbDevice(int id) {
  for (const auto &rec : records)
    if (rec->device == id)
      return &rec->dev;
  return nullptr;
}

namespace detail {
Device *DeviceOf(usb_dev_handle *h) {
  if (h == nullptr || handles.count(h) == 0)
    return nullptr;
  return &Dev(h->device);
}
} // namespace detail

} // namespace vusb

using namespace vusb;

namespace {

// Common checks of the calls on a handle: a handle from usb_open on a device that is present.
// Returns the device, or nullptr with result and errno set.
Device *Checked(usb_dev_handle *h, Entry &e, int &result) {
  Device *d = detail::DeviceOf(h);
  if (d == nullptr) {
    SetError(EBADF, "%s: invalid handle", e.call.c_str());
    result = -EBADF;
    return nullptr;
  }
  e.device = d->id;
  if (!Present(*d)) {
    SetError(ENODEV, "%s: device gone", e.call.c_str());
    result = -ENODEV;
    return nullptr;
  }
  return d;
}

// Fails with err when it is non-zero.
bool Injected(int err, const char *what, int &result) {
  if (err == 0)
    return false;
  SetError(err, "%s", what);
  result = -err;
  return true;
}

} // namespace

namespace vusb::detail {

Entry CallEntry(const char *name, int device, int arg) {
  Entry e;
  e.kind = Kind::Call;
  e.call = name;
  e.device = device;
  e.arg = arg;
  return e;
}

int DeviceTransfer(Device &d, Entry &e, uint8_t *data, int size, bool throughDriver) {
  const bool in = (e.requestType & USB_ENDPOINT_IN) != 0;
  int result = 0;
  e.device = d.id;
  d.transfers++;
  if (d.faults.unplugAtTransfer > 0 && d.transfers >= d.faults.unplugAtTransfer)
    d.unplugged = true;
  if (!Present(d)) {
    SetError(ENODEV, "error sending control message");
    return -ENODEV;
  }
  if (size < 0 || (size > 0 && data == nullptr)) {
    SetError(EINVAL, "error sending control message");
    return -EINVAL;
  }
  for (TransferFault &f : d.faults.transfers) {
    if (f.times == 0 || (f.nth != 0 && f.nth != d.transfers) ||
        (f.request >= 0 && f.request != e.request) ||
        (f.reportId >= 0 && f.reportId != (e.value & 0xFF)))
      continue;
    if (f.command >= 0 && (in || size < 2 || data[1] != f.command))
      continue;
    if (f.times > 0)
      f.times--;
    if (f.result < 0) {
      SetError(-f.result, "error sending control message");
    } else if (in && f.result > 0 && size > 0) {
      size_t n =
          std::min({f.data.size(), static_cast<size_t>(f.result), static_cast<size_t>(size)});
      if (n > 0)
        memcpy(data, f.data.data(), n);
      e.data.assign(data, data + n);
    }
    return f.result;
  }
  // usbfs lets a transfer to an interface through only when no kernel driver holds it.
  if (!throughDriver && (e.requestType & 0x1F) == USB_RECIP_INTERFACE && !d.boundDriver.empty() &&
      d.claimedInterface != (e.index & 0xFF)) {
    SetError(EBUSY, "error sending control message");
    return -EBUSY;
  }
  result = ModelTransfer(d, e.requestType, e.request, e.value, e.index, data, size);
  if (result < 0) {
    SetError(-result, "error sending control message");
    return result;
  }
  if (in && result > 0)
    e.data.assign(data, data + result);
  return result;
}

Device *DeviceAt(int busnum, int devnum) {
  for (const auto &d : devices)
    if (d->bus == busnum && devnumOf[d->id] == devnum && Present(*d))
      return d.get();
  return nullptr;
}

int FinishCall(Entry e, int result) { return Finish(std::move(e), result); }

bool IsPresent(const Device &d) { return Present(d); }

} // namespace vusb::detail

extern "C" {

void usb_init(void) {
  if (detail::ReplayActive())
    return detail::ReplayInit();
  detail::Record(CallEntry("usb_init", -1));
}

int usb_find_busses(void) {
  if (detail::ReplayActive())
    return detail::ReplayFind("usb_find_busses");
  detail::BeforeEnumeration();
  size_t before = busRecords.size();
  ReEnumerate();
  int changes = static_cast<int>(busRecords.size() > before ? busRecords.size() - before
                                                            : before - busRecords.size());
  return Finish(CallEntry("usb_find_busses", -1), changes);
}

int usb_find_devices(void) {
  if (detail::ReplayActive())
    return detail::ReplayFind("usb_find_devices");
  size_t before = records.size();
  ReEnumerate();
  int changes =
      static_cast<int>(records.size() > before ? records.size() - before : before - records.size());
  return Finish(CallEntry("usb_find_devices", -1), changes);
}

struct usb_bus *usb_get_busses(void) {
  if (detail::ReplayActive())
    return detail::ReplayGetBusses();
  Finish(CallEntry("usb_get_busses", -1), 0);
  return usb_busses;
}

usb_dev_handle *usb_open(struct usb_device *dev) {
  if (detail::ReplayActive())
    return detail::ReplayOpen(dev);
  auto it = deviceOfRecord.find(dev);
  Entry e = CallEntry("usb_open", it == deviceOfRecord.end() ? -1 : it->second);
  int result = 1;
  if (it == deviceOfRecord.end()) {
    SetError(ENODEV, "failed to open device");
    result = -ENODEV;
  } else {
    Device &d = Dev(it->second);
    if (!Present(d)) {
      SetError(ENODEV, "failed to open device %s", dev->filename);
      result = -ENODEV;
    } else if (!Injected(d.faults.openErrno, "failed to open device", result)) {
      auto *h = new usb_dev_handle{d.id};
      handles.insert(h);
      d.openHandles++;
      d.opens++;
      Finish(std::move(e), 1);
      return h;
    }
  }
  Finish(std::move(e), result);
  return nullptr;
}

int usb_close(usb_dev_handle *h) {
  if (detail::ReplayActive())
    return detail::ReplayClose(h);
  Entry e = CallEntry("usb_close", -1);
  Device *d = detail::DeviceOf(h);
  if (d == nullptr) {
    SetError(EBADF, "usb_close: invalid handle");
    return Finish(std::move(e), -EBADF);
  }
  e.device = d->id;
  if (h->claimed >= 0 && d->claimedInterface == h->claimed)
    d->claimedInterface = -1; // the kernel releases what a closed handle held
  d->openHandles--;
  handles.erase(h);
  delete h;
  return Finish(std::move(e), 0);
}

int usb_get_string_simple(usb_dev_handle *h, int index, char *buf, size_t buflen) {
  if (detail::ReplayActive())
    return detail::ReplayGetString(h, index, buf, buflen);
  Entry e = CallEntry("usb_get_string_simple", -1, index);
  int result = 0;
  Device *d = Checked(h, e, result);
  if (d == nullptr)
    return Finish(std::move(e), result);
  if (buflen == 0) {
    SetError(EINVAL, "usb_get_string_simple: no buffer");
    return Finish(std::move(e), -EINVAL);
  }
  auto it = d->strings.find(index);
  if (d->faults.stringsUnreadable || d->faults.unreadableStrings.count(index) != 0 ||
      it == d->strings.end() || index <= 0 || index > 255) {
    SetError(EPIPE, "error sending control message");
    return Finish(std::move(e), -EPIPE);
  }
  // The device sends the text as UTF-16 (at most 126 code units). libusb 0.1.12 keeps the
  // descriptor's length byte in a plain char, whose signedness is the target's: where char is
  // signed (x86) a text of more than 62 code units reads as empty, where it is unsigned (ARM,
  // s390x) it reads in full. Each code unit becomes one byte: itself below 0x100 (Latin-1), '?'
  // above.
  const Bytes desc = StringDescriptor(it->second);
  // The sign extension on signed-char targets is the point: it is what libusb does.
  // NOLINTNEXTLINE(bugprone-signed-char-misuse,cert-str34-c)
  const int length = static_cast<char>(desc[0]); // as libusb's char holds it
  size_t n = 0;
  for (int si = 2; si < length && n + 1 < buflen; si += 2)
    buf[n++] = desc[static_cast<size_t>(si) + 1] != 0 ? '?' : static_cast<char>(desc[si]);
  buf[n] = '\0';
  e.text.assign(buf, n);
  return Finish(std::move(e), static_cast<int>(n));
}

int usb_get_driver_np(usb_dev_handle *h, int interface, char *name, unsigned int namelen) {
  if (detail::ReplayActive())
    return detail::ReplayGetDriver(h, interface, name, namelen);
  Entry e = CallEntry("usb_get_driver_np", -1, interface);
  int result = 0;
  Device *d = Checked(h, e, result);
  if (d == nullptr || Injected(d->faults.driverErrno, "could not get bound driver", result))
    return Finish(std::move(e), result);
  if (interface != d->interfaceNumber || d->faults.noConfig) {
    SetError(EINVAL, "could not get bound driver");
    return Finish(std::move(e), -EINVAL);
  }
  if (d->boundDriver.empty()) {
    SetError(ENODATA, "could not get bound driver");
    return Finish(std::move(e), -ENODATA);
  }
  if (namelen > 0) {
    snprintf(name, namelen, "%s", d->boundDriver.c_str());
    e.text = name;
  }
  return Finish(std::move(e), 0);
}

int usb_detach_kernel_driver_np(usb_dev_handle *h, int interface) {
  if (detail::ReplayActive())
    return detail::ReplaySimple("usb_detach_kernel_driver_np", h, "interface", interface);
  Entry e = CallEntry("usb_detach_kernel_driver_np", -1, interface);
  int result = 0;
  Device *d = Checked(h, e, result);
  if (d == nullptr ||
      Injected(d->faults.detachErrno, "could not detach kernel driver from interface", result))
    return Finish(std::move(e), result);
  if (interface != d->interfaceNumber) {
    SetError(EINVAL, "could not detach kernel driver from interface %d", interface);
    return Finish(std::move(e), -EINVAL);
  }
  if (d->boundDriver.empty()) {
    SetError(ENODATA, "could not detach kernel driver from interface %d", interface);
    return Finish(std::move(e), -ENODATA);
  }
  e.text = d->boundDriver;
  d->boundDriver.clear();
  return Finish(std::move(e), 0);
}

int usb_set_configuration(usb_dev_handle *h, int configuration) {
  if (detail::ReplayActive())
    return detail::ReplaySimple("usb_set_configuration", h, "configuration", configuration);
  Entry e = CallEntry("usb_set_configuration", -1, configuration);
  int result = 0;
  Device *d = Checked(h, e, result);
  if (d == nullptr || Injected(d->faults.configErrno, "could not set config", result))
    return Finish(std::move(e), result);
  if (d->faults.noConfig || (configuration != 0 && configuration != d->configurationValue)) {
    SetError(EINVAL, "could not set config %d", configuration);
    return Finish(std::move(e), -EINVAL);
  }
  if (!d->boundDriver.empty()) {
    // The kernel refuses while a driver holds an interface of the current configuration.
    SetError(EBUSY, "could not set config %d", configuration);
    return Finish(std::move(e), -EBUSY);
  }
  d->configuration = configuration;
  return Finish(std::move(e), 0);
}

int usb_claim_interface(usb_dev_handle *h, int interface) {
  if (detail::ReplayActive())
    return detail::ReplaySimple("usb_claim_interface", h, "interface", interface);
  Entry e = CallEntry("usb_claim_interface", -1, interface);
  int result = 0;
  Device *d = Checked(h, e, result);
  if (d == nullptr || Injected(d->faults.claimErrno, "could not claim interface", result))
    return Finish(std::move(e), result);
  if (interface != d->interfaceNumber || d->configuration == 0) {
    SetError(EINVAL, "could not claim interface %d", interface);
    return Finish(std::move(e), -EINVAL);
  }
  if (!d->boundDriver.empty() || (d->claimedInterface >= 0 && h->claimed != interface)) {
    SetError(EBUSY, "could not claim interface %d", interface);
    return Finish(std::move(e), -EBUSY);
  }
  d->claimedInterface = interface;
  h->claimed = interface;
  return Finish(std::move(e), 0);
}

int usb_set_altinterface(usb_dev_handle *h, int alternate) {
  if (detail::ReplayActive())
    return detail::ReplaySimple("usb_set_altinterface", h, "alternate", alternate);
  Entry e = CallEntry("usb_set_altinterface", -1, alternate);
  int result = 0;
  Device *d = Checked(h, e, result);
  if (d == nullptr || Injected(d->faults.altErrno, "could not set alt intf", result))
    return Finish(std::move(e), result);
  if (h->claimed < 0 || alternate != d->alternateSetting) {
    SetError(EINVAL, "could not set alt intf %d/%d", h->claimed, alternate);
    return Finish(std::move(e), -EINVAL);
  }
  return Finish(std::move(e), 0);
}

int usb_release_interface(usb_dev_handle *h, int interface) {
  if (detail::ReplayActive())
    return detail::ReplaySimple("usb_release_interface", h, "interface", interface);
  Entry e = CallEntry("usb_release_interface", -1, interface);
  int result = 0;
  Device *d = Checked(h, e, result);
  if (d == nullptr || Injected(d->faults.releaseErrno, "could not release intf", result))
    return Finish(std::move(e), result);
  if (h->claimed != interface) {
    SetError(EINVAL, "could not release intf %d", interface);
    return Finish(std::move(e), -EINVAL);
  }
  h->claimed = -1;
  d->claimedInterface = -1;
  return Finish(std::move(e), 0);
}

int usb_control_msg(usb_dev_handle *h, int requesttype, int request, int value, int index,
                    char *bytes, int size, int timeout) {
  if (detail::ReplayActive())
    return detail::ReplayControl(h, requesttype, request, value, index, bytes, size, timeout);
  Entry e;
  e.kind = Kind::Transfer;
  e.call = "usb_control_msg";
  e.requestType = static_cast<uint8_t>(requesttype);
  e.request = static_cast<uint8_t>(request);
  e.value = static_cast<uint16_t>(value);
  e.index = static_cast<uint16_t>(index);
  e.length = static_cast<uint16_t>(size < 0 ? 0 : size);
  e.timeout = timeout;
  auto *data = reinterpret_cast<uint8_t *>(bytes);
  bool in = (requesttype & USB_ENDPOINT_IN) != 0;
  if (!in && data != nullptr && size > 0)
    e.data.assign(data, data + size);

  Device *d = detail::DeviceOf(h);
  if (d == nullptr) {
    SetError(EBADF, "error sending control message");
    return Finish(std::move(e), -EBADF);
  }
  const int result = detail::DeviceTransfer(*d, e, data, size, false);
  return Finish(std::move(e), result);
}

char *usb_strerror(void) {
  Finish(CallEntry("usb_strerror", -1), 0);
  return lastError;
}

} // extern "C"
