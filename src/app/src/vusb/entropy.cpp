// The random draw for a new serial number on the virtual bus: the kernel's random bytes, or the
// recorded draw on a replay.
#include "../panelcfg/support/support.h"
#include "../panelcfg/transport/entropy_sys.h"
#include "internal.h"

void entropy_sys_draw(unsigned char *buf, int blocks) {
  if (vusb::detail::ReplayActive())
    return vusb::detail::ReplayRandom(buf, blocks);
  GenerateRand(buf, blocks);
}
