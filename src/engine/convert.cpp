#include "engine/convert.h"

#include <array>

namespace talmo {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Looks indexed [mode][byte], mode 0 = Hex, 1 = Convert, 2 = neither. Built
// once at compile time so converting a line is a table walk.
using LookTable = std::array<std::array<TSignLook, 256>, 3>;

constexpr void Put(TSignLook& look, char c) { look.text[look.length++] = c; }

constexpr TSignLook MakeLook(int mode, int b) {
  TSignLook look{};
  if (mode == 0) {
    Put(look, ' ');
    Put(look, kHexDigits[b >> 4]);
    Put(look, kHexDigits[b & 15]);
    return look;
  }
  const bool convert = mode == 1;
  if (convert) Put(look, ' ');
  if (b < 0x20) {
    if (convert)
      for (int i = 0; i < 3; ++i) Put(look, kSignNames[3 * b + i]);
  } else if (b == 0x20) {
    Put(look, ' ');
    if (convert)
      for (int i = 0; i < 3; ++i) Put(look, kSignNames[3 * 0x20 + i]);
  } else if (b < 0x7F) {
    Put(look, static_cast<char>(b));
  } else {
    Put(look, '$');
    Put(look, kHexDigits[b >> 4]);
    Put(look, kHexDigits[b & 15]);
  }
  return look;
}

constexpr LookTable MakeTable() {
  LookTable t{};
  for (int mode = 0; mode < 3; ++mode)
    for (int b = 0; b < 256; ++b) t[mode][b] = MakeLook(mode, b);
  return t;
}

constexpr LookTable kLooks = MakeTable();

int HexDigitValue(char ch) {
  int c = static_cast<unsigned char>(ch);
  if (c < '0') c = '0';
  if (c > 'F') c -= 0x20;
  if (c >= 'A') c -= 7;
  return c - 0x30;
}

bool IsLetterOrDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

}  // namespace

const TSignLook* SignLooks(bool hex, bool convert) {
  return kLooks[hex ? 0 : (convert ? 1 : 2)].data();
}

void AppendSignText(std::string& text, std::uint8_t b, const TFormatOptions& opts) {
  const TSignLook& look = SignLooks(opts.Hex, opts.Convert)[b];
  text.append(look.text, look.length);
}

int HexPairToInt(std::string_view p) {
  const char first = p.size() > 0 ? p[0] : '0';
  const char second = p.size() > 1 ? p[1] : '0';
  return HexDigitValue(first) * 16 + HexDigitValue(second);
}

int DecPrefixToInt(std::string_view p) {
  int value = 0;
  std::size_t digits = 0;
  while (digits < p.size() && p[digits] >= '0' && p[digits] <= '9') {
    if (digits == 9) return 0;  // ten digits or more
    value = value * 10 + (p[digits] - '0');
    ++digits;
  }
  return value;
}

void PutDec2(char* dst, int v) {
  dst[0] = static_cast<char>('0' + v / 10);
  dst[1] = static_cast<char>('0' + v % 10);
}

void PutDec3(char* dst, int v) {
  dst[0] = static_cast<char>('0' + v / 100);
  PutDec2(dst + 1, v % 100);
}

void PutDec4(char* dst, int v) {
  v %= 10000;
  PutDec2(dst, v / 100);
  PutDec2(dst + 2, v % 100);
}

void PutHex2(char* dst, int v) {
  // Only the low byte has two hex digits; anything above would index past
  // the digit table.
  v &= 0xFF;
  dst[0] = kHexDigits[v >> 4];
  dst[1] = kHexDigits[v & 15];
}

void CopyBytes(void* dst, const void* src, int n) {
  // First to last, one byte at a time: overlapping callers rely on the order.
  auto* d = static_cast<unsigned char*>(dst);
  const auto* s = static_cast<const unsigned char*>(src);
  for (int i = 0; i < n; ++i) d[i] = s[i];
}

std::uint8_t SignFromField(std::string_view field) {
  char pair[2] = {' ', ' '};
  for (std::size_t i = 0; i < 2 && i < field.size(); ++i) {
    char c = field[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    pair[i] = c;
  }
  return static_cast<std::uint8_t>(HexPairToInt(std::string_view(pair, 2)) & 0xFF);
}

bool IsSignFieldText(std::string_view text) {
  if (text.empty() || text.size() > 2) return false;
  for (char c : text)
    if (!IsLetterOrDigit(c)) return false;
  return true;
}

}  // namespace talmo
