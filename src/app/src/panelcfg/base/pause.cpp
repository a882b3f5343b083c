#include "pause.h"

#include "record.h"
#include "stop.h"

void ProtocolSleep(unsigned int ms) {
  if (ProtocolAbandoned())
    return;
  RecordPause(ms);
  PlatformSleep(ms);
}
