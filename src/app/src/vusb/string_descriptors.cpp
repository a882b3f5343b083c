#include "string_descriptors.h"

#include <usb.h>

#include <cstdint>
#include <vector>

namespace vusb {
namespace {

constexpr size_t kMaxUnits = 126; // (255 - 2) / 2

// The code point of the UTF-8 sequence at s[i] and its length; length 0 when it is none.
uint32_t Decode(const unsigned char *s, size_t n, size_t i, size_t &length) {
  const unsigned c = s[i];
  const size_t more = c >= 0xF5 ? 0 : c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC2 ? 1 : 0;
  length = 0;
  if (more == 0 || i + more >= n)
    return 0;
  uint32_t cp = c & (0x3Fu >> more);
  for (size_t k = 1; k <= more; k++) {
    const unsigned cc = s[i + k];
    if ((cc & 0xC0) != 0x80)
      return 0;
    cp = cp << 6 | (cc & 0x3F);
  }
  length = more + 1;
  return cp;
}

} // namespace

Bytes StringDescriptor(const std::string &text) {
  std::vector<uint16_t> units;
  const auto *s = reinterpret_cast<const unsigned char *>(text.data());
  const size_t n = text.size();
  for (size_t i = 0; i < n;) {
    size_t length = 0;
    uint32_t cp = Decode(s, n, i, length);
    if (length == 0) {
      units.push_back(s[i]);
      i++;
      continue;
    }
    i += length;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      units.push_back(static_cast<uint16_t>(0xD800 | (cp >> 10)));
      units.push_back(static_cast<uint16_t>(0xDC00 | (cp & 0x3FF)));
    } else {
      units.push_back(static_cast<uint16_t>(cp));
    }
  }
  if (units.size() > kMaxUnits)
    units.resize(kMaxUnits);
  Bytes d;
  d.push_back(static_cast<uint8_t>(2 + 2 * units.size()));
  d.push_back(USB_DT_STRING);
  for (uint16_t u : units) {
    d.push_back(static_cast<uint8_t>(u & 0xFF));
    d.push_back(static_cast<uint8_t>(u >> 8));
  }
  return d;
}

Bytes LanguageTable() { return {4, USB_DT_STRING, 0x09, 0x04}; }

} // namespace vusb
