// Calls into the package's support library (libpanelsupport).
#pragma once

#include "configmem.h"

extern "C" {

// The options file every program of the package reads.
#define PANEL_OPTIONS_FILE "/opt/.touch_panel/options.ini"

// Fills config from PANEL_OPTIONS_FILE. Returns 1 when the record was filled, 0 otherwise
// (missing file silently; a malformed file with one line on standard error).
unsigned char Read_Config(ConfigMem *config);

// Same as Read_Config, from the options file at path.
unsigned char Read_Config_File(ConfigMem *config, const char *path);

// Encodes the Len-byte identity block in into out (Len bytes). offset is reserved and always 0.
void EncodeData(const unsigned char *in, unsigned char *out, int offset, int Len);

// Undoes EncodeData for a 32-byte block.
void DecodeData(const unsigned char *in, unsigned char *out);

// Fills 16 * blocks bytes at buf with random bytes from the kernel.
void GenerateRand(unsigned char *buf, int blocks);
}
