// The one pass over the machine's USB devices.
#pragma once

#include <usb.h>

// Handles every supported device on every bus; returns the number of PCT controllers handed
// to the configuration step.
int FindMatchProduct();

// Supported devices the last scan or recovery did not visit because a stop signal came first.
extern int UnvisitedCnt;

// Resets every supported controller whose first interface has no kernel driver bound (a run
// that was killed while it held the controller): it is claimed without a detach, reset in its
// own form (a PCT controller after its generation is read; a resistive one with "RR"),
// released and closed, and named on one line. Nothing else is sent to any device. Returns the
// number of controllers reset.
int RecoverControllers();

// Length of the string descriptor that carries the PCT signature, 0 when absent or unreadable.
int ChkPCTString(usb_dev_handle *hdlr);

// Reads string descriptor index into buf (zeroed first, always terminated); negative on failure.
int ReadString(usb_dev_handle *hdlr, int index, char *buf, size_t size);

// A fresh enumeration of every bus and device.
void Enumerate();

// Prints one line for every USB device on every bus: bus and device number, vendor:product,
// the family CheckUSBID gives it and, for a supported device, its manufacturer and product
// strings. Only supported devices are opened, and only to read those two strings: no driver is
// detached, nothing is claimed, no feature report is sent and nothing is reset. With json, the
// same facts as one JSON document.
void ListDevices(bool json = false);

// Reads every supported controller through its kernel driver's hidraw node and prints one line
// for each (or, with json, one JSON document): generation, firmware, position mode and identity
// block of a PCT controller, firmware and rotation of a resistive one, or why it cannot be read.
// Only read requests are sent; no driver is detached, nothing is claimed or reset. Returns 0
// when every controller was read, 1 when one could not be.
int ReportStatus(bool json);

// Whether the scans handle this device: every device, or after SelectDevice only the one chosen.
bool DeviceSelected(const struct usb_bus *bus, const struct usb_device *devs);

// Why SelectDevice found no device.
enum SelectFailure { SELECT_OK = 0, SELECT_BAD_SPEC, SELECT_NO_DEVICE };

// Chooses the one device every later scan handles (OneDevice): spec is "BUS:DEV" as --list
// prints them (leading zeros optional), the kernel's name of the USB device ("1-1.4"), or a
// hidraw node ("hidraw0", "/dev/hidraw0"). The device must be on the bus now.
SelectFailure SelectDevice(const char *spec);

// What --status reads of one controller, for the hotplug handler.
enum { READ_ID_NOT_READ = 0, READ_ID_VALID, READ_ID_OUTDATED, READ_ID_INVALID, READ_ID_UNREADABLE };
struct ControllerReading {
  int family; // USBID_PCT or USBID_RES; USBID_NONE: not supported
  int vid;    // as enumerated now
  int pid;
  bool readable;       // read in full
  bool failure;        // not readable because a read failed (not a controller no run configures)
  char errorText[256]; // why not readable
  int generation;      // PCT: 1 legacy, 2 or 3 current, 0 not read
  int chip;            // PCT firmware identity: chip and revision, 0 not read
  int fwRev;
  int mode;     // PCT position mode 1..4 as stored, 0 not read
  int identity; // READ_ID_*
  bool resFirmwareSupported;
  int rotation; // resistive, -1 not read
};

// How --status words an identity state (READ_ID_*): "identity valid", "identity outdated",
// "identity absent or checksum wrong", "identity unreadable".
const char *IdentityPhrase(int identity);

// Reads the device SelectDevice chose as --status does (through its kernel driver's hidraw
// node, read requests only) into *out; false when it is no longer on the bus. With a site mode
// (1 to 4), a PCT controller's position mode is read before its identity block, and the
// identity block only when the controller is in that mode (READ_ID_NOT_READ otherwise): a
// controller off the site's mode gets a run whatever its identity block holds.
bool ReadSelectedController(ControllerReading *out, int site = 0);
