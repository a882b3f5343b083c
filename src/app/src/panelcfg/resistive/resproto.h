// The ASCII command protocol of resistive controllers in feature report 1.
#pragma once

#include "../device/hid.h"

// Support address named in the unsupported-firmware message.
#define RES_SUPPORT_ADDRESS "support@panelcfg.invalid"

unsigned char GetFirmware(hid_device *dhandle, char *firmware_ver);
int CheckResFWVer(hid_device *dev);
int GetResRotation(hid_device *dhandle);
unsigned char SetResRotation(hid_device *dhandle, int Value);
unsigned char PermanentParameter(hid_device *dhandle);
unsigned char ResetResDevice(hid_device *dhandle);
int HextoInt(const char *buf, int Len);
