#include "pause.h"

#include <cerrno>
#include <ctime>

void ProtocolSleep(unsigned int ms) {
  struct timespec req = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  struct timespec rem = {};
  while (nanosleep(&req, &rem) != 0 && errno == EINTR)
    req = rem;
}
