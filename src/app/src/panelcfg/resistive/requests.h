// The resistive controllers' ASCII command frames in feature report 1, and the pauses and retry
// budgets of the protocol. Every request the utility sends a resistive controller is built here.
#pragma once

#include <cstdio>
#include <cstring>

constexpr unsigned char kResReport = 0x01;      // requests and answers
constexpr unsigned char kResStart = 0x01;       // first byte of a frame
constexpr unsigned char kResEnd = 0x0D;         // last byte of a frame
constexpr int kResRequestSize = 16;             // room for the longest request
constexpr int kResRotationParam = 0x43;         // the rotation parameter of GP and SP
constexpr size_t kResFirmwareAnswerLength = 20; // bytes fetched for the firmware answer
constexpr size_t kResStatusAnswerLength = 10;   // bytes fetched for other answers

// Commands.
constexpr const char *kResReadFirmware = "OI";
constexpr const char *kResGetParam = "GP";
constexpr const char *kResSetParam = "SP";
constexpr const char *kResMakePermanent = "PL";
constexpr const char *kResReset = "RR";

// ---- Pauses (ms) and retry budgets ----------------------------------------------------------
constexpr int kResFirmwareAttempts = 11;      // firmware query
constexpr unsigned kResFirmwareReplyMs = 300; // firmware query: request to answer
constexpr unsigned kResRetryMs = 300;         // after an attempt that got no usable answer
constexpr int kResWriteAttempts = 11;         // SP and PL, each until acknowledged
constexpr unsigned kResStatusReplyMs = 50;    // SP, PL and GP: request to answer
constexpr int kResRotationReadAttempts = 4;   // GP

// ---- Requests ---------------------------------------------------------------------------------
// Frame: report ID, the count of the bytes that follow, start byte, two command letters, the
// operands as upper-case hexadecimal, end byte. Returns the length to send.
inline int BuildResFrame(unsigned char (&buf)[kResRequestSize], const char *cmd,
                         const char *operands) {
  size_t nops = strnlen(operands, kResRequestSize - 6);
  memset(buf, 0, sizeof buf);
  buf[0] = kResReport;
  buf[1] = static_cast<unsigned char>(nops + 4);
  buf[2] = kResStart;
  buf[3] = static_cast<unsigned char>(cmd[0]);
  buf[4] = static_cast<unsigned char>(cmd[1]);
  // NOLINTNEXTLINE(bugprone-not-null-terminated-result): a frame, ended by kResEnd below
  memcpy(buf + 5, operands, nops);
  buf[5 + nops] = kResEnd;
  return static_cast<int>(nops + 6);
}

// GP: read the rotation parameter.
inline int BuildResGetRotation(unsigned char (&buf)[kResRequestSize]) {
  char operands[3];
  snprintf(operands, sizeof operands, "%02X", kResRotationParam);
  return BuildResFrame(buf, kResGetParam, operands);
}

// SP: set the rotation parameter to value (four hexadecimal digits).
inline int BuildResSetRotation(unsigned char (&buf)[kResRequestSize], int value) {
  char operands[7];
  snprintf(operands, sizeof operands, "%02X%04X", kResRotationParam,
           static_cast<unsigned>(value) & 0xFFFF);
  return BuildResFrame(buf, kResSetParam, operands);
}
