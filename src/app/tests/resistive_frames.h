// Test helpers: the resistive protocol's request and answer frames in feature report 1, as the
// virtual bus's transaction log shows them, and the refusal of an unsupported firmware.
#pragma once

#include <string>

#include "resistive/resproto.h"

// Requests: firmware ("OI"), rotation read ("GP43"), rotation 0 and 1 ("SP430000",
// "SP430001"), make permanent ("PL") and reset ("RR").
inline constexpr char kOI[] = "set 01 04 01 4f 49 0d /6";
inline constexpr char kGP[] = "set 01 06 01 47 50 34 33 0d /8";
inline constexpr char kSP0[] = "set 01 0a 01 53 50 34 33 30 30 30 30 0d /12";
inline constexpr char kSP1[] = "set 01 0a 01 53 50 34 33 30 30 30 31 0d /12";
inline constexpr char kPL[] = "set 01 04 01 50 4c 0d /6";
inline constexpr char kRR[] = "set 01 04 01 52 52 0d /6";

// Answers: acknowledgement "0", status "1", the rotation 0 and the firmware "V2.9".
inline constexpr char kAck[] = "get 01 03 01 30 0d /10";
inline constexpr char kStatus1[] = "get 01 03 01 31 0d /10";
inline constexpr char kRot0[] = "get 01 06 01 30 30 30 30 0d /10";
inline constexpr char kV29[] = "get 01 06 01 56 32 2e 39 0d /20";

inline const std::string kUnsupported = std::string("EE:Driver dose not support this device,\n"
                                                    "please contact us via ") +
                                        RES_SUPPORT_ADDRESS + "\n";
