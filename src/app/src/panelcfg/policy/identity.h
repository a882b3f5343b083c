// The device identity block: home IDs, firmware revision and serial number.
#pragma once

#include "../transport/hid.h"

#define MOUSE_PID 0x9969
#define HYBRID_PID 0x9968
#define SN_ADDR 12

unsigned char GetMySN(hid_device *DeviceHandle);
unsigned char SetMySN(hid_device *DeviceHandle);
int GetDefaultPID(int VendorID);
void GenerateSreialNumber(unsigned char *SN);
unsigned char ChkSNFlash(hid_device *DeviceHandle);
