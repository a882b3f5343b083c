// The kernel's side of the hidraw backend: the USB devices' names in sysfs, their hidraw nodes
// and the two feature-report ioctls. A program links one implementation: sysfs and /dev in the
// installed utility, the virtual bus in the simulator and the tests.
#pragma once

#include <cstddef>

// Writes the kernel's name of the USB device busnum/devnum ("1-1.4") into name. Returns 0, or
// -ENOENT when no such device is listed (another negative errno when sysfs cannot be read).
int hidraw_sys_device_name(int busnum, int devnum, char *name, size_t size);

// The bus and device number of the USB device the kernel names deviceName ("1-1.4"). Returns 0,
// or -ENOENT when no such device is listed.
int hidraw_sys_device_numbers(const char *deviceName, int *busnum, int *devnum);

// Writes the kernel's name of the USB device ("1-1.4") whose interface has the hidraw node node
// ("/dev/hidraw0" or "hidraw0") into name. Returns 0, or -ENOENT when no such node is listed.
int hidraw_sys_node_device(const char *node, char *name, size_t size);

// Writes the path of the hidraw node that the kernel's HID driver made for interface ifnum of
// configuration config of USB device deviceName ("/dev/hidraw0") into node. Returns 0, or -ENOENT
// when the interface has none.
int hidraw_sys_node(const char *deviceName, int config, int ifnum, char *node, size_t size);

// Opens a hidraw node for reading and writing; returns the descriptor or a negative errno.
int hidraw_sys_open(const char *node);

// HIDIOCSFEATURE (set) or HIDIOCGFEATURE with length bytes at data, byte 0 the report ID.
// Returns what the ioctl returns (the bytes moved, byte 0 counted) or a negative errno.
int hidraw_sys_feature(int fd, bool set, unsigned char *data, size_t length);

void hidraw_sys_close(int fd);

// For a recording's description of the bus, read from sysfs alone (nothing is sent to the
// device): the kernel's name of USB device busnum/devnum ("1-1.4") into port, and the name of the
// kernel driver bound to interface ifnum of configuration config into driver ("" when none).
// Returns 0, or -ENOENT when no such device is listed.
int hidraw_sys_describe(int busnum, int devnum, int config, int ifnum, char *port, size_t portSize,
                        char *driver, size_t driverSize);
