// Test helpers: expected lines and waits of the virtual bus's transaction log, joined and
// repeated.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

using Lines = std::vector<std::string>;

inline Lines Concat(std::initializer_list<Lines> parts) {
  Lines out;
  for (const Lines &p : parts)
    out.insert(out.end(), p.begin(), p.end());
  return out;
}

// part, times times over. Repeat and RepeatWaits name the two kinds, so that a braced list can
// be the part.
template <typename T> std::vector<T> Repeated(int times, const std::vector<T> &part) {
  std::vector<T> out;
  // Element by element: GCC 12 on s390x reports a range insert into the growing vector as an
  // overflow (-Wstringop-overflow, a false positive of its inlined memmove).
  for (int i = 0; i < times; i++)
    for (const T &v : part)
      out.push_back(v);
  return out;
}
inline Lines Repeat(int times, const Lines &part) { return Repeated(times, part); }
inline std::vector<unsigned> RepeatWaits(int times, const std::vector<unsigned> &part) {
  return Repeated(times, part);
}
