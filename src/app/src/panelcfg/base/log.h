// The levelled diagnostic log on standard output.
#pragma once

// 1 when the debug marker exists in PanelDir, else 0.
int EnableDebug();

// Level 0 "EE:", 1 "II:", 2 "CC:", 3 "panelcfg DD:" (only while DbgFlag is set).
void DebugMsg(int Level, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Hex dumps of whole groups of eight bytes at level 3.
void PrintData(const char *str, const unsigned char *buf, int Len);
void EnablePrintData(const char *str, const unsigned char *buf, int Len);

// Where the log goes. A report that keeps standard output to itself sends its messages to
// standard error, and shows only the debug traces of the protocol it runs, there too.
enum LogMode {
  LOG_STDOUT,      // every level on standard output (a run)
  LOG_STDERR,      // every level on standard error
  LOG_TRACES_ONLY, // levels 0 to 2 not shown, debug traces on standard error
};
void SetLogMode(LogMode mode);
