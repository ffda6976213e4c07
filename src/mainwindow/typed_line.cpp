#include "typed_line.h"

#include "convert.h"

namespace talmo {

bool TTypedLine::Add(std::uint8_t key) {
  if (Count_ >= Capacity) return false;
  Bytes_[static_cast<std::size_t>(Count_++)] = key;
  return true;
}

void TTypedLine::SetSingle(std::uint8_t key) {
  Bytes_[0] = key;
  Count_ = 1;
}

std::string TTypedLine::Caption() const {
  if (Count_ == 0) return "Transmit";
  return "Transmit (" + std::to_string(Count_) + ")";
}

std::string TypedEcho(std::uint8_t key, const TFormatOptions& opts) {
  if (key >= 0x80) return "";
  std::string echo;
  AppendSignText(echo, key, opts);
  return echo.size() > 3 ? echo : "";
}

bool EchoJoinsLastLine(int paneLineCount, int lastLineLength) {
  return paneLineCount >= 3 && lastLineLength < 80;
}

}  // namespace talmo
