// The one pass over the machine's USB devices.
#pragma once

#include <usb.h>

// Handles every supported device on every bus; returns the number of PCT controllers handed
// to the configuration step.
int FindMatchProduct();

// Length of the string descriptor that carries the PCT signature, 0 when absent or unreadable.
int ChkPCTString(usb_dev_handle *hdlr);
