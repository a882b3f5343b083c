#include <usb.h>

#include <cerrno>

#include "vusb.h"

struct usb_bus *usb_busses = nullptr;

namespace vusb {
void Reset() { ClearWaits(); }
} // namespace vusb

extern "C" {
void usb_init(void) {}
int usb_find_busses(void) { return 0; }
int usb_find_devices(void) { return 0; }
struct usb_bus *usb_get_busses(void) { return usb_busses; }
usb_dev_handle *usb_open(struct usb_device *) {
  errno = ENODEV;
  return nullptr;
}
int usb_close(usb_dev_handle *) { return 0; }
int usb_get_string_simple(usb_dev_handle *, int, char *, size_t) { return -ENODEV; }
int usb_get_driver_np(usb_dev_handle *, int, char *, unsigned int) { return -ENODEV; }
int usb_detach_kernel_driver_np(usb_dev_handle *, int) { return -ENODEV; }
int usb_set_configuration(usb_dev_handle *, int) { return -ENODEV; }
int usb_claim_interface(usb_dev_handle *, int) { return -ENODEV; }
int usb_set_altinterface(usb_dev_handle *, int) { return -ENODEV; }
int usb_release_interface(usb_dev_handle *, int) { return -ENODEV; }
int usb_control_msg(usb_dev_handle *, int, int, int, int, char *, int, int) { return -ENODEV; }
char *usb_strerror(void) { return const_cast<char *>("no device"); }
}
