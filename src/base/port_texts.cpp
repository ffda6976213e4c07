#include "base/port_texts.h"

#include <limits>

#include "base/line_error_bits.h"

namespace talmo {

int PortNumberFromName(const std::string& name) {
  // The whole number after "COM": the port list numbers ports past 99.
  const std::string digits = name.size() > 3 ? name.substr(3) : std::string();
  const auto refuse = [&digits] {
    return EConvertError("'" + digits + "' is not a valid integer value");
  };
  std::size_t i = 0;
  bool negative = false;
  if (i < digits.size() && (digits[i] == '+' || digits[i] == '-')) negative = digits[i++] == '-';
  if (i == digits.size()) throw refuse();
  long long value = 0;
  for (; i < digits.size(); ++i) {
    if (digits[i] < '0' || digits[i] > '9') throw refuse();
    value = value * 10 + (digits[i] - '0');
    if (value > std::numeric_limits<int>::max()) throw refuse();
  }
  return static_cast<int>(negative ? -value : value);
}

std::vector<std::string> ErrorLines(int portNum, std::uint32_t errors) {
  std::vector<std::string> lines;
  lines.push_back("Error COM" + std::to_string(portNum) + " " + std::to_string(errors));
  static const struct {
    std::uint32_t bit;
    const char* text;
  } kBits[] = {
      {CE_RXOVER, "An input buffer overflow has occurred."},
      {CE_OVERRUN, "A character-buffer overrun has occurred. The next character is lost."},
      {CE_RXPARITY, "The hardware detected a parity error."},
      {CE_FRAME, "The hardware detected a framing error."},
      {CE_BREAK, "The hardware detected a break condition."},
      {CE_IOE, kDeviceGoneText},
  };
  for (const auto& b : kBits)
    if (errors & b.bit) lines.emplace_back(b.text);
  return lines;
}

}  // namespace talmo
