#include "boundary.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../base/record.h"
#include "entropy_sys.h"
#include "hidraw_sys.h"

namespace {

// What a recording names an open handle by: its device ("001/003") and the index of its serial
// number string (0: none).
struct HandleName {
  const usb_dev_handle *hdlr = nullptr;
  std::array<char, 64> device{};
  int serialIndex = 0;
};
std::array<HandleName, 32> handles{};

const HandleName *NameOf(const usb_dev_handle *hdlr) {
  for (const HandleName &h : handles)
    if (h.hdlr == hdlr && hdlr != nullptr)
      return &h;
  return nullptr;
}

// The number libusb printed as a bus directory name ("001"); 0 when it is not one.
int BusNumber(const struct usb_device *dev) {
  if (dev->bus == nullptr)
    return 0;
  char *end = nullptr;
  const long value = strtol(dev->bus->dirname, &end, 10);
  return end != dev->bus->dirname && *end == '\0' && value > 0 && value < 1000
             ? static_cast<int>(value)
             : 0;
}

void DeviceName(std::array<char, 64> &name, const struct usb_device *dev) {
  snprintf(name.data(), name.size(), "%.31s/%.31s", dev->bus != nullptr ? dev->bus->dirname : "",
           dev->filename);
}

// The call's name and its handle's device.
void BeginOn(const char *call, const usb_dev_handle *hdlr) {
  RecordBegin(call);
  const HandleName *h = NameOf(hdlr);
  RecordText("device", h != nullptr ? h->device.data() : "");
}

// The answer of a call that returns a number and sets errno when it fails.
void Answer(long result, int err) {
  RecordAnswer();
  RecordField("return", result);
  if (result < 0)
    RecordField("errno", err);
}

// A call with one number for argument and a number for result.
int Simple(const char *call, usb_dev_handle *hdlr, const char *key, int arg,
           int (*fn)(usb_dev_handle *, int)) {
  const int result = fn(hdlr, arg);
  if (!Recording())
    return result;
  const int err = errno;
  BeginOn(call, hdlr);
  RecordField(key, arg);
  Answer(result, err);
  RecordEnd();
  errno = err;
  return result;
}

void RecordDevice(const struct usb_device *dev) {
  std::array<char, 64> name{};
  DeviceName(name, dev);
  RecordObject(nullptr);
  RecordText("name", name.data());
  RecordText("bus", dev->bus != nullptr ? dev->bus->dirname : "");
  RecordText("device", dev->filename);
  RecordField("devnum", dev->devnum);
  const usb_device_descriptor &d = dev->descriptor;
  char id[16];
  snprintf(id, sizeof id, "%04x:%04x", d.idVendor, d.idProduct);
  RecordText("id", id);
  RecordObject("descriptor");
  RecordField("bcdUSB", d.bcdUSB);
  RecordField("bDeviceClass", d.bDeviceClass);
  RecordField("bDeviceSubClass", d.bDeviceSubClass);
  RecordField("bDeviceProtocol", d.bDeviceProtocol);
  RecordField("bMaxPacketSize0", d.bMaxPacketSize0);
  RecordField("idVendor", d.idVendor);
  RecordField("idProduct", d.idProduct);
  RecordField("bcdDevice", d.bcdDevice);
  RecordField("iManufacturer", d.iManufacturer);
  RecordField("iProduct", d.iProduct);
  RecordField("iSerialNumber", d.iSerialNumber);
  RecordField("bNumConfigurations", d.bNumConfigurations);
  RecordClose();
  int config = -1;
  int ifnum = -1;
  if (dev->config == nullptr) {
    RecordNull("config");
  } else {
    const usb_config_descriptor &c = dev->config[0];
    config = c.bConfigurationValue;
    RecordObject("config");
    RecordField("bConfigurationValue", c.bConfigurationValue);
    RecordField("bNumInterfaces", c.bNumInterfaces);
    RecordField("bmAttributes", c.bmAttributes);
    RecordField("MaxPower", c.MaxPower);
    const usb_interface_descriptor *alt = nullptr;
    if (c.bNumInterfaces > 0 && c.interface != nullptr && c.interface[0].num_altsetting > 0)
      alt = c.interface[0].altsetting;
    if (alt == nullptr) {
      RecordNull("interface");
    } else {
      ifnum = alt->bInterfaceNumber;
      RecordObject("interface");
      RecordField("bInterfaceNumber", alt->bInterfaceNumber);
      RecordField("bAlternateSetting", alt->bAlternateSetting);
      RecordField("bNumEndpoints", alt->bNumEndpoints);
      RecordField("bInterfaceClass", alt->bInterfaceClass);
      RecordField("bInterfaceSubClass", alt->bInterfaceSubClass);
      RecordField("bInterfaceProtocol", alt->bInterfaceProtocol);
      RecordClose();
    }
    RecordClose();
  }
  // The port and the driver bound, from sysfs: nothing goes to the device.
  char port[64] = {};
  char driver[64] = {};
  const int busnum = BusNumber(dev);
  const bool listed = hidraw_sys_describe(busnum, dev->devnum, config, ifnum, port, sizeof port,
                                          driver, sizeof driver) == 0;
  if (listed)
    RecordText("port", port);
  else
    RecordNull("port");
  if (listed && driver[0] != '\0')
    RecordText("driver", driver);
  else
    RecordNull("driver");
  RecordClose();
}

} // namespace

void UsbInit() {
  usb_init();
  RecordBegin("usb_init");
  RecordEnd();
}

int UsbFindBusses() {
  const int result = usb_find_busses();
  RecordBegin("usb_find_busses");
  Answer(result, 0);
  RecordEnd();
  return result;
}

int UsbFindDevices() {
  const int result = usb_find_devices();
  RecordBegin("usb_find_devices");
  Answer(result, 0);
  RecordEnd();
  return result;
}

struct usb_bus *UsbGetBusses() {
  struct usb_bus *busses = usb_get_busses();
  if (!Recording())
    return busses;
  RecordBegin("usb_get_busses");
  RecordAnswer();
  RecordList("devices");
  for (const struct usb_bus *bus = busses; bus != nullptr; bus = bus->next)
    for (const struct usb_device *dev = bus->devices; dev != nullptr; dev = dev->next)
      RecordDevice(dev);
  RecordEnd();
  return busses;
}

usb_dev_handle *UsbOpen(struct usb_device *dev) {
  usb_dev_handle *hdlr = usb_open(dev);
  const int err = errno;
  std::array<char, 64> name{};
  DeviceName(name, dev);
  if (hdlr != nullptr) {
    for (HandleName &h : handles) {
      if (h.hdlr != nullptr)
        continue;
      h.hdlr = hdlr;
      h.device = name;
      h.serialIndex = dev->descriptor.iSerialNumber;
      break;
    }
  }
  RecordBegin("usb_open");
  RecordText("device", name.data());
  RecordAnswer();
  RecordFlag("opened", hdlr != nullptr);
  if (hdlr == nullptr)
    RecordField("errno", err);
  RecordEnd();
  errno = err;
  return hdlr;
}

int UsbClose(usb_dev_handle *hdlr) {
  if (Recording())
    BeginOn("usb_close", hdlr);
  for (HandleName &h : handles)
    if (h.hdlr == hdlr)
      h = HandleName{};
  const int result = usb_close(hdlr);
  const int err = errno;
  Answer(result, err);
  RecordEnd();
  errno = err;
  return result;
}

int UsbGetString(usb_dev_handle *hdlr, int index, char *buf, size_t size) {
  const int result = usb_get_string_simple(hdlr, index, buf, size);
  if (!Recording())
    return result;
  const int err = errno;
  BeginOn("usb_get_string_simple", hdlr);
  RecordField("index", index);
  RecordField("length", static_cast<long>(size));
  Answer(result, err);
  if (result >= 0 && size > 0) {
    const size_t n = static_cast<size_t>(result) < size ? static_cast<size_t>(result) : size - 1;
    const HandleName *h = NameOf(hdlr);
    if (h != nullptr && h->serialIndex != 0 && h->serialIndex == index && !RecordKeepsSerials()) {
      std::array<unsigned char, 256> masked{};
      masked.fill('X');
      RecordBytes("received", masked.data(), n < masked.size() ? n : masked.size());
    } else {
      RecordBytes("received", reinterpret_cast<const unsigned char *>(buf), n);
    }
  }
  RecordEnd();
  errno = err;
  return result;
}

int UsbGetDriver(usb_dev_handle *hdlr, int ifnum, char *name, unsigned int size) {
  const int result = usb_get_driver_np(hdlr, ifnum, name, size);
  if (!Recording())
    return result;
  const int err = errno;
  BeginOn("usb_get_driver_np", hdlr);
  RecordField("interface", ifnum);
  RecordField("length", size);
  Answer(result, err);
  if (result >= 0 && size > 0)
    RecordBytes("received", reinterpret_cast<const unsigned char *>(name), strnlen(name, size));
  RecordEnd();
  errno = err;
  return result;
}

int UsbDetachDriver(usb_dev_handle *hdlr, int ifnum) {
  return Simple("usb_detach_kernel_driver_np", hdlr, "interface", ifnum,
                usb_detach_kernel_driver_np);
}

int UsbSetConfiguration(usb_dev_handle *hdlr, int value) {
  return Simple("usb_set_configuration", hdlr, "configuration", value, usb_set_configuration);
}

int UsbClaimInterface(usb_dev_handle *hdlr, int ifnum) {
  return Simple("usb_claim_interface", hdlr, "interface", ifnum, usb_claim_interface);
}

int UsbSetAltInterface(usb_dev_handle *hdlr, int alternate) {
  return Simple("usb_set_altinterface", hdlr, "alternate", alternate, usb_set_altinterface);
}

int UsbReleaseInterface(usb_dev_handle *hdlr, int ifnum) {
  return Simple("usb_release_interface", hdlr, "interface", ifnum, usb_release_interface);
}

int UsbControl(usb_dev_handle *hdlr, int requestType, int request, int value, int index,
               char *bytes, int size, int timeout) {
  const bool in = (requestType & USB_ENDPOINT_IN) != 0;
  const auto *data = reinterpret_cast<const unsigned char *>(bytes);
  const size_t length = size > 0 && bytes != nullptr ? static_cast<size_t>(size) : 0;
  if (Recording()) {
    BeginOn("usb_control_msg", hdlr);
    RecordField("requestType", requestType);
    RecordField("request", request);
    RecordField("value", value);
    RecordField("index", index);
    RecordField("length", size);
    RecordField("timeout", timeout);
    if (!in)
      RecordFiltered("sent", RECORD_SENT, data, length);
  }
  const int result =
      usb_control_msg(hdlr, requestType, request, value, index, bytes, size, timeout);
  if (!Recording())
    return result;
  const int err = errno;
  Answer(result, err);
  if (in && result > 0)
    RecordFiltered("received", RECORD_RECEIVED, data,
                   static_cast<size_t>(result) < length ? static_cast<size_t>(result) : length);
  RecordEnd();
  errno = err;
  return result;
}

int SysDeviceName(int busnum, int devnum, char *name, size_t size) {
  const int result = hidraw_sys_device_name(busnum, devnum, name, size);
  RecordBegin("hidraw_sys_device_name");
  RecordField("busnum", busnum);
  RecordField("devnum", devnum);
  RecordField("length", static_cast<long>(size));
  RecordAnswer();
  RecordField("return", result);
  if (result == 0)
    RecordText("name", name);
  RecordEnd();
  return result;
}

int SysDeviceNumbers(const char *deviceName, int *busnum, int *devnum) {
  const int result = hidraw_sys_device_numbers(deviceName, busnum, devnum);
  RecordBegin("hidraw_sys_device_numbers");
  RecordText("name", deviceName);
  RecordAnswer();
  RecordField("return", result);
  if (result == 0) {
    RecordField("busnum", *busnum);
    RecordField("devnum", *devnum);
  }
  RecordEnd();
  return result;
}

int SysNodeDevice(const char *node, char *name, size_t size) {
  const int result = hidraw_sys_node_device(node, name, size);
  RecordBegin("hidraw_sys_node_device");
  RecordText("node", node);
  RecordField("length", static_cast<long>(size));
  RecordAnswer();
  RecordField("return", result);
  if (result == 0)
    RecordText("name", name);
  RecordEnd();
  return result;
}

int SysNode(const char *deviceName, int config, int ifnum, char *node, size_t size) {
  const int result = hidraw_sys_node(deviceName, config, ifnum, node, size);
  RecordBegin("hidraw_sys_node");
  RecordText("name", deviceName);
  RecordField("configuration", config);
  RecordField("interface", ifnum);
  RecordField("length", static_cast<long>(size));
  RecordAnswer();
  RecordField("return", result);
  if (result == 0)
    RecordText("node", node);
  RecordEnd();
  return result;
}

int SysOpen(const char *node) {
  const int result = hidraw_sys_open(node);
  RecordBegin("hidraw_sys_open");
  RecordText("node", node);
  RecordAnswer();
  RecordField("return", result);
  RecordEnd();
  return result;
}

int SysFeature(int fd, bool set, unsigned char *data, size_t length) {
  if (Recording()) {
    RecordBegin("hidraw_sys_feature");
    RecordField("fd", fd);
    RecordFlag("set", set);
    RecordField("length", static_cast<long>(length));
    if (set)
      RecordFiltered("sent", RECORD_SENT, data, length);
  }
  const int result = hidraw_sys_feature(fd, set, data, length);
  RecordAnswer();
  RecordField("return", result);
  if (!set && result > 0)
    RecordFiltered("received", RECORD_RECEIVED, data,
                   static_cast<size_t>(result) < length ? static_cast<size_t>(result) : length);
  RecordEnd();
  return result;
}

void SysClose(int fd) {
  hidraw_sys_close(fd);
  RecordBegin("hidraw_sys_close");
  RecordField("fd", fd);
  RecordEnd();
}

void DrawRandom(unsigned char *buf, int blocks) {
  entropy_sys_draw(buf, blocks);
  RecordBegin("random");
  RecordField("blocks", blocks);
  RecordAnswer();
  RecordFiltered("received", RECORD_RANDOM, buf, blocks > 0 ? static_cast<size_t>(blocks) * 16 : 0);
  RecordEnd();
}
