// What the utility does with one PCT controller.
#pragma once

#include "../transport/hid.h"

// Carries out FunctionMode on the controller; always 1.
int SetPCTDevices(hid_device *dev);

// The number a controller stores for the position mode a user asks for (1 digitizer, 2 mouse,
// 3 hybrid-d, 4 hybrid-m): a legacy controller (isLegacy 1) has one hybrid mode, 4; current
// firmware that does not qualify (see QualifiesForHybridOrder) numbers the two hybrids the other
// way round. Other values are returned as they are.
int StoredPositionMode(int requested, int isLegacy, int chip, int fwRev);

// Whether current-generation firmware numbers the hybrid modes as they are asked for (3
// hybrid-d, 4 hybrid-m).
bool QualifiesForHybridOrder(int chip, int fwRev);

// The position mode a user would have asked for to get stored number stored: "digitizer",
// "mouse", "hybrid-d", "hybrid-m", or "hybrid" where the controller cannot tell which (a legacy
// controller's 4; firmware not read, chip 0); "unknown" outside 1 to 4.
const char *PositionModeName(int stored, int isLegacy, int chip, int fwRev);

// Whether a PCT controller that stores position mode stored and enumerates under product ID pid
// is in the site's mode site (1 to 4) as a run decides it: the number it stores for that mode
// and, on a current-generation controller, that mode's product ID.
bool InSiteMode(int stored, int pid, int isLegacy, int chip, int fwRev, int site);
