#pragma once
// Device names that select a remote port: "rfc2217://HOST:PORT". The port
// list keeps them as they are and the device driver opens them over the
// network; everything else is a local device.

#include <string_view>

namespace talmo {

inline constexpr std::string_view kRemotePortScheme = "rfc2217://";

// The scheme in any case, as in URLs.
inline bool IsRemotePortName(std::string_view name) {
  if (name.size() < kRemotePortScheme.size()) return false;
  for (std::size_t i = 0; i < kRemotePortScheme.size(); ++i) {
    char c = name[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    if (c != kRemotePortScheme[i]) return false;
  }
  return true;
}

}  // namespace talmo
