// The levelled diagnostic log on standard output.
#pragma once

// 1 when the debug marker exists in PanelDir, else 0.
int EnableDebug();

// Level 0 "EE:", 1 "II:", 2 "CC:", 3 "panelcfg DD:" (only while DbgFlag is set).
void DebugMsg(int Level, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Hex dumps of whole groups of eight bytes at level 3.
void PrintData(const char *str, const unsigned char *buf, int Len);
void EnablePrintData(const char *str, const unsigned char *buf, int Len);
