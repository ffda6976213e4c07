#include "engine/checks.h"

#include <array>

namespace talmo {
namespace {

constexpr std::array<std::uint16_t, 256> MakeCrcTable() {
  std::array<std::uint16_t, 256> t{};
  for (unsigned i = 0; i < 256; ++i) {
    std::uint16_t c = static_cast<std::uint16_t>(i);
    for (int k = 0; k < 8; ++k)
      c = (c & 1) ? static_cast<std::uint16_t>((c >> 1) ^ 0xA001) : c >> 1;
    t[i] = c;
  }
  return t;
}

constexpr std::array<std::uint16_t, 256> kCrcTable = MakeCrcTable();

}  // namespace

std::uint8_t BccXor(std::string_view bytes) {
  std::uint8_t x = 0;
  for (const char c : bytes) x ^= static_cast<std::uint8_t>(c);
  return x;
}

std::uint8_t BccSum(std::string_view bytes) {
  std::uint8_t s = 0;
  for (const char c : bytes) s = static_cast<std::uint8_t>(s + static_cast<std::uint8_t>(c));
  return s;
}

std::uint16_t Crc16Modbus(std::string_view bytes) {
  std::uint16_t crc = 0xFFFF;
  for (const char c : bytes)
    crc = static_cast<std::uint16_t>((crc >> 8) ^
                                     kCrcTable[(crc ^ static_cast<std::uint8_t>(c)) & 0xFF]);
  return crc;
}

std::uint8_t Lrc(std::string_view bytes) { return static_cast<std::uint8_t>(-BccSum(bytes)); }

}  // namespace talmo
