// The encoded, check-summed parameter block in PCT controller flash.
#pragma once

#include "../transport/hid.h"

unsigned short CheckSum(const unsigned char *pInt, int size);
int ReadParames(hid_device *dhandle, unsigned char *Parames, int Len);
int WriteParames(hid_device *dhandle, const unsigned char *Parames, int Len);
char EmptyParames(hid_device *dhandle);
