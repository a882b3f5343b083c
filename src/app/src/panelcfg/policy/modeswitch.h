// Moving a PCT controller into a position mode.
#pragma once

#include "../transport/hid.h"

unsigned char SetCurrPOSMode(hid_device *dev, unsigned char mode);

// Whether the last SetCurrPOSMode reached the mode it was asked for (the controller read it back).
extern bool SwitchReached;
void SetDevtoDigitizer(hid_device *dev, char NotResetDevice);
void SetDevtoMouse(hid_device *dev, char NotResetDevice);
void SetDevtoHybrid1(hid_device *dev, char NotResetDevice);
void SetDevtoHybrid2(hid_device *dev, char NotResetDevice);
