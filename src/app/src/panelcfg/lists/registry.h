// Registries of the panels handled, the list files written from them, and Util.conf. A run on
// one device (OneDevice) adds its rows to what each list file holds instead of replacing it.
#pragma once

#include <cstddef>
#include <span>

#define REG_ROWS 9
#define NAME_ROW 64
#define ID_ROW 20

extern char MatchProduct[REG_ROWS][NAME_ROW];
extern char ProductName[REG_ROWS][NAME_ROW];
extern char DevID[REG_ROWS][ID_ROW];
extern char rMatchProduct[REG_ROWS][NAME_ROW];
extern char rProductName[REG_ROWS][NAME_ROW];
extern char rDevID[REG_ROWS][ID_ROW];
extern int ManufCnt;
extern int DevIDCnt;
extern int rManufCnt;
extern int rDevIDCnt;

unsigned char SetManufacturerName(int cManufCnt, const char *mstr, const char *pstr);
int SetResManufacturerName(int cManufCnt, const char *mstr, const char *pstr);
unsigned char SetPCTDevID(int DevCnt, int vid, int pid);
unsigned char SetResDevID(int DevCnt, int vid, int pid);

void set_Manufacturer_list(int Cnt);
void set_Product_list(int Cnt);
void set_pct_devid_list(int Cnt);
void set_Res_Manufacturer_list(int Cnt);
void set_Res_Product_list(int Cnt);
void set_res_devid_list(int Cnt);

void CreateUtilityConfig(int mode);

// CreateUtilityConfig, telling whether Util.conf now records mode (its failure is reported as
// CreateUtilityConfig reports it).
bool WriteUtilityConfig(int mode);

// The position mode Util.conf records (POSMODE of its [SETUP] section, 1 to 4); 0 when the file
// is missing or names no such mode; -1 with errno set when something is at its path that cannot
// be read (a FIFO, a directory, a link, no permission).
int ReadUtilityConfig();

// Copies a device string into out, cut to fit, with control characters (below 0x20, and 0x7F)
// replaced by '?' so that no device can break a line.
void CleanDeviceText(char *out, unsigned long size, const char *in);

// Writes a device string into out as UTF-8, cut to fit without splitting a character, and
// returns its length. libusb reads a string descriptor as one byte per character (Latin-1; a
// character above 0xFF is already '?'), so every byte is decoded as Latin-1. With clean, the
// control characters (below 0x20, 0x7F, and 0x80 to 0x9F) become '?' so that no device can
// break a line of the reports. The list files keep the bytes as read (CleanDeviceText).
size_t DeviceTextUtf8(std::span<char> out, const char *in, bool clean);

// Empties every registry and counter.
void ClearRegistries();
