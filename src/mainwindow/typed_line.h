#pragma once
// The bytes typed into the pane for the Transmit button, and what a typed
// key echoes into the pane.

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "engine/options.h"

namespace talmo {

class TTypedLine {
 public:
  static constexpr int kCapacity = 4100;

  // Adds one byte behind the others; false (and nothing stored) when the
  // line is full.
  bool Add(std::uint8_t key);
  // Direct mode: the line becomes this one byte.
  void SetSingle(std::uint8_t key);
  void Reset() { FCount = 0; }

  int Count() const { return FCount; }
  const std::uint8_t* Data() const { return FBytes.data(); }
  // Caption of the Transmit button for the current count.
  std::string Caption() const;

 private:
  std::array<std::uint8_t, kCapacity> FBytes{};
  int FCount = 0;
};

// The echo of a typed key in the current looks, or "" when the key is not
// echoed (printable keys show as typed text; hex looks are never echoed).
std::string TypedEcho(std::uint8_t key, const TFormatOptions& opts);

// The byte a typed character has in the keyboard's code page
// (windows-1252: Latin-1 plus the euro sign, typographic quotes, dashes and
// a few letters in 0x80..0x9F); nothing for a character that has none.
std::optional<std::uint8_t> AnsiByte(char32_t c);

// Whether an echo joins the pane's last line rather than starting a new
// one: only below the header lines, and while that line is short.
bool EchoJoinsLastLine(int paneLineCount, int lastLineLength);

}  // namespace talmo
