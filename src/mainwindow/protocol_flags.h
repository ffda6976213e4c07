#pragma once
// The framing options record stored as the settings value REGPROTOCOL: the
// two frame signs and the seven option boxes, one byte each.
//
// Bytes are kept as stored, not folded to bool: the loader tests some of
// them for exactly 1, so a stored 2 must survive a read and a write.

#include <array>
#include <cstddef>
#include <cstdint>

namespace talmo {

struct TProtocolFlags {
  static constexpr std::size_t kSize = 9;
  using TBytes = std::array<std::uint8_t, kSize>;

  std::uint8_t First = 0;    // start sign
  std::uint8_t Last = 0;     // stop sign
  std::uint8_t Bcc = 0;      // a block-check byte follows the stop sign
  std::uint8_t Time = 0;     // stamp each frame
  std::uint8_t Convert = 0;  // show control signs by name
  std::uint8_t Hex = 0;      // show bytes as hex
  std::uint8_t STXHL = 0;    // STX_HL framing
  std::uint8_t PROD2 = 0;    // PROD2 framing
  std::uint8_t Manch = 0;    // Manchester decoding

  // The record in stored byte order.
  TBytes Pack() const;
  static TProtocolFlags Unpack(const TBytes& bytes);

  bool operator==(const TProtocolFlags&) const = default;
};

}  // namespace talmo
