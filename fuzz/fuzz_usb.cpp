#include "fuzz_usb.h"

#include <usb.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <set>

#include "base/pause.h"
#include "base/state.h"
#include "fuzz_common.h"
#include "scan/devtable.h"
#include "support/support.h"
#include "transport/entropy_sys.h"
#include "transport/hidraw_sys.h"

struct usb_bus *usb_busses = nullptr;

struct usb_dev_handle {
  int device;
  bool claimed = false;       // usb_claim_interface went through on this handle
  bool releaseCalled = false; // usb_release_interface was called since
};

using fuzz::Die;

namespace fuzzusb {
namespace {

// Far more than any legal run of up to four devices needs (the slowest legal controller, one
// whose every answer is refused, pauses for well under ten minutes); only a loop without end
// gets here.
constexpr unsigned long long kMaxWaitMs = 4ULL * 60 * 60 * 1000;
constexpr long kMaxTransfers = 400000;

enum class Family { Pct, Resistive };

struct FakeDevice {
  struct usb_device dev {};
  usb_config_descriptor config{};
  usb_interface iface{};
  usb_interface_descriptor alt{};
  int bus = 1;
  uint16_t vid = 0, pid = 0;
  Family family = Family::Pct;
  bool gone = false;
  int opens = 0, closes = 0;
  // PCT controller
  uint32_t identity = 0;
  bool legacy = false;
  uint8_t deviceMode = 0x01;
  uint8_t storedPosMode = 0x20;
  uint8_t params[64] = {};
  int lastRequest = -1;
  int lastRequestLen = 0;
  // Resistive controller
  std::string firmware;
  uint16_t rotation = 0;
  std::vector<uint8_t> answer;
};

FuzzedDataProvider *in = nullptr;
std::vector<std::unique_ptr<FakeDevice>> devices;
std::vector<std::unique_ptr<usb_bus>> busses;
std::set<usb_dev_handle *> handles;
std::vector<std::string> firmwareRead;
int opened = 0;
unsigned long long waitedMs = 0;
long transfers = 0;

uint8_t Byte() { return in != nullptr ? in->ConsumeIntegral<uint8_t>() : 0; }

// One of eight outcomes of a libusb call other than a transfer: 7 fails, the rest go through.
bool CallFails() { return (Byte() & 7) == 7; }

FakeDevice *DeviceOf(usb_dev_handle *h) {
  if (h == nullptr || handles.count(h) == 0)
    Die("call on a handle that is not open");
  return devices[static_cast<size_t>(h->device)].get();
}

int Fail(int err) {
  errno = err;
  return -err;
}

// The vendor and product IDs a device may enumerate with: PCT, resistive, both-family vendors,
// excluded product IDs, nothing supported, or two IDs straight from the input.
struct IdPair {
  uint16_t vid, pid;
  Family family;
};
constexpr IdPair kIds[] = {
    {0x2575, 0x8753, Family::Pct},       {0x22B9, 0x0040, Family::Pct},
    {0x2575, 0x9969, Family::Pct},       {0x2575, 0x9968, Family::Pct},
    {0x2149, 0x3D28, Family::Pct},       {0x1BFD, 0x8753, Family::Pct},
    {0x2619, 0x1234, Family::Pct},       {0x1234, 0x8888, Family::Resistive},
    {0x22B9, 0x1688, Family::Resistive}, {0x1DDB, 0x2988, Family::Resistive},
    {0x1BFD, 0x2088, Family::Resistive}, {0x0F0F, 0x0101, Family::Pct},
    {0x2575, 0x0001, Family::Pct},       {0x0000, 0x0000, Family::Pct},
};

uint16_t CheckSum16(const uint8_t *p, int n) {
  unsigned sum = 0x6666;
  for (int i = 0; i < n; i++)
    sum = (sum + p[i]) & 0xFFFF;
  return static_cast<uint16_t>(sum);
}

// The parameter area the controller starts with: a stored identity block that reads back
// correctly (fields from the input), or 34 bytes straight from the input.
void InitialParams(FakeDevice &d) {
  memset(d.params, 0xFF, sizeof d.params);
  if ((Byte() & 1) == 0) {
    uint8_t plain[32] = {};
    uint16_t vid = in->ConsumeIntegral<uint16_t>();
    uint16_t pid = in->ConsumeIntegral<uint16_t>();
    uint16_t rev = in->ConsumeIntegral<uint16_t>();
    uint64_t sn = in->ConsumeIntegral<uint64_t>();
    plain[0] = static_cast<uint8_t>(vid >> 8);
    plain[1] = static_cast<uint8_t>(vid);
    plain[2] = static_cast<uint8_t>(pid >> 8);
    plain[3] = static_cast<uint8_t>(pid);
    plain[4] = static_cast<uint8_t>(rev >> 8);
    plain[5] = static_cast<uint8_t>(rev);
    for (int i = 0; i < 8; i++)
      plain[12 + i] = static_cast<uint8_t>(sn >> (8 * i));
    uint8_t encoded[64] = {};
    EncodeData(plain, encoded, 0, 32);
    uint16_t sum = CheckSum16(encoded, 32);
    memcpy(d.params, encoded, 32);
    d.params[32] = static_cast<uint8_t>(sum);
    d.params[33] = static_cast<uint8_t>(sum >> 8);
  } else {
    std::vector<uint8_t> raw = in->ConsumeBytes<uint8_t>(34);
    std::copy(raw.begin(), raw.end(), d.params);
  }
}

void BuildDevice(int id) {
  auto d = std::make_unique<FakeDevice>();
  uint8_t kind = Byte();
  size_t pick = kind % (std::size(kIds) + 2);
  if (pick < std::size(kIds)) {
    d->vid = kIds[pick].vid;
    d->pid = kIds[pick].pid;
    d->family = kIds[pick].family;
  } else {
    d->vid = in->ConsumeIntegral<uint16_t>();
    d->pid = in->ConsumeIntegral<uint16_t>();
  }
  // A controller may also answer in the other family's protocol.
  if (kind & 0x80)
    d->family = d->family == Family::Pct ? Family::Resistive : Family::Pct;
  d->bus = 1 + Byte() % 3;

  usb_interface_descriptor &alt = d->alt;
  alt.bLength = USB_DT_INTERFACE_SIZE;
  alt.bDescriptorType = USB_DT_INTERFACE;
  alt.bInterfaceNumber = Byte() % 4;
  alt.bAlternateSetting = Byte() % 3;
  alt.bInterfaceClass = 3;
  alt.bInterfaceProtocol = Byte() % 4; // 2: boot mouse
  d->iface.altsetting = &d->alt;
  d->iface.num_altsetting = 1;
  usb_config_descriptor &c = d->config;
  c.bLength = USB_DT_CONFIG_SIZE;
  c.bDescriptorType = USB_DT_CONFIG;
  c.bNumInterfaces = 1;
  c.bConfigurationValue = Byte();
  c.interface = &d->iface;
  struct usb_device &u = d->dev;
  u.descriptor.bLength = USB_DT_DEVICE_SIZE;
  u.descriptor.bDescriptorType = USB_DT_DEVICE;
  u.descriptor.idVendor = d->vid;
  u.descriptor.idProduct = d->pid;
  u.descriptor.bNumConfigurations = 1;
  u.config = &d->config;
  u.devnum = static_cast<uint8_t>(2 + id);
  snprintf(u.filename, sizeof u.filename, "%03d", u.devnum);
  // Descriptor records libusb may hand over incomplete.
  switch (Byte()) {
  case 1:
    u.config = nullptr;
    u.descriptor.bNumConfigurations = 0;
    break;
  case 2:
    c.bNumInterfaces = 0;
    break;
  case 3:
    c.interface = nullptr;
    break;
  case 4:
    d->iface.num_altsetting = 0;
    break;
  case 5:
    d->iface.altsetting = nullptr;
    break;
  default:
    break;
  }

  d->identity = in->ConsumeIntegral<uint32_t>();
  d->legacy = (d->identity >> 28) == 3;
  d->storedPosMode = Byte();
  InitialParams(*d);
  d->firmware = in->ConsumeRandomLengthString(24);
  d->rotation = in->ConsumeIntegral<uint16_t>();
  devices.push_back(std::move(d));
}

void BuildBusses() {
  usb_busses = nullptr;
  usb_bus *prevBus = nullptr;
  for (int number = 1; number <= 3; number++) {
    auto bus = std::make_unique<usb_bus>();
    snprintf(bus->dirname, sizeof bus->dirname, "%03d", number);
    bus->location = static_cast<uint32_t>(number);
    struct usb_device *prev = nullptr;
    for (auto &d : devices) {
      if (d->bus != number)
        continue;
      d->dev.bus = bus.get();
      d->dev.prev = prev;
      if (prev != nullptr)
        prev->next = &d->dev;
      else
        bus->devices = &d->dev;
      prev = &d->dev;
    }
    if (bus->devices == nullptr)
      continue;
    bus->prev = prevBus;
    if (prevBus != nullptr)
      prevBus->next = bus.get();
    else
      usb_busses = bus.get();
    prevBus = bus.get();
    busses.push_back(std::move(bus));
  }
}

// ---------------------------------------------------------------------------------------------
// What a well-behaved controller answers.

void Reset(FakeDevice &d) {
  d.deviceMode = 0x01;
  d.lastRequest = -1;
  d.lastRequestLen = 0;
}

int PctSet(FakeDevice &d, int id, const uint8_t *r, int size) {
  const int offset = d.legacy ? 4 : 8;
  switch (id) {
  case 0x06:
    d.lastRequest = r[1];
    d.lastRequestLen = r[2];
    return size;
  case 0x08:
    if (r[1] == 0x91 && r[4] == 0x82)
      d.deviceMode = r[5];
    else if (r[1] == 0x91 && r[4] == 0xC9)
      d.storedPosMode = r[5];
    else if (r[1] == 0x84 && r[2] == 0x09)
      Reset(d);
    else if (r[1] == 0x84 && r[2] == 0xC9)
      d.storedPosMode = r[4];
    else if (r[1] == 0x85)
      Reset(d);
    else if (r[1] == 0xA8)
      for (int i = 0; i < r[2] && offset + i < 64; i++)
        d.params[i] = r[offset + i];
    return size;
  case 0xF3:
    return d.legacy ? Fail(EPIPE) : size;
  default:
    return Fail(EPIPE);
  }
}

int PctGet(FakeDevice &d, int id, uint8_t *r) {
  const int offset = d.legacy ? 4 : 8;
  r[0] = static_cast<uint8_t>(id);
  if (id == 0xF2) {
    for (int i = 0; i < 4; i++)
      r[1 + i] = static_cast<uint8_t>(d.identity >> (8 * i));
    return 64;
  }
  if (id != 0x07)
    return Fail(EPIPE);
  if (d.lastRequest == 0x73)
    r[4] = d.deviceMode;
  else if (d.lastRequest == 0xA2)
    r[offset + 1] = static_cast<uint8_t>(d.storedPosMode - 32);
  else if (d.lastRequest == 0xA1)
    for (int i = 0; i < d.lastRequestLen && offset + i < 64; i++)
      r[offset + i] = d.params[i];
  return 64;
}

void Answer(FakeDevice &d, const std::string &payload) {
  d.answer = {0x01, static_cast<uint8_t>(payload.size() + 2), 0x01};
  d.answer.insert(d.answer.end(), payload.begin(), payload.end());
  d.answer.push_back(0x0D);
}

int ResSet(FakeDevice &d, int id, const uint8_t *r, int size) {
  if (id != 0x01)
    return Fail(EPIPE);
  const std::string cmd{static_cast<char>(r[3]), static_cast<char>(r[4])};
  if (cmd == "OI") {
    Answer(d, d.firmware);
  } else if (cmd == "GP") {
    char text[8];
    snprintf(text, sizeof text, "%04X", d.rotation);
    Answer(d, text);
  } else if (cmd == "SP") {
    unsigned v = 0;
    if (sscanf(reinterpret_cast<const char *>(r) + 7, "%4X", &v) == 1)
      d.rotation = static_cast<uint16_t>(v);
    Answer(d, "0");
  } else if (cmd == "PL") {
    Answer(d, "0");
  } else if (cmd == "RR") {
    d.answer.clear();
  } else {
    Answer(d, "1");
  }
  return size;
}

int ResGet(FakeDevice &d, int id, uint8_t *r) {
  if (id != 0x01)
    return Fail(EPIPE);
  r[0] = 0x01;
  for (size_t i = 0; i < d.answer.size() && i < 64; i++)
    r[i] = d.answer[i];
  return 64;
}

int Transfer(FakeDevice &dev, int requesttype, int request, int value, uint8_t *data, int size);

bool readOnly = false;

// Whether a Set_Report asks a controller to change: a USB ID, position mode or parameter write,
// a reset, or a resistive rotation write, its making permanent or a reset.
bool ChangesController(int value, const uint8_t *data, int size) {
  const int id = value & 0xFF;
  if (id == 0xF3)
    return true;
  if (id == 0x08 && size >= 3)
    return data[1] == 0x84 || data[1] == 0x85 || data[1] == 0xA8 ||
           (data[1] == 0x91 && data[2] != 0x02);
  if (id == 0x01 && size >= 5) {
    const char cmd[3] = {static_cast<char>(data[3]), static_cast<char>(data[4]), '\0'};
    return strcmp(cmd, "SP") == 0 || strcmp(cmd, "PL") == 0 || strcmp(cmd, "RR") == 0;
  }
  return false;
}

// The model's answer to one transfer; data receives at most size bytes.
int ModelTransfer(FakeDevice &d, int requestType, int request, int value, uint8_t *data, int size) {
  if ((value >> 8) != 3 || size < 0 || size > 64)
    return Fail(EPIPE);
  const int id = value & 0xFF;
  uint8_t r[64] = {};
  if (requestType == 0x21 && request == 0x09) {
    memcpy(r, data, static_cast<size_t>(size));
    return d.family == Family::Pct ? PctSet(d, id, r, size) : ResSet(d, id, r, size);
  }
  if (requestType == 0xA1 && request == 0x01) {
    int n = d.family == Family::Pct ? PctGet(d, id, r) : ResGet(d, id, r);
    if (n < 0)
      return n;
    n = n < size ? n : size;
    memcpy(data, r, static_cast<size_t>(n));
    return n;
  }
  return Fail(EPIPE);
}

} // namespace

void Begin(FuzzedDataProvider &input, int ndevices) {
  End();
  in = &input;
  for (int i = 0; i < ndevices; i++)
    BuildDevice(i);
  BuildBusses();
}

void End() {
  for (const auto &d : devices)
    if (d->opens != d->closes)
      Die("device %04x:%04x opened %d times, closed %d times", d->vid, d->pid, d->opens, d->closes);
  if (!handles.empty())
    Die("%zu handles left open", handles.size());
  in = nullptr;
  usb_busses = nullptr;
  devices.clear();
  busses.clear();
  firmwareRead.clear();
  opened = 0;
  waitedMs = 0;
  transfers = 0;
  readOnly = false;
}

const std::vector<std::string> &FirmwareRead() { return firmwareRead; }

int Opened() { return opened; }

void SetReadOnly(bool on) { readOnly = on; }

} // namespace fuzzusb

using namespace fuzzusb;

void PlatformSleep(unsigned int ms) {
  waitedMs += ms;
  if (waitedMs > kMaxWaitMs)
    Die("the run has paused for %llu ms", waitedMs);
}

extern "C" {

void usb_init(void) {}
int usb_find_busses(void) { return 0; }
int usb_find_devices(void) { return 0; }
struct usb_bus *usb_get_busses(void) {
  return usb_busses;
}

usb_dev_handle *usb_open(struct usb_device *dev) {
  int id = -1;
  for (size_t i = 0; i < devices.size(); i++)
    if (&devices[i]->dev == dev)
      id = static_cast<int>(i);
  if (id < 0)
    Die("usb_open of a device that is not on the bus");
  FakeDevice &d = *devices[static_cast<size_t>(id)];
  if (!handles.empty())
    Die("%04x:%04x opened while another device is open", d.vid, d.pid);
  // Only devices of a supported family are ever opened.
  const int savedVid = DevInfo.VID, savedPid = DevInfo.PID;
  const bool supported = CheckUSBID(d.vid, d.pid) != 0;
  DevInfo.VID = savedVid;
  DevInfo.PID = savedPid;
  if (!supported)
    Die("%04x:%04x opened although no family supports it", d.vid, d.pid);
  if (d.gone) {
    errno = ENODEV;
    return nullptr;
  }
  if ((Byte() & 15) == 15) {
    errno = EACCES;
    return nullptr;
  }
  auto *h = new usb_dev_handle{id};
  handles.insert(h);
  d.opens++;
  opened++;
  return h;
}

int usb_close(usb_dev_handle *h) {
  FakeDevice *d = DeviceOf(h);
  if (h->claimed && !h->releaseCalled)
    Die("%04x:%04x closed with its interface still claimed", d->vid, d->pid);
  d->closes++;
  handles.erase(h);
  delete h;
  return 0;
}

int usb_get_string_simple(usb_dev_handle *h, int index, char *buf, size_t buflen) {
  FakeDevice *d = DeviceOf(h);
  if (d->gone)
    return Fail(ENODEV);
  if (buflen == 0)
    return Fail(EINVAL);
  const uint8_t how = Byte() & 7;
  if (how == 7)
    return Fail(EPIPE);
  std::string text;
  if (how >= 4) {
    // Any bytes but the zero that ends the text, as libusb hands them over.
    text = in->ConsumeRandomLengthString(300);
    text = text.substr(0, strnlen(text.c_str(), text.size()));
  } else if (index == 1) {
    text = d->family == Family::Pct ? "Tessel Panels" : "Orrin Devices";
  } else if (index == 2) {
    text = d->family == Family::Pct ? "TP8753 Multi-Touch" : "RT-4W Resistive Touch";
  } else if (index == 3) {
    text = "Velmarine";
  } else if (index == 0x3C) {
    text = "zUZOVoDODeRIRArI";
  } else {
    return Fail(EPIPE);
  }
  size_t n = text.size() < buflen - 1 ? text.size() : buflen - 1;
  memcpy(buf, text.data(), n);
  buf[n] = '\0';
  return static_cast<int>(n);
}

int usb_get_driver_np(usb_dev_handle *h, int interface, char *name, unsigned int namelen) {
  FakeDevice *d = DeviceOf(h);
  if (d->gone)
    return Fail(ENODEV);
  if (interface != d->alt.bInterfaceNumber || CallFails())
    return Fail(ENODATA);
  if (namelen > 0)
    snprintf(name, namelen, "usbhid");
  return 0;
}

int usb_detach_kernel_driver_np(usb_dev_handle *h, int interface) {
  FakeDevice *d = DeviceOf(h);
  if (d->gone)
    return Fail(ENODEV);
  if (interface != d->alt.bInterfaceNumber || CallFails())
    return Fail(ENODATA);
  return 0;
}

int usb_set_configuration(usb_dev_handle *h, int) {
  FakeDevice *d = DeviceOf(h);
  if (d->gone)
    return Fail(ENODEV);
  return CallFails() ? Fail(EBUSY) : 0;
}

int usb_claim_interface(usb_dev_handle *h, int interface) {
  FakeDevice *d = DeviceOf(h);
  if (d->gone)
    return Fail(ENODEV);
  if (interface != d->alt.bInterfaceNumber)
    return Fail(EINVAL);
  if (CallFails())
    return Fail(EBUSY);
  h->claimed = true;
  h->releaseCalled = false;
  return 0;
}

int usb_set_altinterface(usb_dev_handle *h, int) {
  FakeDevice *d = DeviceOf(h);
  if (d->gone)
    return Fail(ENODEV);
  if (!h->claimed)
    return Fail(EINVAL);
  return CallFails() ? Fail(EINVAL) : 0;
}

int usb_release_interface(usb_dev_handle *h, int) {
  FakeDevice *d = DeviceOf(h);
  h->releaseCalled = true;
  if (d->gone)
    return Fail(ENODEV);
  if (!h->claimed)
    return Fail(EINVAL);
  if (CallFails())
    return Fail(EIO);
  h->claimed = false;
  return 0;
}

int usb_control_msg(usb_dev_handle *h, int requesttype, int request, int value, int index,
                    char *bytes, int size, int timeout) {
  FakeDevice *d = DeviceOf(h);
  if (!h->claimed || h->releaseCalled)
    Die("%04x:%04x got a control transfer without its interface claimed", d->vid, d->pid);
  if (index != d->alt.bInterfaceNumber || timeout <= 0 || size < 0 || size > 64 ||
      (size > 0 && bytes == nullptr))
    Die("%04x:%04x: malformed control transfer (index %d, size %d, time-out %d)", d->vid, d->pid,
        index, size, timeout);
  return fuzzusb::Transfer(*d, requesttype, request, value, reinterpret_cast<uint8_t *>(bytes),
                           size);
}

char *usb_strerror(void) {
  static char text[] = "fuzzed bus error";
  return text;
}

} // extern "C"

namespace fuzzusb {
namespace {

int Transfer(FakeDevice &dev, int requesttype, int request, int value, uint8_t *data, int size) {
  FakeDevice *d = &dev;
  if (readOnly && requesttype == 0x21 && request == 0x09 && ChangesController(value, data, size))
    Die("%04x:%04x: a read-only report sent a request that changes it", d->vid, d->pid);
  if (++transfers > kMaxTransfers)
    Die("more than %ld control transfers in one run", kMaxTransfers);
  if (d->gone)
    return Fail(ENODEV);
  const bool toHost = (requesttype & USB_ENDPOINT_IN) != 0;
  int result = 0;
  switch (Byte() & 7) {
  case 0: // what a well-behaved controller does
    result = ModelTransfer(*d, requesttype, request, value, data, size);
    break;
  case 1:
    result = Fail(EPIPE);
    break;
  case 2: // nothing moved
    result = 0;
    break;
  case 3: { // part of it moved
    uint8_t local[64];
    if (toHost)
      memcpy(local, data, static_cast<size_t>(size));
    result = ModelTransfer(*d, requesttype, request, value, toHost ? local : data, size);
    if (result > 0) {
      result = Byte() % (result + 1);
      if (toHost)
        memcpy(data, local, static_cast<size_t>(result));
    }
    break;
  }
  case 4: // bytes straight from the input
    if (toHost) {
      std::vector<uint8_t> raw =
          in->ConsumeBytes<uint8_t>(in->ConsumeIntegralInRange<size_t>(0, size));
      std::copy(raw.begin(), raw.end(), data);
      result = static_cast<int>(raw.size());
    } else {
      result = size;
    }
    break;
  case 5: // unplugged from here on
    d->gone = true;
    result = Fail(ENODEV);
    break;
  case 6: // the model's answer with one byte changed
    result = ModelTransfer(*d, requesttype, request, value, data, size);
    if (toHost && result > 0) {
      size_t at = Byte() % static_cast<size_t>(result);
      data[at] = Byte();
    }
    break;
  default:
    result = Fail(ETIMEDOUT);
    break;
  }
  if (toHost && (value & 0xFF) == 0xF2 && size == 16 && result > 0) {
    char ids[16];
    snprintf(ids, sizeof ids, "%04x:%04x", d->vid, d->pid);
    firmwareRead.push_back(ids);
  }
  return result;
}

// The device behind a bus and device number, or nullptr.
FakeDevice *DeviceAt(int busnum, int devnum) {
  for (const auto &d : devices)
    if (d->bus == busnum && d->dev.devnum == devnum)
      return d.get();
  return nullptr;
}

} // namespace
} // namespace fuzzusb

// The hidraw side: a node for every device whose driver the input leaves bound, ioctls answered
// as control transfers through the driver (no claim needed, none allowed to be held).
int hidraw_sys_device_name(int busnum, int devnum, char *name, size_t size) {
  const FakeDevice *d = fuzzusb::DeviceAt(busnum, devnum);
  if (d == nullptr || CallFails())
    return Fail(ENOENT);
  snprintf(name, size, "%d-%d", busnum, devnum);
  return 0;
}

int hidraw_sys_device_numbers(const char *deviceName, int *busnum, int *devnum) {
  int bus = 0, dev = 0;
  if (sscanf(deviceName, "%d-%d", &bus, &dev) != 2 || fuzzusb::DeviceAt(bus, dev) == nullptr ||
      CallFails())
    return Fail(ENOENT);
  *busnum = bus;
  *devnum = dev;
  return 0;
}

int hidraw_sys_node_device(const char *node, char *name, size_t size) {
  int devnum = 0;
  const char *entry = strncmp(node, "/dev/", 5) == 0 ? node + 5 : node;
  if (sscanf(entry, "hidraw%d", &devnum) != 1)
    return Fail(ENOENT);
  for (const auto &d : fuzzusb::devices)
    if (d->dev.devnum == devnum && !CallFails()) {
      snprintf(name, size, "%d-%d", d->bus, devnum);
      return 0;
    }
  return Fail(ENOENT);
}

int hidraw_sys_node(const char *deviceName, int, int ifnum, char *node, size_t size) {
  int busnum = 0, devnum = 0;
  if (sscanf(deviceName, "%d-%d", &busnum, &devnum) != 2)
    Die("hidraw node asked for a device name not handed out: %s", deviceName);
  const FakeDevice *d = fuzzusb::DeviceAt(busnum, devnum);
  if (d == nullptr || ifnum != d->alt.bInterfaceNumber || CallFails())
    return Fail(ENOENT);
  snprintf(node, size, "/dev/hidraw%d", devnum);
  return 0;
}

int hidraw_sys_open(const char *node) {
  int devnum = 0;
  if (sscanf(node, "/dev/hidraw%d", &devnum) != 1)
    Die("hidraw node opened that was not handed out: %s", node);
  if (!handles.empty() && (*handles.begin())->claimed && !(*handles.begin())->releaseCalled)
    Die("hidraw node opened while an interface is claimed");
  switch (Byte() & 15) {
  case 14:
    return Fail(EACCES);
  case 15:
    return Fail(ENODEV);
  default:
    return 1000 + devnum;
  }
}

int hidraw_sys_feature(int fd, bool set, unsigned char *data, size_t length) {
  FakeDevice *d = nullptr;
  for (const auto &dev : devices)
    if (1000 + dev->dev.devnum == fd)
      d = dev.get();
  if (d == nullptr || length < 1 || length > 64)
    Die("hidraw ioctl on descriptor %d with %zu bytes", fd, length);
  const int skipped = data[0] == 0 ? 1 : 0;
  const int value = 0x0300 | data[0];
  const int result = fuzzusb::Transfer(*d, set ? 0x21 : 0xA1, set ? 0x09 : 0x01, value,
                                       data + skipped, static_cast<int>(length) - skipped);
  return result > 0 ? result + skipped : result;
}

void hidraw_sys_close(int) {}

// A recording's description of the bus; the fuzzed runs record nothing, so it is never asked.
int hidraw_sys_describe(int busnum, int devnum, int, int, char *port, size_t portSize, char *driver,
                        size_t driverSize) {
  if (driverSize > 0)
    driver[0] = '\0';
  if (fuzzusb::DeviceAt(busnum, devnum) == nullptr)
    return -ENOENT;
  snprintf(port, portSize, "%d-%d", busnum, devnum);
  return 0;
}

// The random draw: the kernel's, as in the installed utility.
void entropy_sys_draw(unsigned char *buf, int blocks) { GenerateRand(buf, blocks); }
