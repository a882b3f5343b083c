#include "pause.h"

#include "stop.h"

void ProtocolSleep(unsigned int ms) {
  if (ProtocolAbandoned())
    return;
  PlatformSleep(ms);
}
