// The hidraw backend's kernel calls on Linux: sysfs for the names, /dev for the nodes.
#include <dirent.h>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "hidraw_sys.h"

namespace {

constexpr const char *kUsbDevices = "/sys/bus/usb/devices";

// The decimal number in a one-line sysfs attribute file; -1 when unreadable.
int ReadNumber(const char *path) {
  FILE *f = fopen(path, "re");
  if (f == nullptr)
    return -1;
  char line[32] = {};
  const bool got = fgets(line, sizeof line, f) != nullptr;
  fclose(f);
  if (!got)
    return -1;
  char *end = nullptr;
  const long value = strtol(line, &end, 10);
  if (end == line || value < 0 || value > 0xFFFF)
    return -1;
  return static_cast<int>(value);
}

// The first entry of dir whose name starts with prefix, into out; false when none.
bool FirstEntry(const char *dir, const char *prefix, char *out, size_t size) {
  DIR *d = opendir(dir);
  if (d == nullptr)
    return false;
  bool found = false;
  while (const dirent *e = readdir(d)) {
    if (strncmp(e->d_name, prefix, strlen(prefix)) == 0 &&
        snprintf(out, size, "%s", e->d_name) < static_cast<int>(size)) {
      found = true;
      break;
    }
  }
  closedir(d);
  return found;
}

// Whether name can be one entry of a sysfs directory: no path, no "." or "..".
bool IsEntryName(const char *name) {
  return name[0] != '\0' && strchr(name, '/') == nullptr && strcmp(name, ".") != 0 &&
         strcmp(name, "..") != 0;
}

} // namespace

int hidraw_sys_device_numbers(const char *deviceName, int *busnum, int *devnum) {
  // Interfaces ("1-1:1.0") are no devices.
  if (!IsEntryName(deviceName) || strchr(deviceName, ':') != nullptr)
    return -ENOENT;
  char path[512];
  snprintf(path, sizeof path, "%s/%s/busnum", kUsbDevices, deviceName);
  const int bus = ReadNumber(path);
  snprintf(path, sizeof path, "%s/%s/devnum", kUsbDevices, deviceName);
  const int dev = ReadNumber(path);
  if (bus < 0 || dev < 0)
    return -ENOENT;
  *busnum = bus;
  *devnum = dev;
  return 0;
}

int hidraw_sys_node_device(const char *node, char *name, size_t size) {
  const char *slash = strrchr(node, '/');
  const char *entry = slash != nullptr ? slash + 1 : node;
  if (slash != nullptr && strncmp(node, "/dev/", 5) != 0)
    return -ENOENT;
  if (!IsEntryName(entry) || strncmp(entry, "hidraw", 6) != 0)
    return -ENOENT;
  // The node's HID device sits in the USB interface, the interface in the USB device.
  char link[512];
  snprintf(link, sizeof link, "/sys/class/hidraw/%s/device/../..", entry);
  char *real = realpath(link, nullptr);
  if (real == nullptr)
    return -ENOENT;
  const char *base = strrchr(real, '/');
  base = base != nullptr ? base + 1 : real;
  int result = -ENOENT;
  if (IsEntryName(base) && strchr(base, ':') == nullptr)
    result = snprintf(name, size, "%s", base) < static_cast<int>(size) ? 0 : -ENAMETOOLONG;
  free(real);
  return result;
}

int hidraw_sys_device_name(int busnum, int devnum, char *name, size_t size) {
  DIR *d = opendir(kUsbDevices);
  if (d == nullptr)
    return -errno;
  int result = -ENOENT;
  while (const dirent *e = readdir(d)) {
    // Interfaces ("1-1:1.0") and the directory's own entries are no devices.
    if (e->d_name[0] == '.' || strchr(e->d_name, ':') != nullptr)
      continue;
    char path[512];
    snprintf(path, sizeof path, "%s/%s/busnum", kUsbDevices, e->d_name);
    if (ReadNumber(path) != busnum)
      continue;
    snprintf(path, sizeof path, "%s/%s/devnum", kUsbDevices, e->d_name);
    if (ReadNumber(path) != devnum)
      continue;
    result = snprintf(name, size, "%s", e->d_name) < static_cast<int>(size) ? 0 : -ENAMETOOLONG;
    break;
  }
  closedir(d);
  return result;
}

int hidraw_sys_node(const char *deviceName, int config, int ifnum, char *node, size_t size) {
  // The interface's HID device ("0003:2575:8753.0001") holds the node's class directory.
  char iface[512];
  snprintf(iface, sizeof iface, "%s/%s:%d.%d", kUsbDevices, deviceName, config, ifnum);
  DIR *d = opendir(iface);
  if (d == nullptr)
    return -ENOENT;
  int result = -ENOENT;
  while (const dirent *e = readdir(d)) {
    if (e->d_name[0] == '.')
      continue;
    char dir[1024];
    snprintf(dir, sizeof dir, "%s/%s/hidraw", iface, e->d_name);
    char entry[256];
    if (!FirstEntry(dir, "hidraw", entry, sizeof entry))
      continue;
    result = snprintf(node, size, "/dev/%s", entry) < static_cast<int>(size) ? 0 : -ENAMETOOLONG;
    break;
  }
  closedir(d);
  return result;
}

int hidraw_sys_open(const char *node) {
  const int fd = open(node, O_RDWR | O_CLOEXEC | O_NONBLOCK);
  // cppcheck-suppress resourceLeak ; the descriptor is the result, closed by hidraw_sys_close
  return fd < 0 ? -errno : fd;
}

int hidraw_sys_feature(int fd, bool set, unsigned char *data, size_t length) {
  const int res =
      set ? ioctl(fd, HIDIOCSFEATURE(length), data) : ioctl(fd, HIDIOCGFEATURE(length), data);
  return res < 0 ? -errno : res;
}

void hidraw_sys_close(int fd) { close(fd); }

int hidraw_sys_describe(int busnum, int devnum, int config, int ifnum, char *port, size_t portSize,
                        char *driver, size_t driverSize) {
  if (driverSize > 0)
    driver[0] = '\0';
  const int found = hidraw_sys_device_name(busnum, devnum, port, portSize);
  if (found != 0)
    return found;
  char link[512];
  snprintf(link, sizeof link, "%s/%s:%d.%d/driver", kUsbDevices, port, config, ifnum);
  char *real = realpath(link, nullptr);
  if (real == nullptr)
    return 0;
  const char *base = strrchr(real, '/');
  snprintf(driver, driverSize, "%s", base != nullptr ? base + 1 : real);
  free(real);
  return 0;
}
