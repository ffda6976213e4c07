#include "mainwindow/typed_line.h"

#include "engine/convert.h"

namespace talmo {

bool TTypedLine::Add(std::uint8_t key) {
  if (FCount >= kCapacity) return false;
  FBytes[static_cast<std::size_t>(FCount++)] = key;
  return true;
}

void TTypedLine::SetSingle(std::uint8_t key) {
  FBytes[0] = key;
  FCount = 1;
}

std::string TTypedLine::Caption() const {
  if (FCount == 0) return "Transmit";
  return "Transmit (" + std::to_string(FCount) + ")";
}

std::string TypedEcho(std::uint8_t key, const TFormatOptions& opts) {
  if (key >= 0x80) return "";
  std::string echo;
  AppendSignText(echo, key, opts);
  return echo.size() > 3 ? echo : "";
}

std::optional<std::uint8_t> AnsiByte(char32_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<std::uint8_t>(c);
  // 0x80..0x9F of windows-1252; 0 where the code page has no character.
  static constexpr char16_t kHigh[32] = {
      0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};
  for (std::size_t i = 0; i < 32; ++i)
    if (kHigh[i] != 0 && kHigh[i] == c) return static_cast<std::uint8_t>(0x80 + i);
  return std::nullopt;
}

bool EchoJoinsLastLine(int paneLineCount, int lastLineLength) {
  return paneLineCount >= 3 && lastLineLength < 80;
}

}  // namespace talmo
