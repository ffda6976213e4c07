#include <cerrno>

#include "serial/ser_device.h"
#include "serial/ser_types.h"

namespace talmo {

std::uint32_t EventMaskOf(TSerCommEvents events) {
  std::uint32_t mask = 0;
  for (int e = ceBreak; e <= ceEvent2; ++e)
    if (events.Contains(static_cast<TSerCommEvent>(e)))
      mask |= EventBitOf(static_cast<TSerCommEvent>(e));
  return mask;
}

std::string FormatSerMessage(const std::string& tmpl, std::initializer_list<std::string> args) {
  std::string out;
  out.reserve(tmpl.size() + 32);
  auto next = args.begin();
  for (std::size_t i = 0; i < tmpl.size(); ++i) {
    if (tmpl[i] == '%' && i + 1 < tmpl.size() && (tmpl[i + 1] == 'd' || tmpl[i + 1] == 's') &&
        next != args.end()) {
      out += *next++;
      ++i;
    } else {
      out += tmpl[i];
    }
  }
  return out;
}

bool IsDeviceGone(int code) { return code == EIO || code == ENXIO || code == ENODEV; }

std::string ShortDeviceName(const std::string& name) {
  constexpr std::size_t kShown = 80, kMax = 120;
  if (name.size() <= kMax) return name;
  return name.substr(0, kShown) + "... (" + std::to_string(name.size()) + " characters)";
}

}  // namespace talmo
