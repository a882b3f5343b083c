// The one sleep helper every protocol pause goes through.
#pragma once

// Blocks the run for ms milliseconds; returns at once while the protocol of the controller in
// hand is abandoned (a second stop signal).
void ProtocolSleep(unsigned int ms);

// The wait itself, supplied by the final link: real time for panelcfg (base/sleep.cpp), the
// virtual clock for the simulator and the tests. A stop signal never cuts it short unless it
// abandons the protocol.
void PlatformSleep(unsigned int ms);
