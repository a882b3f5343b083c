#include "scan.h"

int FindMatchProduct() { return 0; }

int ChkPCTString(usb_dev_handle *) { return 0; }
