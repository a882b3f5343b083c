// A recording (panelcfg --record) as the bus: every libusb call, hidraw kernel call, pause and
// random draw of the run is compared with the next recorded call and answered with its recorded
// answer. The first call that differs ends the replay.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "internal.h"

namespace vusb {
namespace {

using nlohmann::json;

// A device of an enumeration, as the libusb records the run read.
struct Listed {
  std::string port; // as sysfs names it, "" when not listed
  std::string driver;
  struct usb_device dev {};
  usb_config_descriptor config{};
  usb_interface iface{};
  usb_interface_descriptor alt{};
};

struct Call {
  json request; // the entry without its answer: what the run must ask
  long ret = 0;
  int err = 0;
  bool opened = false;
  bool hasBytes = false;
  Bytes received;
  std::string text; // a name or node handed back
  int busnum = 0;
  int devnum = 0;
  json devices; // usb_get_busses
};

bool active = false;
bool stopAtDivergence = true;
std::vector<Call> calls;
size_t next = 0;
std::string divergence;
json meta;
std::vector<std::unique_ptr<usb_bus>> busRecords;
std::vector<std::unique_ptr<Listed>> listed;
std::vector<std::unique_ptr<usb_dev_handle>> handles;
std::vector<std::string> handleNames; // by usb_dev_handle::device

// The longest byte string an answer may carry, in hexadecimal digits.
constexpr size_t kMaxHexDigits = 8192;

// A bus directory name ("001") as a number; 0 when it is not one.
int BusNumber(const char *name) {
  char *end = nullptr;
  const long value = strtol(name, &end, 10);
  return end != name && *end == '\0' && value > 0 && value < 1000 ? static_cast<int>(value) : 0;
}

[[noreturn]] void Bad(size_t index, const std::string &what) {
  throw std::runtime_error("call " + std::to_string(index) + ": " + what);
}

long Integer(const json &o, const char *key, size_t index, long lo, long hi) {
  if (!o.is_object() || !o.contains(key) || !o[key].is_number_integer())
    Bad(index, std::string("\"") + key + "\" is not a whole number");
  const long v = o[key].get<long>();
  if (v < lo || v > hi)
    Bad(index, std::string("\"") + key + "\" is out of range");
  return v;
}

std::string Text(const json &o, const char *key, size_t index) {
  if (!o.is_object() || !o.contains(key) || !o[key].is_string())
    Bad(index, std::string("\"") + key + "\" is not a text");
  return o[key].get<std::string>();
}

Bytes HexOf(const json &o, const char *key, size_t index) {
  const std::string s = Text(o, key, index);
  if (s.size() % 2 != 0 || s.size() > kMaxHexDigits)
    Bad(index, std::string("\"") + key + "\" is not hexadecimal bytes");
  Bytes out;
  for (size_t i = 0; i < s.size(); i += 2) {
    int b = 0;
    for (size_t k = i; k < i + 2; k++) {
      const char c = s[k];
      const int v = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
      if (v < 0)
        Bad(index, std::string("\"") + key + "\" is not hexadecimal bytes");
      b = b * 16 + v;
    }
    out.push_back(static_cast<uint8_t>(b));
  }
  return out;
}

void CheckDevice(const json &d, size_t index) {
  if (!d.is_object())
    Bad(index, "a device is not an object");
  Text(d, "bus", index);
  Text(d, "device", index);
  Integer(d, "devnum", index, 0, 255);
  const json &desc = d.contains("descriptor") ? d["descriptor"] : json();
  for (const char *k : {"bcdUSB", "idVendor", "idProduct", "bcdDevice"})
    Integer(desc, k, index, 0, 0xFFFF);
  for (const char *k : {"bDeviceClass", "bDeviceSubClass", "bDeviceProtocol", "bMaxPacketSize0",
                        "iManufacturer", "iProduct", "iSerialNumber", "bNumConfigurations"})
    Integer(desc, k, index, 0, 255);
  if (!d.contains("config") || d["config"].is_null())
    return;
  const json &c = d["config"];
  for (const char *k : {"bConfigurationValue", "bNumInterfaces", "bmAttributes", "MaxPower"})
    Integer(c, k, index, 0, 255);
  if (!c.contains("interface") || c["interface"].is_null())
    return;
  for (const char *k : {"bInterfaceNumber", "bAlternateSetting", "bNumEndpoints", "bInterfaceClass",
                        "bInterfaceSubClass", "bInterfaceProtocol"})
    Integer(c["interface"], k, index, 0, 255);
}

// What each call answers, checked once so that answering never meets a bad value.
Call Parse(const json &e, size_t index) {
  if (!e.is_object())
    Bad(index, "not an object");
  Call c;
  const std::string name = Text(e, "call", index);
  c.request = e;
  c.request.erase("answer");
  if (name == "pause" || name == "usb_init" || name == "hidraw_sys_close")
    return c;
  if (!e.contains("answer") || !e["answer"].is_object())
    Bad(index, "no answer");
  const json &a = e["answer"];
  if (name == "usb_get_busses") {
    if (!a.contains("devices") || !a["devices"].is_array())
      Bad(index, "\"devices\" is not a list");
    for (const json &d : a["devices"])
      CheckDevice(d, index);
    c.devices = a["devices"];
    return c;
  }
  if (name == "usb_open") {
    if (!a.contains("opened") || !a["opened"].is_boolean())
      Bad(index, "\"opened\" is not true or false");
    c.opened = a["opened"].get<bool>();
    if (!c.opened)
      c.err = static_cast<int>(Integer(a, "errno", index, 0, 4095));
    return c;
  }
  if (name == "random") {
    c.received = HexOf(a, "received", index);
    return c;
  }
  c.ret = Integer(a, "return", index, -0x7FFFFFFF, 0x7FFFFFFF);
  if (a.contains("errno"))
    c.err = static_cast<int>(Integer(a, "errno", index, 0, 4095));
  if (a.contains("received")) {
    c.received = HexOf(a, "received", index);
    c.hasBytes = true;
  }
  if (a.contains("name"))
    c.text = Text(a, "name", index);
  if (a.contains("node"))
    c.text = Text(a, "node", index);
  if (name == "hidraw_sys_device_numbers" && c.ret == 0) {
    c.busnum = static_cast<int>(Integer(a, "busnum", index, 0, 0xFFFF));
    c.devnum = static_cast<int>(Integer(a, "devnum", index, 0, 0xFFFF));
  }
  return c;
}

// The request as the recording shows it, for the messages.
std::string Shown(const json &request) {
  return request.dump(-1, ' ', false, json::error_handler_t::replace);
}

void Diverge(const std::string &message) {
  if (!divergence.empty())
    return;
  divergence = message;
  if (!stopAtDivergence)
    return;
  fflush(stdout);
  fprintf(stderr, "panelcfg-sim: %s\n", message.c_str());
  exit(kReplayDiverged);
}

// The next recorded call when the run asks what it recorded; null (after the divergence) when not.
const Call *Next(const json &asked) {
  if (!divergence.empty())
    return nullptr;
  if (next >= calls.size()) {
    Diverge("replay diverges at call " + std::to_string(next + 1) +
            ": recorded the end of the run, asked " + Shown(asked));
    return nullptr;
  }
  const Call &c = calls[next];
  if (c.request != asked) {
    Diverge("replay diverges at call " + std::to_string(next + 1) + ": recorded " +
            Shown(c.request) + ", asked " + Shown(asked));
    return nullptr;
  }
  next++;
  return &c;
}

json Asked(const char *call) { return json{{"call", call}}; }

json AskedOn(const char *call, usb_dev_handle *h) {
  json j = Asked(call);
  const size_t i = h != nullptr ? static_cast<size_t>(h->device) : handleNames.size();
  j["device"] = i < handleNames.size() ? handleNames[i] : "";
  return j;
}

int Result(const Call *c, int failure = -ENODEV) {
  if (c == nullptr) {
    errno = -failure;
    return failure;
  }
  if (c->ret < 0)
    errno = c->err != 0 ? c->err : EIO;
  return static_cast<int>(c->ret);
}

// Copies the recorded bytes into buf (room bytes at most).
void Deliver(const Call *c, void *buf, size_t room) {
  if (c == nullptr || buf == nullptr)
    return;
  const size_t n = c->received.size() < room ? c->received.size() : room;
  if (n > 0)
    memcpy(buf, c->received.data(), n);
}

int Num(const json &o, const char *key) { return o[key].get<int>(); }

void BuildBusses(const json &devices) {
  usb_busses = nullptr;
  listed.clear();
  busRecords.clear();
  usb_bus *bus = nullptr;
  struct usb_device *prev = nullptr;
  for (const json &d : devices) {
    const std::string busName = d["bus"].get<std::string>();
    if (bus == nullptr || busName != bus->dirname) {
      auto b = std::make_unique<usb_bus>();
      snprintf(b->dirname, sizeof b->dirname, "%s", busName.c_str());
      b->location = static_cast<uint32_t>(BusNumber(busName.c_str()));
      b->prev = bus;
      if (bus != nullptr)
        bus->next = b.get();
      else
        usb_busses = b.get();
      bus = b.get();
      busRecords.push_back(std::move(b));
      prev = nullptr;
    }
    auto rec = std::make_unique<Listed>();
    if (d.contains("port") && d["port"].is_string())
      rec->port = d["port"].get<std::string>();
    if (d.contains("driver") && d["driver"].is_string())
      rec->driver = d["driver"].get<std::string>();
    struct usb_device &u = rec->dev;
    u.bus = bus;
    u.devnum = static_cast<uint8_t>(Num(d, "devnum"));
    snprintf(u.filename, sizeof u.filename, "%s", d["device"].get<std::string>().c_str());
    const json &s = d["descriptor"];
    usb_device_descriptor &dd = u.descriptor;
    dd.bLength = USB_DT_DEVICE_SIZE;
    dd.bDescriptorType = USB_DT_DEVICE;
    dd.bcdUSB = static_cast<uint16_t>(Num(s, "bcdUSB"));
    dd.bDeviceClass = static_cast<uint8_t>(Num(s, "bDeviceClass"));
    dd.bDeviceSubClass = static_cast<uint8_t>(Num(s, "bDeviceSubClass"));
    dd.bDeviceProtocol = static_cast<uint8_t>(Num(s, "bDeviceProtocol"));
    dd.bMaxPacketSize0 = static_cast<uint8_t>(Num(s, "bMaxPacketSize0"));
    dd.idVendor = static_cast<uint16_t>(Num(s, "idVendor"));
    dd.idProduct = static_cast<uint16_t>(Num(s, "idProduct"));
    dd.bcdDevice = static_cast<uint16_t>(Num(s, "bcdDevice"));
    dd.iManufacturer = static_cast<uint8_t>(Num(s, "iManufacturer"));
    dd.iProduct = static_cast<uint8_t>(Num(s, "iProduct"));
    dd.iSerialNumber = static_cast<uint8_t>(Num(s, "iSerialNumber"));
    dd.bNumConfigurations = static_cast<uint8_t>(Num(s, "bNumConfigurations"));
    if (d.contains("config") && d["config"].is_object()) {
      const json &c = d["config"];
      usb_config_descriptor &cd = rec->config;
      cd.bLength = USB_DT_CONFIG_SIZE;
      cd.bDescriptorType = USB_DT_CONFIG;
      cd.bConfigurationValue = static_cast<uint8_t>(Num(c, "bConfigurationValue"));
      cd.bNumInterfaces = static_cast<uint8_t>(Num(c, "bNumInterfaces"));
      cd.bmAttributes = static_cast<uint8_t>(Num(c, "bmAttributes"));
      cd.MaxPower = static_cast<uint8_t>(Num(c, "MaxPower"));
      if (c.contains("interface") && c["interface"].is_object()) {
        const json &i = c["interface"];
        usb_interface_descriptor &alt = rec->alt;
        alt.bLength = USB_DT_INTERFACE_SIZE;
        alt.bDescriptorType = USB_DT_INTERFACE;
        alt.bInterfaceNumber = static_cast<uint8_t>(Num(i, "bInterfaceNumber"));
        alt.bAlternateSetting = static_cast<uint8_t>(Num(i, "bAlternateSetting"));
        alt.bNumEndpoints = static_cast<uint8_t>(Num(i, "bNumEndpoints"));
        alt.bInterfaceClass = static_cast<uint8_t>(Num(i, "bInterfaceClass"));
        alt.bInterfaceSubClass = static_cast<uint8_t>(Num(i, "bInterfaceSubClass"));
        alt.bInterfaceProtocol = static_cast<uint8_t>(Num(i, "bInterfaceProtocol"));
        rec->iface.altsetting = &rec->alt;
        rec->iface.num_altsetting = 1;
        cd.interface = &rec->iface;
      } else {
        cd.bNumInterfaces = 0;
      }
      u.config = &rec->config;
    }
    u.prev = prev;
    if (prev != nullptr)
      prev->next = &u;
    else
      bus->devices = &u;
    prev = &u;
    listed.push_back(std::move(rec));
  }
}

} // namespace

void LoadReplayText(const std::string &text) {
  json doc;
  try {
    doc = json::parse(text);
  } catch (const json::exception &e) {
    throw std::runtime_error(std::string("not a recording: ") + e.what());
  }
  if (!doc.is_object() || !doc.contains("recording") || !doc["recording"].is_number_integer())
    throw std::runtime_error("not a recording (no \"recording\" version)");
  if (doc["recording"].get<long>() != 1)
    throw std::runtime_error("recording version " + doc["recording"].dump() +
                             " is not known (1 is)");
  if (!doc.contains("calls") || !doc["calls"].is_array())
    throw std::runtime_error("the recording has no \"calls\" list");
  if (!doc.contains("arguments") || !doc["arguments"].is_array())
    throw std::runtime_error("the recording has no \"arguments\" list");
  for (const json &a : doc["arguments"])
    if (!a.is_string())
      throw std::runtime_error("an argument of the recording is not a text");
  std::vector<Call> parsed;
  parsed.reserve(doc["calls"].size());
  for (size_t i = 0; i < doc["calls"].size(); i++)
    parsed.push_back(Parse(doc["calls"][i], i + 1));
  StopReplay();
  calls = std::move(parsed);
  meta = doc;
  meta.erase("calls");
  active = true;
}

void LoadReplayFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    throw std::runtime_error(path + ": " + strerror(errno));
  std::stringstream text;
  text << in.rdbuf();
  try {
    LoadReplayText(text.str());
  } catch (const std::runtime_error &e) {
    throw std::runtime_error(path + ": " + e.what());
  }
}

bool Replaying() { return active; }

void SetReplayStopsAtDivergence(bool stop) { stopAtDivergence = stop; }

void StopReplay() {
  active = false;
  calls.clear();
  next = 0;
  divergence.clear();
  meta = json();
  handles.clear();
  handleNames.clear();
  listed.clear();
  busRecords.clear();
  usb_busses = nullptr;
}

std::vector<std::string> ReplayArguments() {
  std::vector<std::string> out;
  if (meta.contains("arguments"))
    for (const json &a : meta["arguments"])
      out.push_back(a.get<std::string>());
  return out;
}

std::string ReplayOptions() {
  if (!meta.contains("options") || !meta["options"].is_object())
    return "";
  std::string ini = "[options]\n";
  for (const auto &[name, value] : meta["options"].items())
    if (value.is_number_integer())
      ini += name + "=" + std::to_string(value.get<long>()) + "\n";
  return ini;
}

std::string ReplayEnd() {
  if (divergence.empty() && next < calls.size())
    Diverge("replay diverges at call " + std::to_string(next + 1) + ": recorded " +
            Shown(calls[next].request) + ", asked the end of the run");
  return divergence;
}

namespace detail {

bool ReplayActive() { return active; }

void ReplayInit() { Next(Asked("usb_init")); }

int ReplayFind(const char *call) { return Result(Next(Asked(call)), 0); }

struct usb_bus *ReplayGetBusses() {
  const Call *c = Next(Asked("usb_get_busses"));
  if (c == nullptr) {
    BuildBusses(json::array());
    return nullptr;
  }
  BuildBusses(c->devices);
  return usb_busses;
}

usb_dev_handle *ReplayOpen(struct usb_device *dev) {
  json asked = Asked("usb_open");
  char name[64];
  snprintf(name, sizeof name, "%.31s/%.31s",
           dev != nullptr && dev->bus != nullptr ? dev->bus->dirname : "",
           dev != nullptr ? dev->filename : "");
  asked["device"] = name;
  const Call *c = Next(asked);
  if (c == nullptr || !c->opened) {
    errno = c == nullptr ? ENODEV : c->err;
    return nullptr;
  }
  handleNames.emplace_back(name);
  auto h = std::make_unique<usb_dev_handle>();
  h->device = static_cast<int>(handleNames.size()) - 1;
  handles.push_back(std::move(h));
  return handles.back().get();
}

int ReplayClose(usb_dev_handle *h) { return Result(Next(AskedOn("usb_close", h))); }

int ReplayGetString(usb_dev_handle *h, int index, char *buf, size_t buflen) {
  json asked = AskedOn("usb_get_string_simple", h);
  asked["index"] = index;
  asked["length"] = buflen;
  const Call *c = Next(asked);
  const int result = Result(c);
  if (result >= 0 && buflen > 0) {
    Deliver(c, buf, buflen - 1);
    buf[c->received.size() < buflen - 1 ? c->received.size() : buflen - 1] = '\0';
  }
  return result;
}

int ReplayGetDriver(usb_dev_handle *h, int interface, char *name, unsigned int namelen) {
  json asked = AskedOn("usb_get_driver_np", h);
  asked["interface"] = interface;
  asked["length"] = namelen;
  const Call *c = Next(asked);
  const int result = Result(c);
  if (result >= 0 && namelen > 0) {
    Deliver(c, name, namelen - 1);
    name[c->received.size() < namelen - 1 ? c->received.size() : namelen - 1] = '\0';
  }
  return result;
}

int ReplaySimple(const char *call, usb_dev_handle *h, const char *key, int arg) {
  json asked = AskedOn(call, h);
  asked[key] = arg;
  return Result(Next(asked));
}

int ReplayControl(usb_dev_handle *h, int requestType, int request, int value, int index,
                  char *bytes, int size, int timeout) {
  const bool in = (requestType & USB_ENDPOINT_IN) != 0;
  json asked = AskedOn("usb_control_msg", h);
  asked["requestType"] = requestType;
  asked["request"] = request;
  asked["value"] = value;
  asked["index"] = index;
  asked["length"] = size;
  asked["timeout"] = timeout;
  const size_t room = size > 0 && bytes != nullptr ? static_cast<size_t>(size) : 0;
  if (!in) {
    std::string hex;
    char b[3];
    for (size_t i = 0; i < room; i++) {
      snprintf(b, sizeof b, "%02x", static_cast<uint8_t>(bytes[i]));
      hex += b;
    }
    asked["sent"] = hex;
  }
  const Call *c = Next(asked);
  const int result = Result(c);
  if (in && result > 0)
    Deliver(c, bytes, room);
  return result;
}

int ReplaySysDeviceName(int busnum, int devnum, char *name, size_t size) {
  json asked = Asked("hidraw_sys_device_name");
  asked["busnum"] = busnum;
  asked["devnum"] = devnum;
  asked["length"] = size;
  const Call *c = Next(asked);
  const int result = Result(c, -ENOENT);
  if (result == 0 && snprintf(name, size, "%s", c->text.c_str()) >= static_cast<int>(size))
    return -ENAMETOOLONG;
  return result;
}

int ReplaySysDeviceNumbers(const char *deviceName, int *busnum, int *devnum) {
  json asked = Asked("hidraw_sys_device_numbers");
  asked["name"] = deviceName;
  const Call *c = Next(asked);
  const int result = Result(c, -ENOENT);
  if (result == 0) {
    *busnum = c->busnum;
    *devnum = c->devnum;
  }
  return result;
}

int ReplaySysNodeDevice(const char *node, char *name, size_t size) {
  json asked = Asked("hidraw_sys_node_device");
  asked["node"] = node;
  asked["length"] = size;
  const Call *c = Next(asked);
  const int result = Result(c, -ENOENT);
  if (result == 0 && snprintf(name, size, "%s", c->text.c_str()) >= static_cast<int>(size))
    return -ENAMETOOLONG;
  return result;
}

int ReplaySysNode(const char *deviceName, int config, int ifnum, char *node, size_t size) {
  json asked = Asked("hidraw_sys_node");
  asked["name"] = deviceName;
  asked["configuration"] = config;
  asked["interface"] = ifnum;
  asked["length"] = size;
  const Call *c = Next(asked);
  const int result = Result(c, -ENOENT);
  if (result == 0 && snprintf(node, size, "%s", c->text.c_str()) >= static_cast<int>(size))
    return -ENAMETOOLONG;
  return result;
}

int ReplaySysOpen(const char *node) {
  json asked = Asked("hidraw_sys_open");
  asked["node"] = node;
  return Result(Next(asked), -ENOENT);
}

int ReplaySysFeature(int fd, bool set, unsigned char *data, size_t length) {
  json asked = Asked("hidraw_sys_feature");
  asked["fd"] = fd;
  asked["set"] = set;
  asked["length"] = length;
  if (set) {
    std::string hex;
    char b[3];
    for (size_t i = 0; i < length; i++) {
      snprintf(b, sizeof b, "%02x", data[i]);
      hex += b;
    }
    asked["sent"] = hex;
  }
  const Call *c = Next(asked);
  const int result = Result(c, -ENODEV);
  if (!set && result > 0)
    Deliver(c, data, length);
  return result;
}

void ReplaySysClose(int fd) {
  json asked = Asked("hidraw_sys_close");
  asked["fd"] = fd;
  Next(asked);
}

int ReplayDescribe(int busnum, int devnum, char *port, size_t portSize, char *driver,
                   size_t driverSize) {
  for (const auto &rec : listed) {
    if (rec->dev.bus == nullptr || BusNumber(rec->dev.bus->dirname) != busnum ||
        rec->dev.devnum != devnum || rec->port.empty())
      continue;
    snprintf(port, portSize, "%s", rec->port.c_str());
    snprintf(driver, driverSize, "%s", rec->driver.c_str());
    return 0;
  }
  return -ENOENT;
}

void ReplayPause(unsigned int ms) {
  json asked = Asked("pause");
  asked["ms"] = ms;
  Next(asked);
}

void ReplayRandom(unsigned char *buf, int blocks) {
  json asked = Asked("random");
  asked["blocks"] = blocks;
  const size_t room = blocks > 0 ? static_cast<size_t>(blocks) * 16 : 0;
  memset(buf, 0, room);
  Deliver(Next(asked), buf, room);
}

} // namespace detail
} // namespace vusb
