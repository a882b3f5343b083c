// The virtual bus's devices as usbfs device nodes under umockdev.
//
// A UsbfsBed makes one umockdev testbed with a node /dev/bus/usb/BBB/DDD for every device the
// virtual bus lists now. A node reads as the device's descriptors, as the kernel's usbfs nodes
// do, and every ioctl on it is answered by the same device the virtual bus simulates: a process
// started with the bed's environment (LD_PRELOAD of umockdev's preload library and
// UMOCKDEV_DIR) and linked to the system's libusb 0.1 talks to the virtual bus's controllers
// through the real library.
//
// How the usbfs requests map onto the virtual bus (one bus handle per opened node, made at the
// node's first request that is not part of enumeration):
//   USBDEVFS_CONNECTINFO               the device number of the bus's record
//   USBDEVFS_IOCTL + HUB_PORTINFO      ENOTTY: none of the devices is a hub
//   USBDEVFS_IOCTL + DISCONNECT        usb_detach_kernel_driver_np
//   USBDEVFS_GETDRIVER                 usb_get_driver_np
//   USBDEVFS_SETCONFIGURATION          usb_set_configuration
//   USBDEVFS_CLAIMINTERFACE            usb_claim_interface
//   USBDEVFS_SETINTERFACE              usb_set_altinterface
//   USBDEVFS_RELEASEINTERFACE          usb_release_interface
//   USBDEVFS_CONTROL, GET_DESCRIPTOR of a string
//                                      index 0: the language table (US English), always;
//                                      index n: the device's text n as UTF-16, once
//                                      usb_get_string_simple on the bus has said it can be
//                                      read (string faults apply there). Neither counts as a
//                                      control transfer of the bus (TransferFault::nth).
//   USBDEVFS_CONTROL, any other        usb_control_msg (feature reports, faults, time-outs)
//   anything else                      ENOTTY
// A device whose kernel driver has a hidraw node on the virtual bus also gets it here: its
// interface, HID device and hidraw entries in sysfs (and the device under /sys/bus/usb/devices),
// and a node /dev/hidrawN whose HIDIOCSFEATURE and HIDIOCGFEATURE ioctls go to the virtual bus's
// node (opened when the node is, closed when it is, before the device's usbfs node).
// A failed call answers the ioctl with -1 and the errno the bus set. Closing the node closes
// the bus handle (noticed when the next node is opened, or when the process has ended). A device
// whose faults.openErrno is set loses its node once enumeration is over (a socket takes its
// place), so that opening it fails as for a device unplugged in between.
//
// The handlers run on umockdev's worker thread. Every access to the virtual bus, from them and
// from the test, holds Lock().
#pragma once

#include <umockdev.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct usb_dev_handle;
struct usb_device;

namespace realstack {

class UsbfsBed {
public:
  // Builds the testbed from the devices the virtual bus lists. Error() tells when it failed.
  UsbfsBed();
  ~UsbfsBed();
  UsbfsBed(const UsbfsBed &) = delete;
  UsbfsBed &operator=(const UsbfsBed &) = delete;

  const std::string &Error() const { return error_; }
  const std::string &RootDir() const { return root_; }
  // The node path of a device ("/dev/bus/usb/001/002"), "" when it has none.
  std::string Node(int device) const;
  // Environment entries a child needs to see the testbed ("UMOCKDEV_DIR=...",
  // "LD_PRELOAD=...").
  std::vector<std::string> Environment() const;

  // The process on the testbed has ended: every node it had open is closed now.
  void ProcessEnded();

  // Holds the virtual bus against the handlers.
  std::unique_lock<std::mutex> Lock() { return std::unique_lock<std::mutex>(mutex_); }

  // The requests the device's node received, in order: "CONNECTINFO = 2",
  // "STRING 0 lang 0000 /255 t1000 = 4", "GETDRIVER 0 = ENODATA",
  // "CONTROL 21 09 0308 0000 /64 t5000 = 64" (/length, t time-out in ms) and so on. Callers
  // hold Lock().
  const std::vector<std::string> &Wire(int device);
  // How many times the device's node was opened. Callers hold Lock().
  int Opens(int device);

private:
  struct NodeContext {
    UsbfsBed *bed;
    int device;
    std::string path;    // /dev/bus/usb/BBB/DDD, or /dev/hidrawN
    bool hidraw = false; // a hidraw node
  };

  bool Attach(int device, const std::string &path, bool hidraw);
  bool AddHidraw(int device, const struct usb_device &u, const char *name, const char *sys);
  void CloseHidraw(int fd, UMockdevIoctlClient *client);

  static gboolean OnIoctl(UMockdevIoctlBase *base, UMockdevIoctlClient *client, gpointer data);
  static void OnConnected(UMockdevIoctlBase *base, UMockdevIoctlClient *client, gpointer data);

  void Serve(NodeContext &node, UMockdevIoctlClient *client);
  usb_dev_handle *Handle(NodeContext &node, UMockdevIoctlClient *client, int &err);
  void Connected(NodeContext &node, UMockdevIoctlClient *client);
  void Close(usb_dev_handle *handle, UMockdevIoctlClient *client);

  UMockdevTestbed *testbed_ = nullptr;
  std::vector<UMockdevIoctlBase *> handlers_;
  std::vector<std::unique_ptr<NodeContext>> nodes_;
  std::string root_;
  std::string error_;

  std::mutex mutex_;
  std::map<UMockdevIoctlClient *, usb_dev_handle *> handles_; // open nodes and their handles
  std::map<UMockdevIoctlClient *, int> hidrawFds_; // open hidraw nodes and the bus's descriptors
  std::map<int, std::vector<std::string>> wire_;
  std::map<int, int> opens_;
};

} // namespace realstack
