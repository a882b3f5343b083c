#include "../panelcfg/run/pause.h"
#include "vusb.h"

namespace vusb {
std::vector<unsigned> waits;
const std::vector<unsigned> &Waits() { return waits; }
void ClearWaits() { waits.clear(); }
} // namespace vusb

void ProtocolSleep(unsigned int ms) { vusb::waits.push_back(ms); }
