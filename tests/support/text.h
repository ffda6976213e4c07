#pragma once
// What tests ask of a program's output text.

#include <cstddef>
#include <string>

namespace talmo::test {

inline bool Contains(const std::string& s, const std::string& part) {
  return s.find(part) != std::string::npos;
}

// How often `part` is in `s` (overlapping ones too).
inline std::size_t Count(const std::string& s, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = s.find(part); at != std::string::npos; at = s.find(part, at + 1)) ++n;
  return n;
}

}  // namespace talmo::test
