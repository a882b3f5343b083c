// vmbed-device: one controller of a virtual-bus scenario, served to the real Linux USB stack
// through gadgetfs, or through FunctionFS in a configfs gadget (on dummy_hcd in the bed's VM).
//
//   vmbed-device [--udc UDC] SCENARIO.json LOG [DEVICE-NAME]
//
// gadgetfs serves one device controller only (the first UDC, for the whole system). With --udc
// the program builds a configfs gadget of its own on that UDC (dummy_hcd loaded with num=2 has
// dummy_udc.0 and dummy_udc.1), its one function a FunctionFS instance, so that several
// controllers are on the bus at once, one program each. The kernel's composite driver then
// answers the device's standard requests (descriptors, strings, configuration) from what the
// program wrote into configfs and FunctionFS; the HID requests still reach the model here.
//
// The program answers the standard requests itself (descriptors built from the model's device
// record, configuration, interface) and hands every other request to the controller model of the
// virtual bus (vusb::detail::ModelTransfer), so the controller seen by the kernel is the one
// the simulator and the tests use. When the model carries out a reset, the program closes the
// UDC file (the controller drops off the bus), lets the virtual bus apply what a reset applies
// (new USB IDs after a USB-ID write) and opens the UDC file again: the controller enumerates
// again, under its new IDs.
//
// Every request is logged, one line each, after its data stage: "std ..." for standard
// requests, "hid " and the virtual bus's own text of a transfer for the others ("hid set 08 84
// 09 /64"), so the log compares line by line with panelcfg-sim --trace. With --udc dummy_udc.N
// each line starts with "udcN ". Lines starting with
// "RACE" mark a request that gadgetfs may have lost or mixed up (see README.md); a run with one
// is inconclusive.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "internal.h"
#include "string_descriptors.h"
#include "vusb.h"

namespace {

// gadgetfs's event records (linux/usb/gadgetfs.h, whose ch9.h clashes with libusb's usb.h).
struct SetupPacket {
  uint8_t bRequestType;
  uint8_t bRequest;
  uint16_t wValue;
  uint16_t wIndex;
  uint16_t wLength;
} __attribute__((packed));
struct GadgetEvent {
  SetupPacket setup;
  uint32_t type;
};
static_assert(sizeof(GadgetEvent) == 12);
constexpr uint32_t kEventConnect = 1, kEventDisconnect = 2, kEventSetup = 3;
// FunctionFS's events (linux/usb/functionfs.h): the same 12 bytes, the type in the first of the
// last four (the other three are zero), so the same record reads both.
constexpr uint32_t kFfsSetup = 4; // after bind, unbind, enable, disable; before suspend, resume
constexpr uint32_t kFfsDescriptorsV2 = 3, kFfsStrings = 2;
constexpr uint32_t kFfsHasFs = 1, kFfsHasHs = 2;
constexpr int kGadgetStrings = 3; // configfs's manufacturer, product and serial number: ids 1-3
constexpr uint8_t kDirIn = 0x80;
constexpr uint8_t kTypeMask = 0x60;
constexpr uint8_t kXferInterrupt = 3;
constexpr uint8_t kGetReport = 0x01, kSetReport = 0x09;

constexpr const char *kUdc = "/dev/gadget/dummy_udc";
constexpr const char *kEpFile = "/dev/gadget/ep5in-int"; // dummy_udc's interrupt IN endpoint
constexpr uint8_t kEpAddress = 0x85;
constexpr int kReconnectPauseMs = 300; // the controller's restart, as the host sees it

volatile sig_atomic_t stopRequested = 0;
void OnStop(int /*sig*/) { stopRequested = 1; }

FILE *logFile = nullptr;
std::string logPrefix; // "udcN " with --udc: several programs may share one log

void Log(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void Log(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  fputs(logPrefix.c_str(), logFile);
  vfprintf(logFile, fmt, ap);
  va_end(ap);
  fputc('\n', logFile);
  fflush(logFile);
}

using vusb::Bytes;

// Appends byte by byte (GCC 12 warns falsely about range inserts into a growing vector).
template <typename Range> void Append(Bytes &b, const Range &r) {
  for (uint8_t x : r)
    b.push_back(x); // cppcheck-suppress useStlAlgorithm
}

void Put16(Bytes &b, unsigned v) {
  b.push_back(static_cast<uint8_t>(v & 0xFF));
  b.push_back(static_cast<uint8_t>(v >> 8));
}

// The report descriptor: a vendor collection with the feature reports the models use (64 bytes
// with the report ID) and one small input report, which usbhid's interrupt endpoint needs.
Bytes ReportDescriptor() {
  Bytes r = {0x06, 0x00, 0xFF, // Usage Page (vendor 0xFF00)
             0x09, 0x01,       // Usage (1)
             0xA1, 0x01,       // Collection (Application)
             0x15, 0x00,       // Logical Minimum (0)
             0x26, 0xFF, 0x00, // Logical Maximum (255)
             0x75, 0x08};      // Report Size (8)
  for (uint8_t id : {0x01, 0x06, 0x07, 0x08, 0xF2, 0xF3}) {
    const std::array<uint8_t, 8> feature = {0x85, id,    // Report ID
                                            0x09, id,    // Usage
                                            0x95, 63,    // Report Count (63)
                                            0xB1, 0x02}; // Feature (Data, Variable, Absolute)
    Append(r, feature);
  }
  const std::array<uint8_t, 9> input = {0x85, 0x7E, 0x09, 0x7E, 0x95, 0x07, 0x81, 0x02, 0xC0};
  Append(r, input); // input report 0x7E, end of the collection
  return r;
}

Bytes HidDescriptor() {
  Bytes h = {9, 0x21, 0x11, 0x01, 0x00, 0x01, 0x22};
  Put16(h, static_cast<unsigned>(ReportDescriptor().size()));
  return h;
}

Bytes EndpointDescriptor(bool highSpeed) {
  Bytes e = {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, kEpAddress, kXferInterrupt};
  Put16(e, 8);
  e.push_back(highSpeed ? 7 : 10); // 8 ms (2^(7-1) microframes) or 10 frames
  return e;
}

Bytes ConfigDescriptor(const vusb::Device &d, bool highSpeed) {
  Bytes iface = {USB_DT_INTERFACE_SIZE,
                 USB_DT_INTERFACE,
                 d.interfaceNumber,
                 d.alternateSetting,
                 1,
                 d.interfaceClass,
                 d.interfaceSubClass,
                 d.interfaceProtocol,
                 0};
  Bytes hid = HidDescriptor();
  Bytes ep = EndpointDescriptor(highSpeed);
  Bytes c = {USB_DT_CONFIG_SIZE, USB_DT_CONFIG};
  Put16(c, static_cast<unsigned>(USB_DT_CONFIG_SIZE + iface.size() + hid.size() + ep.size()));
  const std::array<uint8_t, 5> rest = {1, d.configurationValue, 0, 0x80, 50};
  Append(c, rest);
  Append(c, iface);
  Append(c, hid);
  Append(c, ep);
  return c;
}

Bytes DeviceDescriptor(const vusb::Device &d) {
  Bytes b = {USB_DT_DEVICE_SIZE, USB_DT_DEVICE};
  Put16(b, 0x0200);
  const std::array<uint8_t, 4> cls = {0, 0, 0, 64};
  Append(b, cls);
  Put16(b, d.vid);
  Put16(b, d.pid);
  Put16(b, d.bcdDevice);
  b.push_back(d.strings.count(1) != 0 ? 1 : 0);
  b.push_back(d.strings.count(2) != 0 ? 2 : 0);
  b.push_back(0);
  b.push_back(1);
  return b;
}

struct Gadget {
  vusb::Device *dev = nullptr;
  std::string udc; // FunctionFS in a configfs gadget on this UDC; empty: gadgetfs
  std::string gadgetDir, ffsDir;
  int ep0 = -1;
  int ep = -1;
  int seenResets = 0;
  bool reconnect = false;
  bool unplugged = false; // left the bus for good (the scenario's unplugAtTransfer)
};

bool WriteFile(const std::string &path, const std::string &text, bool quiet = false) {
  int fd = open(path.c_str(), O_WRONLY);
  bool ok = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  if (!ok && !quiet)
    Log("error write %s: %s", path.c_str(), strerror(errno));
  if (fd >= 0)
    close(fd);
  return ok;
}

void Put32(Bytes &b, uint32_t v) {
  for (int i = 0; i < 4; i++)
    b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// The model's strings above the three of configfs's gadget: FunctionFS's string i gets the id
// kGadgetStrings + i, so the model's string n is FunctionFS's n - kGadgetStrings. The interface
// names the last one, for FunctionFS keeps (and numbers) only as many as its descriptors name.
int FfsStringCount(const vusb::Device &d) {
  int last = 0;
  for (const auto &[index, text] : d.strings)
    last = std::max(last, index - kGadgetStrings);
  return last;
}

// FunctionFS's descriptors: the interface, its HID descriptor and the endpoint, at full and at
// high speed.
Bytes FfsDescriptors(const vusb::Device &d) {
  Bytes descs;
  for (bool highSpeed : {false, true}) {
    Bytes iface = {USB_DT_INTERFACE_SIZE,
                   USB_DT_INTERFACE,
                   0,
                   d.alternateSetting,
                   1,
                   d.interfaceClass,
                   d.interfaceSubClass,
                   d.interfaceProtocol,
                   static_cast<uint8_t>(FfsStringCount(d))};
    Append(descs, iface);
    Append(descs, HidDescriptor());
    Bytes ep = EndpointDescriptor(highSpeed);
    ep[2] = 0x81; // FunctionFS's endpoint 1, IN (the UDC's own number replaces it)
    Append(descs, ep);
  }
  Bytes out;
  Put32(out, kFfsDescriptorsV2);
  Put32(out, static_cast<uint32_t>(20 + descs.size()));
  Put32(out, kFfsHasFs | kFfsHasHs);
  Put32(out, 3); // descriptors at full speed
  Put32(out, 3); // and at high speed
  Append(out, descs);
  return out;
}

Bytes FfsStrings(const vusb::Device &d) {
  const int n = FfsStringCount(d);
  Bytes texts = {0x09, 0x04}; // en-US
  for (int i = 1; i <= n; i++) {
    auto it = d.strings.find(i + kGadgetStrings);
    if (it != d.strings.end())
      Append(texts, it->second);
    texts.push_back(0);
  }
  Bytes out;
  Put32(out, kFfsStrings);
  Put32(out, static_cast<uint32_t>(16 + (n > 0 ? texts.size() : 0)));
  Put32(out, static_cast<uint32_t>(n));
  Put32(out, n > 0 ? 1 : 0);
  if (n > 0)
    Append(out, texts);
  return out;
}

std::string Hex4(unsigned v) {
  char text[8];
  snprintf(text, sizeof text, "0x%04x", v);
  return text;
}

// A string of the model as configfs takes it (a write of nothing fails: a lone newline is "").
std::string ModelString(const vusb::Device &d, int index) {
  auto it = d.strings.find(index);
  return it == d.strings.end() ? std::string("\n") : it->second;
}

// The configfs gadget with its FunctionFS function, mounted, its descriptors and strings
// written: ready to be bound to the UDC.
bool FfsSetUp(Gadget &g) {
  std::string name = "vmbed" + g.udc.substr(g.udc.find_last_of('.') + 1);
  g.gadgetDir = "/sys/kernel/config/usb_gadget/" + name;
  g.ffsDir = "/dev/ffs-" + name;
  const std::string &gd = g.gadgetDir;
  for (const std::string &dir :
       {gd, gd + "/strings/0x409", gd + "/functions/ffs." + name, gd + "/configs/c.1", g.ffsDir})
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
      Log("error mkdir %s: %s", dir.c_str(), strerror(errno));
      return false;
    }
  const vusb::Device &d = *g.dev;
  if (!WriteFile(gd + "/bcdDevice", Hex4(d.bcdDevice)) ||
      !WriteFile(gd + "/strings/0x409/manufacturer", ModelString(d, 1)) ||
      !WriteFile(gd + "/strings/0x409/product", ModelString(d, 2)) ||
      !WriteFile(gd + "/strings/0x409/serialnumber", ModelString(d, 3)) ||
      !WriteFile(gd + "/configs/c.1/MaxPower", "100"))
    return false;
  const std::string link = gd + "/configs/c.1/ffs." + name;
  if (symlink((gd + "/functions/ffs." + name).c_str(), link.c_str()) != 0 && errno != EEXIST) {
    Log("error symlink %s: %s", link.c_str(), strerror(errno));
    return false;
  }
  if (mount(name.c_str(), g.ffsDir.c_str(), "functionfs", 0, nullptr) != 0) {
    Log("error mount functionfs %s: %s", g.ffsDir.c_str(), strerror(errno));
    return false;
  }
  g.ep0 = open((g.ffsDir + "/ep0").c_str(), O_RDWR);
  if (g.ep0 < 0) {
    Log("error open %s/ep0: %s", g.ffsDir.c_str(), strerror(errno));
    return false;
  }
  for (const Bytes &b : {FfsDescriptors(d), FfsStrings(d)})
    if (write(g.ep0, b.data(), b.size()) != static_cast<ssize_t>(b.size())) {
      Log("error FunctionFS descriptors: %s", strerror(errno));
      return false;
    }
  return true;
}

// The controller on the bus: the gadget bound to its UDC under the model's IDs.
bool FfsConnect(Gadget &g) {
  if (!WriteFile(g.gadgetDir + "/idVendor", Hex4(g.dev->vid)) ||
      !WriteFile(g.gadgetDir + "/idProduct", Hex4(g.dev->pid)) ||
      !WriteFile(g.gadgetDir + "/UDC", g.udc))
    return false;
  Log("connect %04x:%04x", g.dev->vid, g.dev->pid);
  return true;
}

void FfsTearDown(Gadget &g) {
  WriteFile(g.gadgetDir + "/UDC", "\n", true);
  if (g.ep0 >= 0)
    close(g.ep0);
  g.ep0 = -1;
  umount(g.ffsDir.c_str());
  const std::string name = g.ffsDir.substr(g.ffsDir.find('-') + 1);
  unlink((g.gadgetDir + "/configs/c.1/ffs." + name).c_str());
  for (const std::string &dir :
       {g.gadgetDir + "/configs/c.1", g.gadgetDir + "/functions/ffs." + name,
        g.gadgetDir + "/strings/0x409", g.gadgetDir, g.ffsDir})
    rmdir(dir.c_str());
}

bool Open(Gadget &g) {
  if (!g.udc.empty())
    return FfsConnect(g);
  g.ep0 = open(kUdc, O_RDWR);
  if (g.ep0 < 0) {
    Log("error open %s: %s", kUdc, strerror(errno));
    return false;
  }
  Bytes out = {0, 0, 0, 0}; // tag 0: device configuration
  Bytes fs = ConfigDescriptor(*g.dev, false);
  Bytes hs = ConfigDescriptor(*g.dev, true);
  Bytes dd = DeviceDescriptor(*g.dev);
  Append(out, fs);
  Append(out, hs);
  Append(out, dd);
  if (write(g.ep0, out.data(), out.size()) != static_cast<ssize_t>(out.size())) {
    Log("error configure %s: %s", kUdc, strerror(errno));
    close(g.ep0);
    g.ep0 = -1;
    return false;
  }
  Log("connect %04x:%04x", g.dev->vid, g.dev->pid);
  return true;
}

void CloseEndpoint(Gadget &g) {
  if (g.ep >= 0)
    close(g.ep);
  g.ep = -1;
}

void ConfigureEndpoint(Gadget &g) {
  if (g.ep >= 0)
    return;
  g.ep = open(kEpFile, O_RDWR);
  if (g.ep < 0) {
    Log("error open %s: %s", kEpFile, strerror(errno));
    return;
  }
  Bytes out = {1, 0, 0, 0}; // tag 1: endpoint configuration
  Bytes fs = EndpointDescriptor(false);
  Bytes hs = EndpointDescriptor(true);
  Append(out, fs);
  Append(out, hs);
  if (write(g.ep, out.data(), out.size()) != static_cast<ssize_t>(out.size())) {
    Log("error configure %s: %s", kEpFile, strerror(errno));
    CloseEndpoint(g);
  }
}

// Stalls ep0: an i/o call in the direction opposite to the request's data stage.
void Stall(int fd, bool in) {
  uint8_t dummy = 0;
  ssize_t r = in ? read(fd, &dummy, 0) : write(fd, &dummy, 0);
  if (r >= 0)
    Log("error stall did not take");
}

// Status stage of a request without data.
void Ack(int fd) {
  uint8_t dummy = 0;
  if (read(fd, &dummy, 0) < 0)
    Log("error ack: %s", strerror(errno));
}

// Sends an IN data stage; a failed write means gadgetfs dropped the request in the meantime.
void Reply(const Gadget &g, const uint8_t *data, size_t n, const SetupPacket &s) {
  if (write(g.ep0, data, n) != static_cast<ssize_t>(n))
    Log("RACE reply to %02x %02x %04x failed: %s", s.bRequestType, s.bRequest, s.wValue,
        strerror(errno));
}

void Standard(Gadget &g, const SetupPacket &s) {
  const bool in = (s.bRequestType & kDirIn) != 0;
  const unsigned value = s.wValue;
  Bytes answer;
  bool stall = false;
  bool ack = false;
  if (s.bRequest == USB_REQ_GET_DESCRIPTOR && in) {
    const unsigned type = value >> 8;
    const int index = static_cast<int>(value & 0xFF);
    if (type == USB_DT_STRING) {
      const auto &f = g.dev->faults;
      auto it = g.dev->strings.find(index);
      if (index == 0)
        answer = vusb::LanguageTable();
      else if (it != g.dev->strings.end() && !f.stringsUnreadable &&
               f.unreadableStrings.count(index) == 0)
        answer = vusb::StringDescriptor(it->second);
      else
        stall = true;
    } else if (type == 0x22 && s.bRequestType == 0x81) {
      answer = ReportDescriptor();
    } else if (type == 0x21 && s.bRequestType == 0x81) {
      answer = HidDescriptor();
    } else {
      stall = true;
    }
  } else if (s.bRequest == USB_REQ_SET_CONFIGURATION && !in) {
    if (value != 0)
      ConfigureEndpoint(g);
    else
      CloseEndpoint(g);
    ack = true;
  } else if ((s.bRequest == USB_REQ_SET_INTERFACE || s.bRequest == USB_REQ_CLEAR_FEATURE ||
              s.bRequest == USB_REQ_SET_FEATURE) &&
             !in && s.wLength == 0) {
    ack = true;
  } else if (s.bRequest == USB_REQ_GET_STATUS && in) {
    answer = {0, 0};
  } else if (s.bRequest == USB_REQ_GET_INTERFACE && in) {
    answer = {g.dev->alternateSetting};
  } else {
    stall = true;
  }
  size_t n = answer.size() < s.wLength ? answer.size() : s.wLength;
  if (stall) {
    Stall(g.ep0, in);
  } else if (ack) {
    Ack(g.ep0);
  } else {
    Reply(g, answer.data(), n, s);
  }
  Log("std %02x %02x %04x %04x %u = %d", s.bRequestType, s.bRequest, s.wValue, s.wIndex, s.wLength,
      stall ? -EPIPE : static_cast<int>(n));
}

// A request for the model. nextQueued: a second SETUP came in the same batch of events, so the
// host went on before this request's data was read; the request is logged, and so is the race.
void Model(Gadget &g, const SetupPacket &s, bool nextQueued) {
  const bool in = (s.bRequestType & kDirIn) != 0;
  std::array<uint8_t, 4096> data{};
  const int size = std::min(static_cast<int>(s.wLength), static_cast<int>(data.size()));
  vusb::Entry e;
  e.kind = vusb::Kind::Transfer;
  e.call = "usb_control_msg";
  e.requestType = s.bRequestType;
  e.request = s.bRequest;
  e.value = s.wValue;
  e.index = s.wIndex;
  e.length = s.wLength;
  bool race = false;
  if (!in && size > 0) {
    // The data first, before anything else: gadgetfs has finished this transfer for the host
    // already, and the next SETUP may arrive at any moment.
    ssize_t got = read(g.ep0, data.data(), static_cast<size_t>(size));
    if (got != size) {
      Log("RACE data of %02x %02x %04x: %zd bytes of %d (%s)", s.bRequestType, s.bRequest, s.wValue,
          got, size, got < 0 ? strerror(errno) : "short");
      return;
    }
    e.data.assign(data.begin(), data.begin() + size);
    race = nextQueued;
  }
  // The unplug fault counts the feature reports (what panelcfg sends; not usbhid's SET_IDLE) as
  // the virtual bus's transfer path does, which the model call below leaves out. The request
  // that finds the controller gone gets no answer: it leaves the bus in the middle of it.
  if (s.bRequest == kSetReport || s.bRequest == kGetReport) {
    vusb::Device &d = *g.dev;
    d.transfers++;
    if (d.faults.unplugAtTransfer > 0 && d.transfers >= d.faults.unplugAtTransfer) {
      d.unplugged = true;
      g.unplugged = true;
      Log("unplug: %s", vusb::Describe(e).c_str());
      return;
    }
  }
  const int result = vusb::detail::ModelTransfer(*g.dev, s.bRequestType, s.bRequest, s.wValue,
                                                 s.wIndex, data.data(), size);
  e.result = result;
  if (in) {
    if (result < 0) {
      Stall(g.ep0, true);
    } else {
      Reply(g, data.data(), static_cast<size_t>(result), s);
      e.data.assign(data.begin(), data.begin() + result);
    }
  } else if (size == 0) {
    if (result < 0)
      Stall(g.ep0, false);
    else
      Ack(g.ep0);
  }
  // An OUT data stage is acknowledged by gadgetfs itself; a model's refusal stays in the log.
  Log("hid %s", vusb::Describe(e).c_str());
  if (race)
    Log("RACE next SETUP queued before the data of %02x %02x %04x was read", s.bRequestType,
        s.bRequest, s.wValue);
  if (g.dev->resets != g.seenResets) {
    g.seenResets = g.dev->resets;
    g.reconnect = true;
  }
}

// The controller state as the virtual bus keeps it, on one line.
void LogState() {
  std::string text = vusb::SaveStateText();
  std::string line;
  bool indent = false;
  for (char c : text) {
    indent = c == '\n' || (indent && c == ' ');
    if (!indent)
      line += c;
  }
  Log("state %s", line.c_str());
}

void Reconnect(Gadget &g) {
  if (g.udc.empty()) {
    CloseEndpoint(g);
    close(g.ep0);
    g.ep0 = -1;
  } else {
    WriteFile(g.gadgetDir + "/UDC", "\n"); // unbound: off the bus
  }
  Log("reset: disconnect");
  std::this_thread::sleep_for(std::chrono::milliseconds(kReconnectPauseMs));
  vusb::ReEnumerate(); // the controller comes back, under the IDs a USB-ID write gave it
  LogState();
  g.reconnect = false;
  Open(g);
}

std::string ReadAll(const char *path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

} // namespace

int main(int argc, char **argv) {
  Gadget g;
  if (argc > 2 && strcmp(argv[1], "--udc") == 0) {
    g.udc = argv[2];
    logPrefix = "udc" + g.udc.substr(g.udc.find_last_of('.') + 1) + " ";
    argc -= 2;
    argv += 2;
  }
  if (argc < 3) {
    fprintf(stderr, "usage: vmbed-device [--udc UDC] SCENARIO.json LOG [DEVICE-NAME]\n");
    return 2;
  }
  logFile = fopen(argv[2], "a");
  if (logFile == nullptr) {
    perror(argv[2]);
    return 2;
  }
  try {
    vusb::LoadScenarioText(ReadAll(argv[1]));
  } catch (const std::exception &ex) {
    Log("error scenario: %s", ex.what());
    return 2;
  }
  for (int i = 0; i < vusb::DeviceCount(); i++)
    if (argc < 4 || vusb::Dev(i).name == argv[3])
      g.dev = &vusb::Dev(i);
  if (g.dev == nullptr) {
    Log("error scenario: no such device");
    return 2;
  }
  // The host's next SETUP must not overtake the read of a SET_REPORT's data (see README.md).
  sched_param prio{};
  prio.sched_priority = 50;
  if (sched_setscheduler(0, SCHED_FIFO, &prio) != 0)
    Log("warning SCHED_FIFO: %s", strerror(errno));
  struct sigaction sa {};
  sa.sa_handler = OnStop;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  if (!g.udc.empty() && !FfsSetUp(g)) {
    FfsTearDown(g);
    return 1;
  }
  if (!Open(g))
    return 1;
  const bool ffs = !g.udc.empty();

  std::array<GadgetEvent, 8> events{};
  while (stopRequested == 0) {
    ssize_t got = read(g.ep0, events.data(), sizeof events);
    if (got < 0) {
      if (errno == EINTR)
        continue;
      if (errno == EIDRM) {
        Log("RACE event read: %s", strerror(errno));
        continue;
      }
      Log("error event read: %s", strerror(errno));
      break;
    }
    const size_t n = static_cast<size_t>(got) / sizeof(GadgetEvent);
    for (size_t i = 0; i < n && !g.reconnect && !g.unplugged; i++) {
      const GadgetEvent &ev = events[i];
      const uint32_t type = ev.type & 0xFF;
      if (ffs && type != kFfsSetup) {
        // Bound to the UDC or not, configured or not; suspend and resume are left out, as
        // gadgetfs's are.
        static const std::array<const char *, 4> names = {"bind", "unbind", "enable", "disable"};
        if (type < names.size())
          Log("event %s", names[type]);
        continue;
      }
      switch (ffs ? kEventSetup : type) {
      case kEventSetup: {
        const SetupPacket &s = ev.setup;
        bool nextQueued = false;
        for (size_t j = i + 1; j < n; j++)
          nextQueued = nextQueued || events[j].type == kEventSetup;
        if ((s.bRequestType & kTypeMask) == USB_TYPE_STANDARD)
          Standard(g, s);
        else
          Model(g, s, nextQueued);
        break;
      }
      case kEventConnect:
        Log("event connect");
        break;
      case kEventDisconnect:
        Log("event disconnect");
        CloseEndpoint(g);
        break;
      default:
        break;
      }
    }
    if (g.reconnect)
      Reconnect(g);
    if (g.unplugged)
      break;
  }
  if (g.unplugged) {
    // Off the bus until the bed stops the program.
    CloseEndpoint(g);
    if (ffs) {
      WriteFile(g.gadgetDir + "/UDC", "\n");
    } else {
      close(g.ep0);
      g.ep0 = -1;
    }
    while (stopRequested == 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  LogState();
  Log("stop");
  CloseEndpoint(g);
  if (ffs)
    FfsTearDown(g);
  else if (g.ep0 >= 0)
    close(g.ep0);
  return 0;
}
