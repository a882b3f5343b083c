// The levelled diagnostic log on standard output.
#pragma once

#include <cstddef>

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

// Output whose failure is a failure of the command: from BeginCheckedOutput on, standard output
// goes through a stream that keeps the first error in writing it. With journal, for a service's
// journal, which reads a "<N>" at the start of a line as its syslog priority, every line printed
// on standard output or standard error starts with "<7>" (debug) unless it starts with a "<N>"
// of its own, so that only the lines printed with one stand out. EndCheckedOutput puts the
// streams back and returns false, after a line on standard error, when standard output could
// not be written.
void BeginCheckedOutput(bool journal);
bool EndCheckedOutput();

// Under BeginCheckedOutput(true): one line at syslog priority priority (6 info, 3 error), the
// only lines that are not at debug priority. Text that merely starts with "<N>" (a device's
// string, say) gets no priority of its own.
void JournalLine(int priority, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Gives each of standard input, output and error that is closed a descriptor on /dev/null that
// cannot be written, before any file is opened: a file opened later never lands on descriptor 1
// or 2 and takes what is printed, and a report on a closed standard output fails as one.
void KeepStandardStreamsOpen();

// A value from the command line as a message shows it: control characters, backslashes and
// bytes above 0x7E as \xHH, cut after kShownChars characters of the value ("..." then follows).
constexpr size_t kShownChars = 64;
struct ShownText {
  char text[4 * kShownChars + 4];
};
ShownText Shown(const char *value);
