// The PCT controllers' feature reports: report IDs, the requests by command, and the pauses and
// retry budgets of the protocol. Every request the utility sends a PCT controller is built here.
#pragma once

#include <cstring>

// A feature report of a PCT controller; byte 0 is the report ID.
constexpr int kPctReportSize = 64;
using PctReport = unsigned char[kPctReportSize];

// Report IDs.
constexpr unsigned char kPctCommandReport = 0x08;  // commands and writes
constexpr unsigned char kPctReadReport = 0x06;     // read requests
constexpr unsigned char kPctReplyReport = 0x07;    // the answer to a read request
constexpr unsigned char kPctIdentityReport = 0xF2; // generation and firmware identity (read)
constexpr unsigned char kPctUsbIdReport = 0xF3;    // new USB IDs (write)

// Device modes of set_device_mode / get_device_mode.
constexpr unsigned char kPctCommandMode = 0x90;
constexpr unsigned char kPctNormalMode = 0x01;

// Bytes read of the identity report: the generation test reads more than the firmware query.
constexpr int kPctGenerationReadLength = 0x20;
constexpr int kPctFirmwareReadLength = 16;

// Where the data of a read answer or a parameter write starts, by generation.
constexpr int kPctLegacyDataOffset = 4;
constexpr int kPctCurrentDataOffset = 8;
inline int PctDataOffset(bool legacy) {
  return legacy ? kPctLegacyDataOffset : kPctCurrentDataOffset;
}

// Length of a read request: a whole report for the legacy generation, eight bytes otherwise.
inline int PctReadRequestLength(bool legacy) { return legacy ? kPctReportSize : 8; }

// The parameter area read and cleared as a whole.
constexpr unsigned char kPctWholeParamArea = 0x40;

// ---- Pauses (ms) and retry budgets ----------------------------------------------------------
constexpr int kDeviceModeAttempts = 20;        // set_device_mode until get_device_mode agrees
constexpr unsigned kDeviceModeSettleMs = 5;    // after set_device_mode
constexpr unsigned kDeviceModeReplyMs = 10;    // get_device_mode: request to answer
constexpr unsigned kParamsReplyMs = 10;        // parameter read: request to answer
constexpr unsigned kPosConfigReplyMs = 20;     // position configuration read: request to answer
constexpr unsigned kParamsWriteSettleMs = 100; // after a parameter write
constexpr unsigned kEmptyReplyMs = 50;         // clearing the parameter area: read-back delay
constexpr int kIdentityReadAttempts = 11;      // identity block reads before it counts as absent
constexpr unsigned kIdentityRetryMs = 300;     // between identity block reads
constexpr int kSwitchAttemptLimit = 5;         // failed ID and mode writes past this end a switch
constexpr unsigned kUsbIdRetryMs = 200;        // between USB ID writes
constexpr unsigned kModeSettleMs = 200;        // after a mode switch is read back

// ---- Requests ---------------------------------------------------------------------------------
// Each builder clears buf, fills in the request and returns the length to send.

// Command 0x91, register 0x82: the device mode (kPctCommandMode or kPctNormalMode).
inline int BuildSetDeviceMode(PctReport &buf, unsigned char mode) {
  memset(buf, 0, sizeof buf);
  buf[0] = kPctCommandReport;
  buf[1] = 0x91;
  buf[2] = 0x02;
  buf[4] = 0x82;
  buf[5] = mode;
  return 6;
}

// Read request 0x73 0x0C: the device mode, answered in byte 4.
inline int BuildGetDeviceMode(PctReport &buf) {
  memset(buf, 0, sizeof buf);
  buf[0] = kPctReadReport;
  buf[1] = 0x73;
  buf[2] = 0x0C;
  return 8;
}

// The controller's own reset: legacy 0x85 0x01 (in command mode), current 0x84 0x09.
inline int BuildReset(PctReport &buf, bool legacy) {
  memset(buf, 0, sizeof buf);
  buf[0] = kPctCommandReport;
  if (legacy) {
    buf[1] = 0x85;
    buf[2] = 0x01;
    buf[4] = 0x02;
  } else {
    buf[1] = 0x84;
    buf[2] = 0x09;
  }
  return kPctReportSize;
}

// The stored position mode: legacy command 0x91, register 0xC9, four bytes little-endian (in
// command mode); current 0x84 0xC9 with one byte.
inline int BuildWritePosMode(PctReport &buf, bool legacy, unsigned int value) {
  memset(buf, 0, sizeof buf);
  buf[0] = kPctCommandReport;
  if (legacy) {
    buf[1] = 0x91;
    buf[2] = 0x05;
    buf[4] = 0xC9;
    buf[5] = static_cast<unsigned char>(value);
    buf[6] = static_cast<unsigned char>(value >> 8);
    buf[7] = static_cast<unsigned char>(value >> 16);
    buf[8] = static_cast<unsigned char>(value >> 24);
  } else {
    buf[1] = 0x84;
    buf[2] = 0xC9;
    buf[4] = static_cast<unsigned char>(value);
  }
  return kPctReportSize;
}

// A read request for len bytes, answered in kPctReplyReport.
inline int BuildRead(PctReport &buf, bool legacy, unsigned char command, int len) {
  memset(buf, 0, sizeof buf);
  buf[0] = kPctReadReport;
  buf[1] = command;
  buf[2] = static_cast<unsigned char>(len);
  return PctReadRequestLength(legacy);
}

// Read request 0xA2: len bytes of the position configuration.
inline int BuildReadPosConfig(PctReport &buf, bool legacy, int len) {
  return BuildRead(buf, legacy, 0xA2, len);
}

// Read request 0xA1: len bytes of the parameter area.
inline int BuildReadParams(PctReport &buf, bool legacy, int len) {
  return BuildRead(buf, legacy, 0xA1, len);
}

// Write 0xA8: len bytes of data into the parameter area; a write of kPctWholeParamArea bytes
// of zeros clears it.
inline int BuildWriteParams(PctReport &buf, bool legacy, const unsigned char *data, int len) {
  memset(buf, 0, sizeof buf);
  buf[0] = kPctCommandReport;
  buf[1] = 0xA8;
  buf[2] = static_cast<unsigned char>(len);
  if (data != nullptr)
    memcpy(buf + PctDataOffset(legacy), data, static_cast<size_t>(len));
  return kPctReportSize;
}

// Report 0xF3, command 0x08 0x00 0x02: the USB vendor and product ID the controller takes at
// its next enumeration, little-endian.
inline int BuildWriteUsbId(PctReport &buf, int vid, int pid) {
  memset(buf, 0, sizeof buf);
  buf[0] = kPctUsbIdReport;
  buf[1] = 0x08;
  buf[3] = 0x02;
  buf[6] = static_cast<unsigned char>(vid);
  buf[7] = static_cast<unsigned char>(vid >> 8);
  buf[8] = static_cast<unsigned char>(pid);
  buf[9] = static_cast<unsigned char>(pid >> 8);
  return kPctReportSize;
}
