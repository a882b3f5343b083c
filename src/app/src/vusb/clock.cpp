// The virtual clock: the simulator's and the tests' definition of the utility's sleep helper.
#include <cerrno>
#include <ctime>

#include "../panelcfg/base/pause.h"
#include "internal.h"

namespace vusb {
namespace {
std::vector<unsigned> waits;
bool realTime = false;
} // namespace

const std::vector<unsigned> &Waits() { return waits; }
void ClearWaits() { waits.clear(); }

unsigned TotalWaitMs() {
  unsigned total = 0;
  for (unsigned ms : waits)
    total += ms;
  return total;
}

void SetRealTime(bool on) { realTime = on; }
bool RealTime() { return realTime; }

} // namespace vusb

void PlatformSleep(unsigned int ms) {
  if (vusb::detail::ReplayActive())
    return vusb::detail::ReplayPause(ms);
  vusb::waits.push_back(ms);
  vusb::Entry e;
  e.kind = vusb::Kind::Wait;
  e.call = "wait";
  e.arg = static_cast<int>(ms);
  vusb::detail::Record(std::move(e));
  if (!vusb::realTime)
    return;
  struct timespec req = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  struct timespec rem = {};
  while (nanosleep(&req, &rem) != 0 && errno == EINTR)
    req = rem;
}
