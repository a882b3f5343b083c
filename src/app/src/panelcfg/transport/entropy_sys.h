// The kernel's random bytes behind the draw for a new serial number. A program links one
// implementation: the kernel in the installed utility, the virtual bus (which hands back a
// recorded draw on a replay) in the simulator and the tests.
#pragma once

// Fills 16 * blocks bytes at buf with random bytes.
void entropy_sys_draw(unsigned char *buf, int blocks);
