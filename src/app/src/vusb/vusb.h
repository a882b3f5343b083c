// The virtual USB bus and its virtual clock.
#pragma once

#include <vector>

namespace vusb {

// Every wait the utility's sleep helper was asked for, in milliseconds, in order.
const std::vector<unsigned> &Waits();
void ClearWaits();

// Removes every device and clears the logs.
void Reset();

} // namespace vusb
