// The random draw of the installed utility: the kernel's random bytes, through the support
// library.
#include "../support/support.h"
#include "entropy_sys.h"

void entropy_sys_draw(unsigned char *buf, int blocks) { GenerateRand(buf, blocks); }
