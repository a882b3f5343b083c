#include "usbfs_bed.h"

#include <linux/hidraw.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <usb.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "string_descriptors.h"
#include "transport/hidraw_sys.h"
#include "vusb.h"

namespace realstack {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kHidReportDescriptorLength = 0x40;

void Put16(Bytes &b, unsigned v) {
  b.push_back(static_cast<uint8_t>(v & 0xFF));
  b.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
}

// The kernel hands the device descriptor's 16-bit fields to userspace in the CPU's byte order
// (usbfs converts them on the read); the configuration that follows stays as the device sent
// it, little-endian.
void PutCpu16(Bytes &b, uint16_t v) {
  std::array<uint8_t, sizeof v> two{};
  memcpy(two.data(), &v, sizeof v);
  b.push_back(two[0]);
  b.push_back(two[1]);
}

// What usbfs reads from a device node: the device descriptor and the first configuration with
// its interface, the HID class descriptor and an interrupt-in endpoint.
Bytes Descriptors(const struct usb_device &u) {
  const usb_device_descriptor &d = u.descriptor;
  Bytes b;
  b.push_back(USB_DT_DEVICE_SIZE);
  b.push_back(USB_DT_DEVICE);
  PutCpu16(b, d.bcdUSB);
  b.push_back(d.bDeviceClass);
  b.push_back(d.bDeviceSubClass);
  b.push_back(d.bDeviceProtocol);
  b.push_back(d.bMaxPacketSize0);
  PutCpu16(b, d.idVendor);
  PutCpu16(b, d.idProduct);
  PutCpu16(b, d.bcdDevice);
  b.push_back(d.iManufacturer);
  b.push_back(d.iProduct);
  b.push_back(d.iSerialNumber);
  b.push_back(u.config != nullptr ? d.bNumConfigurations : 0);
  if (u.config == nullptr || u.config[0].interface == nullptr ||
      u.config[0].interface[0].altsetting == nullptr)
    return b;
  const usb_config_descriptor &c = u.config[0];
  const usb_interface_descriptor &alt = c.interface[0].altsetting[0];
  const bool hid = alt.bInterfaceClass == USB_CLASS_HID;
  const unsigned total =
      USB_DT_CONFIG_SIZE + USB_DT_INTERFACE_SIZE + (hid ? 9 : 0) + USB_DT_ENDPOINT_SIZE;
  b.push_back(USB_DT_CONFIG_SIZE);
  b.push_back(USB_DT_CONFIG);
  Put16(b, total);
  b.push_back(1); // bNumInterfaces
  b.push_back(c.bConfigurationValue);
  b.push_back(0); // iConfiguration
  b.push_back(c.bmAttributes);
  b.push_back(c.MaxPower);
  b.push_back(USB_DT_INTERFACE_SIZE);
  b.push_back(USB_DT_INTERFACE);
  b.push_back(alt.bInterfaceNumber);
  b.push_back(alt.bAlternateSetting);
  b.push_back(1); // bNumEndpoints
  b.push_back(alt.bInterfaceClass);
  b.push_back(alt.bInterfaceSubClass);
  b.push_back(alt.bInterfaceProtocol);
  b.push_back(0); // iInterface
  if (hid) {
    b.push_back(9);
    b.push_back(USB_DT_HID);
    Put16(b, 0x0111); // bcdHID
    b.push_back(0);   // bCountryCode
    b.push_back(1);   // bNumDescriptors
    b.push_back(USB_DT_REPORT);
    Put16(b, kHidReportDescriptorLength);
  }
  b.push_back(USB_DT_ENDPOINT_SIZE);
  b.push_back(USB_DT_ENDPOINT);
  b.push_back(0x81); // interrupt in, endpoint 1
  b.push_back(USB_ENDPOINT_TYPE_INTERRUPT);
  Put16(b, 64);
  b.push_back(1); // bInterval
  return b;
}

std::string HexText(const Bytes &b) {
  std::string out;
  char two[3];
  for (uint8_t v : b) {
    snprintf(two, sizeof two, "%02X", v);
    out += two;
  }
  return out;
}

std::string ErrName(int err) {
  const char *name = strerrorname_np(err);
  return name != nullptr ? name : "errno " + std::to_string(err);
}

// "= 64" or "= EPIPE".
std::string ResultText(long result, int err) {
  return result < 0 ? "= " + ErrName(err) : "= " + std::to_string(result);
}

// Puts a socket where the node file was: opening it fails (ENXIO), and umockdev, which finds
// a file there, does not fall back to the machine's own /dev.
void BlockNode(const std::string &file) {
  unlink(file.c_str());
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (file.size() >= sizeof addr.sun_path)
    return;
  memcpy(addr.sun_path, file.c_str(), file.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return;
  bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
  close(fd);
}

// A device on the bus now (not unplugged, not gone after a reset).
bool Present(const vusb::Device &d) { return !d.unplugged && !d.gone; }

} // namespace

UsbfsBed::UsbfsBed() {
  testbed_ = umockdev_testbed_new();
  if (testbed_ == nullptr) {
    error_ = "umockdev_testbed_new failed";
    return;
  }
  gchar *root = umockdev_testbed_get_root_dir(testbed_);
  root_ = root;
  g_free(root);

  std::map<int, int> ports; // per bus
  std::unique_lock<std::mutex> lock(mutex_);
  for (int id = 0; id < vusb::DeviceCount(); id++) {
    const struct usb_device *u = vusb::UsbDevice(id);
    if (u == nullptr)
      continue;
    const int bus = atoi(u->bus->dirname);
    const int devnum = u->devnum;
    const int port = ++ports[bus];
    char path[64];
    snprintf(path, sizeof path, "/dev/bus/usb/%03d/%03d", bus, devnum);
    // The kernel's name of the device, as the virtual bus gives it to the hidraw backend.
    char name[32];
    if (hidraw_sys_device_name(bus, devnum, name, sizeof name) != 0)
      snprintf(name, sizeof name, "%d-%d", bus, port);
    char sys[128];
    snprintf(sys, sizeof sys, "/devices/pci0000:00/0000:00:14.0/usb%d/%s", bus, name);
    char text[4096];
    snprintf(text, sizeof text,
             "P: %s\n"
             "N: %s=%s\n"
             "E: DEVNAME=%s\n"
             "E: DEVTYPE=usb_device\n"
             "E: SUBSYSTEM=usb\n"
             "E: BUSNUM=%03d\n"
             "E: DEVNUM=%03d\n"
             "A: busnum=%d\n"
             "A: devnum=%d\n"
             "A: dev=189:%d\n"
             "A: idVendor=%04x\n"
             "A: idProduct=%04x\n",
             sys, path + 5, HexText(Descriptors(*u)).c_str(), path, bus, devnum, bus, devnum,
             (bus - 1) * 128 + devnum - 1, u->descriptor.idVendor, u->descriptor.idProduct);
    GError *err = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_, text, &err)) {
      error_ = std::string("adding ") + path + ": " + err->message;
      g_error_free(err);
      return;
    }
    if (!Attach(id, path, false) || !AddHidraw(id, *u, name, sys))
      return;
  }
}

bool UsbfsBed::Attach(int device, const std::string &path, bool hidraw) {
  auto node = std::make_unique<NodeContext>(NodeContext{this, device, path, hidraw});
  UMockdevIoctlBase *handler = umockdev_ioctl_base_new();
  g_signal_connect(handler, "handle-ioctl", G_CALLBACK(OnIoctl), node.get());
  g_signal_connect(handler, "client-connected", G_CALLBACK(OnConnected), node.get());
  handlers_.push_back(handler);
  nodes_.push_back(std::move(node));
  GError *err = nullptr;
  if (!umockdev_testbed_attach_ioctl(testbed_, path.c_str(), handler, &err)) {
    error_ = "attaching to " + path + ": " + err->message;
    g_error_free(err);
    return false;
  }
  return true;
}

bool UsbfsBed::AddHidraw(int device, const struct usb_device &u, const char *name,
                         const char *sys) {
  char node[64];
  if (u.config == nullptr || u.config[0].interface == nullptr ||
      u.config[0].interface[0].altsetting == nullptr)
    return true;
  const int config = u.config[0].bConfigurationValue;
  const int ifnum = u.config[0].interface[0].altsetting[0].bInterfaceNumber;
  if (hidraw_sys_node(name, config, ifnum, node, sizeof node) != 0)
    return true; // no driver bound, or one that makes no node
  // The interface, the HID device the driver made on it, and its hidraw node, as sysfs shows
  // them; the USB device is also listed where the kernel lists it, under /sys/bus/usb/devices.
  char text[2048];
  snprintf(text, sizeof text,
           "P: %s/%s:%d.%d\n"
           "E: DEVTYPE=usb_interface\n"
           "E: SUBSYSTEM=usb\n"
           "E: DRIVER=usbhid\n"
           "A: bInterfaceNumber=%02x\n"
           "\n"
           "P: %s/%s:%d.%d/0003:%04X:%04X.%04X\n"
           "E: SUBSYSTEM=hid\n"
           "\n"
           "P: %s/%s:%d.%d/0003:%04X:%04X.%04X/hidraw/%s\n"
           "N: %s\n"
           "E: DEVNAME=%s\n"
           "E: SUBSYSTEM=hidraw\n"
           "A: dev=241:%d\n",
           sys, name, config, ifnum, ifnum, sys, name, config, ifnum, u.descriptor.idVendor,
           u.descriptor.idProduct, device + 1, sys, name, config, ifnum, u.descriptor.idVendor,
           u.descriptor.idProduct, device + 1, node + 5, node + 5, node, device);
  GError *err = nullptr;
  if (!umockdev_testbed_add_from_string(testbed_, text, &err)) {
    error_ = std::string("adding ") + node + ": " + err->message;
    g_error_free(err);
    return false;
  }
  std::error_code ec;
  const std::filesystem::path devices = std::filesystem::path(root_) / "sys/bus/usb/devices";
  std::filesystem::create_directories(devices, ec);
  const std::filesystem::path link = devices / name;
  if (!std::filesystem::exists(link, ec))
    std::filesystem::create_directory_symlink(std::string("../../..") + sys, link, ec);
  return Attach(device, node, true);
}

UsbfsBed::~UsbfsBed() {
  ProcessEnded();
  if (testbed_ != nullptr) {
    for (const auto &node : nodes_)
      umockdev_testbed_detach_ioctl(testbed_, node->path.c_str(), nullptr);
    g_object_unref(testbed_);
  }
  for (UMockdevIoctlBase *h : handlers_)
    g_object_unref(h);
}

std::string UsbfsBed::Node(int device) const {
  for (const auto &node : nodes_)
    if (node->device == device)
      return node->path;
  return "";
}

std::vector<std::string> UsbfsBed::Environment() const {
  return {"UMOCKDEV_DIR=" + root_, "LD_PRELOAD=libumockdev-preload.so.0"};
}

const std::vector<std::string> &UsbfsBed::Wire(int device) { return wire_[device]; }

int UsbfsBed::Opens(int device) { return opens_[device]; }

gboolean UsbfsBed::OnIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer data) {
  auto *node = static_cast<NodeContext *>(data);
  node->bed->Serve(*node, client);
  return TRUE;
}

void UsbfsBed::OnConnected(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer data) {
  auto *node = static_cast<NodeContext *>(data);
  node->bed->Connected(*node, client);
}

void UsbfsBed::Connected(NodeContext &node, UMockdevIoctlClient *client) {
  std::lock_guard<std::mutex> lock(mutex_);
  // umockdev signals no closed node; a node the process closed shows as a client that is no
  // longer connected, and its handle is closed before the next node is opened: hidraw nodes
  // first, as the utility closes them before the device's usbfs node.
  for (auto it = hidrawFds_.begin(); it != hidrawFds_.end();) {
    if (umockdev_ioctl_client_get_connected(it->first)) {
      ++it;
      continue;
    }
    CloseHidraw(it->second, it->first);
    it = hidrawFds_.erase(it);
  }
  for (auto it = handles_.begin(); it != handles_.end();) {
    if (umockdev_ioctl_client_get_connected(it->first)) {
      ++it;
      continue;
    }
    // The process closed a device's hidraw node before its usbfs node, even when umockdev has
    // not yet noticed the first (it opens one device at a time, so any open one is this one's).
    for (auto &[hidrawClient, fd] : hidrawFds_)
      CloseHidraw(fd, hidrawClient);
    hidrawFds_.clear();
    Close(it->second, it->first);
    it = handles_.erase(it);
  }
  g_object_ref(client);
  if (node.hidraw) {
    hidrawFds_.emplace(client, hidraw_sys_open(node.path.c_str()));
    return;
  }
  handles_.emplace(client, nullptr);
  opens_[node.device]++;
}

void UsbfsBed::CloseHidraw(int fd, UMockdevIoctlClient *client) {
  if (fd >= 0)
    hidraw_sys_close(fd);
  g_object_unref(client);
}

void UsbfsBed::Close(usb_dev_handle *handle, UMockdevIoctlClient *client) {
  if (handle != nullptr)
    usb_close(handle);
  g_object_unref(client);
}

void UsbfsBed::ProcessEnded() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto &[client, fd] : hidrawFds_)
    CloseHidraw(fd, client);
  hidrawFds_.clear();
  for (auto &[client, handle] : handles_)
    Close(handle, client);
  handles_.clear();
}

usb_dev_handle *UsbfsBed::Handle(NodeContext &node, UMockdevIoctlClient *client, int &err) {
  usb_dev_handle *&h = handles_[client];
  if (h == nullptr) {
    errno = 0;
    h = usb_open(vusb::UsbDevice(node.device));
    if (h == nullptr)
      err = errno != 0 ? errno : ENODEV;
  }
  return h;
}

void UsbfsBed::Serve(NodeContext &node, UMockdevIoctlClient *client) {
  std::lock_guard<std::mutex> lock(mutex_);
  const unsigned long request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
  std::vector<UMockdevIoctlData *> resolved;
  bool fault = false;
  // The memory behind a pointer of the caller's argument, as a local copy that is written back
  // when the ioctl completes.
  auto resolve = [&](UMockdevIoctlData *parent, size_t offset, size_t len) -> uint8_t * {
    GError *error = nullptr;
    UMockdevIoctlData *d = umockdev_ioctl_data_resolve(parent, offset, len, &error);
    if (d == nullptr) {
      if (error != nullptr)
        g_error_free(error);
      fault = true;
      return nullptr;
    }
    resolved.push_back(d);
    return d->data;
  };

  long result = -1;
  int err = 0;
  std::string text;
  char b[128];
  // A call on the bus: its result is 0 or more, or -errno.
  auto take = [&](int ret) {
    result = ret < 0 ? -1 : ret;
    err = ret < 0 ? -ret : 0;
  };
  vusb::Device &dev = vusb::Dev(node.device);

  if (node.hidraw) {
    // HIDIOCSFEATURE(len) and HIDIOCGFEATURE(len): the length is part of the request number.
    const unsigned nr = _IOC_NR(request);
    const size_t len = _IOC_SIZE(request);
    const auto fdIt = hidrawFds_.find(client);
    if (_IOC_TYPE(request) != 'H' || (nr != 0x06 && nr != 0x07) || fdIt == hidrawFds_.end()) {
      err = ENOTTY;
      snprintf(b, sizeof b, "ioctl 0x%lx ", request);
      text = b + ResultText(result, err);
    } else if (uint8_t *data = resolve(arg, 0, len); data != nullptr) {
      take(fdIt->second < 0 ? fdIt->second
                            : hidraw_sys_feature(fdIt->second, nr == 0x06, data, len));
      snprintf(b, sizeof b, "%s %02x /%zu ", nr == 0x06 ? "SFEATURE" : "GFEATURE", data[0], len);
      text = b + ResultText(result, err);
    }
  } else {
    switch (request) {
    case USBDEVFS_CONNECTINFO: {
      auto *ci =
          reinterpret_cast<usbdevfs_connectinfo *>(resolve(arg, 0, sizeof(usbdevfs_connectinfo)));
      if (ci == nullptr)
        break;
      const struct usb_device *u = vusb::UsbDevice(node.device);
      ci->devnum = u != nullptr ? u->devnum : 0;
      ci->slow = 0;
      result = 0;
      snprintf(b, sizeof b, "CONNECTINFO = %u", ci->devnum);
      text = b;
      break;
    }
    case USBDEVFS_IOCTL: {
      auto *io = reinterpret_cast<usbdevfs_ioctl *>(resolve(arg, 0, sizeof(usbdevfs_ioctl)));
      if (io == nullptr)
        break;
      const unsigned long code = static_cast<unsigned int>(io->ioctl_code);
      if (code == USBDEVFS_DISCONNECT) {
        usb_dev_handle *h = Handle(node, client, err);
        if (h != nullptr)
          take(usb_detach_kernel_driver_np(h, io->ifno));
        snprintf(b, sizeof b, "DISCONNECT %d ", io->ifno);
      } else if (code == USBDEVFS_HUB_PORTINFO) {
        // No device here is a hub. This request ends enumeration, so a device that is not to
        // be opened loses its node now.
        err = ENOTTY;
        if (dev.faults.openErrno != 0)
          BlockNode(root_ + node.path);
        snprintf(b, sizeof b, "PORTINFO %d ", io->ifno);
      } else {
        err = ENOTTY;
        snprintf(b, sizeof b, "IOCTL %d 0x%lx ", io->ifno, code);
      }
      text = b + ResultText(result, err);
      break;
    }
    case USBDEVFS_GETDRIVER: {
      auto *gd =
          reinterpret_cast<usbdevfs_getdriver *>(resolve(arg, 0, sizeof(usbdevfs_getdriver)));
      if (gd == nullptr)
        break;
      usb_dev_handle *h = Handle(node, client, err);
      if (h != nullptr)
        take(usb_get_driver_np(h, static_cast<int>(gd->interface), gd->driver, sizeof gd->driver));
      snprintf(b, sizeof b, "GETDRIVER %u = ", gd->interface);
      text = b + (result == 0 ? std::string(gd->driver) : ErrName(err));
      break;
    }
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE: {
      auto *value = reinterpret_cast<unsigned int *>(resolve(arg, 0, sizeof(unsigned int)));
      if (value == nullptr)
        break;
      usb_dev_handle *h = Handle(node, client, err);
      const int v = static_cast<int>(*value);
      const char *name = "";
      if (request == USBDEVFS_SETCONFIGURATION) {
        name = "SETCONFIGURATION";
        if (h != nullptr)
          take(usb_set_configuration(h, v));
      } else if (request == USBDEVFS_CLAIMINTERFACE) {
        name = "CLAIMINTERFACE";
        if (h != nullptr)
          take(usb_claim_interface(h, v));
      } else {
        name = "RELEASEINTERFACE";
        if (h != nullptr)
          take(usb_release_interface(h, v));
      }
      snprintf(b, sizeof b, "%s %d ", name, v);
      text = b + ResultText(result, err);
      break;
    }
    case USBDEVFS_SETINTERFACE: {
      auto *si =
          reinterpret_cast<usbdevfs_setinterface *>(resolve(arg, 0, sizeof(usbdevfs_setinterface)));
      if (si == nullptr)
        break;
      usb_dev_handle *h = Handle(node, client, err);
      if (h != nullptr)
        take(usb_set_altinterface(h, static_cast<int>(si->altsetting)));
      snprintf(b, sizeof b, "SETINTERFACE %u/%u ", si->interface, si->altsetting);
      text = b + ResultText(result, err);
      break;
    }
    case USBDEVFS_CONTROL: {
      auto *ct =
          reinterpret_cast<usbdevfs_ctrltransfer *>(resolve(arg, 0, sizeof(usbdevfs_ctrltransfer)));
      if (ct == nullptr)
        break;
      uint8_t *data = nullptr;
      if (ct->wLength > 0) {
        data = resolve(resolved.back(), offsetof(usbdevfs_ctrltransfer, data), ct->wLength);
        if (data == nullptr)
          break;
      }
      usb_dev_handle *h = Handle(node, client, err);
      const bool stringRequest = ct->bRequestType == USB_ENDPOINT_IN &&
                                 ct->bRequest == USB_REQ_GET_DESCRIPTOR &&
                                 (ct->wValue >> 8) == USB_DT_STRING;
      if (h == nullptr) {
        // err set by the failed open
      } else if (stringRequest) {
        const int index = ct->wValue & 0xFF;
        Bytes desc;
        if (index == 0) {
          // The language table. Faults of string reads hit the string itself, so that the bus
          // sees the same string reads on both stacks.
          if (!Present(dev))
            err = ENODEV;
          else
            desc = vusb::LanguageTable();
        } else {
          char text8[256];
          const int ret = usb_get_string_simple(h, index, text8, sizeof text8);
          if (ret < 0)
            err = -ret;
          else
            desc = vusb::StringDescriptor(dev.strings.at(index));
        }
        if (err == 0) {
          const size_t n = desc.size() < ct->wLength ? desc.size() : ct->wLength;
          memcpy(data, desc.data(), n);
          result = static_cast<long>(n);
        }
        snprintf(b, sizeof b, "STRING %d lang %04x /%u t%u ", index, ct->wIndex, ct->wLength,
                 ct->timeout);
        text = b + ResultText(result, err);
      } else {
        take(usb_control_msg(h, ct->bRequestType, ct->bRequest, ct->wValue, ct->wIndex,
                             reinterpret_cast<char *>(data), ct->wLength,
                             static_cast<int>(ct->timeout)));
        snprintf(b, sizeof b, "CONTROL %02x %02x %04x %04x /%u t%u ", ct->bRequestType,
                 ct->bRequest, ct->wValue, ct->wIndex, ct->wLength, ct->timeout);
        text = b + ResultText(result, err);
      }
      break;
    }
    default:
      err = ENOTTY;
      snprintf(b, sizeof b, "ioctl 0x%lx ", request);
      text = b + ResultText(result, err);
      break;
    }
  }
  if (fault) {
    result = -1;
    err = EFAULT;
    snprintf(b, sizeof b, "ioctl 0x%lx = EFAULT", request);
    text = b;
  }
  if (result < 0 && err == 0)
    err = EIO;
  wire_[node.device].push_back(text);
  umockdev_ioctl_client_complete(client, result, err);
  for (UMockdevIoctlData *d : resolved)
    g_object_unref(d);
}

} // namespace realstack
