// PCT command set base: device mode, command mode, generation, firmware identity, reset.
#pragma once

#include "../transport/hid.h"

void set_device_mode(hid_device *handle, unsigned char mode);
unsigned char get_device_mode(hid_device *handle);
int enter_cmd_mode(hid_device *handle);
int leave_cmd_mode(hid_device *handle);
int GetIsLegacy(hid_device *handle);
int HexStrToInt(const char *Buffer, int Len);
int GetFwID(hid_device *dev);
// The firmware version text the last successful GetFwID read ("S1.2.04(r368)").
const char *LastFwVersion();
void ResetDevice(hid_device *dev);

enum ReadStep { READ_OK, READ_SEND_FAILED, READ_REPLY_FAILED };

// One read exchange: sends the request req (reqLen bytes), waits ms, and fetches the 64-byte
// reply report 0x07 into reply, cleared first. On READ_OK *got holds the reply's byte count.
ReadStep ReadReply(hid_device *dev, const unsigned char *req, int reqLen, unsigned int ms,
                   unsigned char (&reply)[64], int *got);
