// The supported-device table and the classification of a USB device by its IDs.
#pragma once

struct MYHIDINFO {
  signed char VidCnt;
  signed char PidCnt;
  int Vids[5];  // resistive vendor IDs
  int Pids[26]; // resistive product IDs: 0..15 the old set, 16..25 the new set
};

extern MYHIDINFO cMyHidInfo;

void LoadVidPid();
unsigned char ChkOldPid(int Pid);
unsigned char ChkNewPid(int Pid);
unsigned char ChkAllPid(int Pid);
unsigned char ChkVid(int Vid);

enum { USBID_NONE = 0, USBID_RES = 1, USBID_PCT = 2 };

// 0 not supported, 1 resistive, 2 PCT (then DevInfo.VID/PID are set).
int CheckUSBID(int VID, int PID);

// The same family as CheckUSBID gives, without a trace and without touching DevInfo.
int ClassifyUSBID(int VID, int PID);
