// The kernel side of the utility's hidraw backend on the virtual bus: each controller whose
// kernel driver is bound has a hidraw node, and its feature-report ioctls become the control
// transfers the driver would send, answered by the same controller models.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "../panelcfg/transport/hidraw_sys.h"
#include "internal.h"

namespace vusb {
namespace {

constexpr uint8_t kHidClass = 3;
constexpr int kFirstFd = 100;
constexpr int kDriverTimeoutMs = 5000; // the driver's own time-out for class requests

std::map<int, int> nodes; // open descriptor -> device id
int nextFd = kFirstFd;

// The device's port on its bus: 1 for the first one added there, and so on. It stays what it was
// when the controller enumerates again under another device number.
int PortOf(const Device &d) {
  int port = 1;
  for (int i = 0; i < d.id; i++)
    if (Dev(i).bus == d.bus)
      port++;
  return port;
}

bool HasNode(const Device &d) {
  return detail::IsPresent(d) && !d.boundDriver.empty() && d.interfaceClass == kHidClass &&
         !d.faults.noHidraw && !d.faults.noConfig;
}

Device *DeviceNamed(const char *name) {
  for (int i = 0; i < DeviceCount(); i++) {
    Device &d = Dev(i);
    char own[32];
    snprintf(own, sizeof own, "%d-%d", d.bus, PortOf(d));
    if (strcmp(own, name) == 0 && detail::IsPresent(d))
      return &d;
  }
  return nullptr;
}

Device *DeviceOfNode(int fd) {
  auto it = nodes.find(fd);
  if (it == nodes.end() || it->second >= DeviceCount())
    return nullptr;
  return &Dev(it->second);
}

Entry CallEntry(const char *name, int device, const std::string &text = "") {
  Entry e = detail::CallEntry(name, device);
  e.text = text;
  return e;
}

} // namespace

namespace detail {
void ResetHidraw() {
  nodes.clear();
  nextFd = kFirstFd;
}
} // namespace detail

} // namespace vusb

using vusb::Device;
using vusb::Entry;

int hidraw_sys_device_name(int busnum, int devnum, char *name, size_t size) {
  if (vusb::detail::ReplayActive())
    return vusb::detail::ReplaySysDeviceName(busnum, devnum, name, size);
  const Device *d = vusb::detail::DeviceAt(busnum, devnum);
  if (d == nullptr)
    return -ENOENT;
  return snprintf(name, size, "%d-%d", d->bus, vusb::PortOf(*d)) < static_cast<int>(size)
             ? 0
             : -ENAMETOOLONG;
}

int hidraw_sys_device_numbers(const char *deviceName, int *busnum, int *devnum) {
  if (vusb::detail::ReplayActive())
    return vusb::detail::ReplaySysDeviceNumbers(deviceName, busnum, devnum);
  const Device *d = vusb::DeviceNamed(deviceName);
  const struct usb_device *u = d != nullptr ? vusb::UsbDevice(d->id) : nullptr;
  if (u == nullptr)
    return -ENOENT;
  *busnum = d->bus;
  *devnum = u->devnum;
  return 0;
}

int hidraw_sys_node_device(const char *node, char *name, size_t size) {
  if (vusb::detail::ReplayActive())
    return vusb::detail::ReplaySysNodeDevice(node, name, size);
  const char *entry = strncmp(node, "/dev/", 5) == 0 ? node + 5 : node;
  if (strncmp(entry, "hidraw", 6) != 0 || entry[6] < '0' || entry[6] > '9')
    return -ENOENT;
  char *end = nullptr;
  const long id = strtol(entry + 6, &end, 10);
  if (*end != '\0' || id >= vusb::DeviceCount() || !vusb::HasNode(vusb::Dev(static_cast<int>(id))))
    return -ENOENT;
  const Device &d = vusb::Dev(static_cast<int>(id));
  return snprintf(name, size, "%d-%d", d.bus, vusb::PortOf(d)) < static_cast<int>(size)
             ? 0
             : -ENAMETOOLONG;
}

int hidraw_sys_node(const char *deviceName, int config, int ifnum, char *node, size_t size) {
  if (vusb::detail::ReplayActive())
    return vusb::detail::ReplaySysNode(deviceName, config, ifnum, node, size);
  const Device *d = vusb::DeviceNamed(deviceName);
  if (d == nullptr || !vusb::HasNode(*d) || config != d->configurationValue ||
      ifnum != d->interfaceNumber)
    return -ENOENT;
  return snprintf(node, size, "/dev/hidraw%d", d->id) < static_cast<int>(size) ? 0 : -ENAMETOOLONG;
}

int hidraw_sys_open(const char *node) {
  if (vusb::detail::ReplayActive())
    return vusb::detail::ReplaySysOpen(node);
  constexpr const char *kPrefix = "/dev/hidraw";
  long id = -1;
  if (strncmp(node, kPrefix, strlen(kPrefix)) == 0) {
    const char *digits = node + strlen(kPrefix);
    char *end = nullptr;
    id = strtol(digits, &end, 10);
    if (end == digits || *end != '\0')
      id = -1;
  }
  if (id < 0 || id >= vusb::DeviceCount())
    return vusb::detail::FinishCall(vusb::CallEntry("hidraw_open", -1, node), -ENOENT);
  const Device &d = vusb::Dev(static_cast<int>(id));
  Entry e = vusb::CallEntry("hidraw_open", d.id, node);
  if (!vusb::HasNode(d))
    return vusb::detail::FinishCall(std::move(e), -ENOENT);
  if (d.faults.hidrawOpenErrno != 0)
    return vusb::detail::FinishCall(std::move(e), -d.faults.hidrawOpenErrno);
  const int fd = vusb::nextFd++;
  vusb::nodes[fd] = d.id;
  return vusb::detail::FinishCall(std::move(e), fd);
}

int hidraw_sys_feature(int fd, bool set, unsigned char *data, size_t length) {
  if (vusb::detail::ReplayActive())
    return vusb::detail::ReplaySysFeature(fd, set, data, length);
  Device *d = vusb::DeviceOfNode(fd);
  if (d == nullptr || length < 1 || length > 64)
    return d == nullptr ? -EBADF : -EINVAL;
  // As the kernel's driver sends it: report ID 0 does not go on the wire, but is counted.
  const uint8_t id = data[0];
  const int skipped = id == 0 ? 1 : 0;
  uint8_t *wire = data + skipped;
  const int size = static_cast<int>(length) - skipped;
  Entry e;
  e.kind = vusb::Kind::Transfer;
  e.call = "hidraw";
  e.requestType = set ? 0x21 : 0xA1;
  e.request = set ? 0x09 : 0x01;
  e.value = static_cast<uint16_t>(0x0300 | id);
  e.index = d->interfaceNumber;
  e.length = static_cast<uint16_t>(size);
  e.timeout = vusb::kDriverTimeoutMs;
  if (set && size > 0)
    e.data.assign(wire, wire + size);
  int result = vusb::detail::DeviceTransfer(*d, e, wire, size, true);
  vusb::detail::FinishCall(std::move(e), result);
  if (result > 0)
    result += skipped;
  return result;
}

void hidraw_sys_close(int fd) {
  if (vusb::detail::ReplayActive())
    return vusb::detail::ReplaySysClose(fd);
  const Device *d = vusb::DeviceOfNode(fd);
  vusb::nodes.erase(fd);
  vusb::detail::FinishCall(vusb::CallEntry("hidraw_close", d != nullptr ? d->id : -1), 0);
}

int hidraw_sys_describe(int busnum, int devnum, int config, int ifnum, char *port, size_t portSize,
                        char *driver, size_t driverSize) {
  if (driverSize > 0)
    driver[0] = '\0';
  if (vusb::detail::ReplayActive())
    return vusb::detail::ReplayDescribe(busnum, devnum, port, portSize, driver, driverSize);
  const Device *d = vusb::detail::DeviceAt(busnum, devnum);
  if (d == nullptr)
    return -ENOENT;
  if (snprintf(port, portSize, "%d-%d", d->bus, vusb::PortOf(*d)) >= static_cast<int>(portSize))
    return -ENAMETOOLONG;
  if (config == d->configurationValue && ifnum == d->interfaceNumber)
    snprintf(driver, driverSize, "%s", d->boundDriver.c_str());
  return 0;
}
