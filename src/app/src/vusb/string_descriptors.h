// String descriptors as a simulated device sends them: its texts are kept as UTF-8 and go out
// as UTF-16, as on a real device.
#pragma once

#include <string>

#include "vusb.h"

namespace vusb {

// String descriptor for text: bLength, bDescriptorType 3 and the text in UTF-16LE, at most 126
// code units (the most a one-byte length can hold). Bytes of text that are no valid UTF-8
// stand for themselves (Latin-1).
Bytes StringDescriptor(const std::string &text);

// String descriptor 0, the table of languages: US English (0x0409) only.
Bytes LanguageTable();

} // namespace vusb
