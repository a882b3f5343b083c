// panelcfg's real-time wait behind ProtocolSleep.
#include <cerrno>
#include <ctime>

#include "pause.h"
#include "stop.h"

void PlatformSleep(unsigned int ms) {
  struct timespec req = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  struct timespec rem = {};
  // A signal ends the pause only when it abandons the protocol; otherwise the rest is waited.
  while (nanosleep(&req, &rem) != 0 && errno == EINTR && !ProtocolAbandoned())
    req = rem;
}
