// What the utility does with one PCT controller.
#pragma once

#include "../transport/hid.h"

// Carries out FunctionMode on the controller; always 1.
int SetPCTDevices(hid_device *dev);
