// The ASCII command protocol of resistive controllers in feature report 1.
#pragma once

#include "../transport/hid.h"

// Support address named in the unsupported-firmware message.
#define RES_SUPPORT_ADDRESS "support@panelcfg.invalid"

unsigned char GetFirmware(hid_device *dhandle, char *firmware_ver);
int CheckResFWVer(hid_device *dev);
// Whether panelcfg supports a firmware version GetFirmware read (the gate of CheckResFWVer).
bool ResFirmwareSupported(const char *version);
// The rotation value, read with the read's retry budget and printed on a line of its own; -1
// when no answer came. ReadResRotation reads it without printing.
int GetResRotation(hid_device *dhandle);
int ReadResRotation(hid_device *dhandle);
unsigned char SetResRotation(hid_device *dhandle, int Value);
unsigned char PermanentParameter(hid_device *dhandle);
unsigned char ResetResDevice(hid_device *dhandle);
int HextoInt(const char *buf, int Len);

// What every resistive controller the scan has opened goes through before its reset: under
// FM_ROTATION the rotation is set to 1, made permanent and read back; otherwise the firmware
// gate, and a rotation other than 0 set back to 0 and made permanent. Returns 1 when the
// controller passed the gate and is to be recorded, 0 otherwise. The caller records it and then
// resets it with ResetResDevice.
int RunResSequence(hid_device *dev);
