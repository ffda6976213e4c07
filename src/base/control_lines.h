#pragma once
// The control lines of a port as one byte, the way a timed capture records
// them: what the device last reported (CTS, DCD, DSR, RING) and what we
// last set (RTS, DTR).

#include <cstdint>

namespace talmo {

inline constexpr std::uint8_t kLineCts = 0x01;
inline constexpr std::uint8_t kLineDcd = 0x02;
inline constexpr std::uint8_t kLineDsr = 0x04;
inline constexpr std::uint8_t kLineRts = 0x08;
inline constexpr std::uint8_t kLineDtr = 0x10;
inline constexpr std::uint8_t kLineRing = 0x20;

}  // namespace talmo
