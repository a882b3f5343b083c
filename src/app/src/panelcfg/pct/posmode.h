// Position-mode and USB-ID commands of PCT controllers.
#pragma once

#include "../transport/hid.h"

char WritePOSMode(hid_device *dev, int Mode);
char ReadPOSConfig(hid_device *dhandle, unsigned char *Parames, int Len);
unsigned char GetPOSMode(hid_device *dev);
void SetPOSMode(hid_device *dev, int mode);
char WriteUSBID(hid_device *dev, int VID, int PID);
