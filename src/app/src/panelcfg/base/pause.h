// The one sleep helper every protocol pause goes through.
#pragma once

// Blocks the run for ms milliseconds.
void ProtocolSleep(unsigned int ms);
