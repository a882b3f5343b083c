// The device identity block: home IDs, firmware revision and serial number.
#pragma once

#include "../base/record.h"
#include "../transport/hid.h"

#define MOUSE_PID 0x9969
#define HYBRID_PID 0x9968
#define SN_ADDR 12

// Reads the block into DevInfo (serial number, home IDs, firmware revision recorded), with the
// read's retry budget. Returns the last parameter read's result: 1 read, 2 checksum wrong (an
// empty block reads so), 0 failed.
int ReadIdentityBlock(hid_device *DeviceHandle);
unsigned char GetMySN(hid_device *DeviceHandle);
// Whether the block just read into DevInfo is to be written again: the firmware changed since it
// was written, or its home IDs are missing or a mode's product ID.
bool IdentityNeedsRewrite();
unsigned char SetMySN(hid_device *DeviceHandle);
int GetDefaultPID(int VendorID);
void GenerateSreialNumber(unsigned char *SN);
unsigned char ChkSNFlash(hid_device *DeviceHandle);

// The serial filter of a recording (base/record.h): the serial number of every identity block
// whose checksum holds, in a parameter write or in the answer to an identity-block read, becomes
// "REDACTED" with the checksum made to fit, and the random draw for a new serial number draws it.
void ReplaceSerials(RecordedBytes kind, unsigned char *data, size_t len);
