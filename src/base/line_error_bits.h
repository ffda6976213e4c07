#pragma once
// Error bits of a port's error state (ClearCommError's CE_* values): the
// device layers set them, the port component reports them, the port texts
// name them. One copy, so the three cannot drift apart.

#include <cstdint>

namespace talmo {

inline constexpr std::uint32_t CE_RXOVER = 0x0001;
inline constexpr std::uint32_t CE_OVERRUN = 0x0002;
inline constexpr std::uint32_t CE_RXPARITY = 0x0004;
inline constexpr std::uint32_t CE_FRAME = 0x0008;
inline constexpr std::uint32_t CE_BREAK = 0x0010;
// The device stopped answering (unplugged adapter, far end of a pty gone).
inline constexpr std::uint32_t CE_IOE = 0x0400;

}  // namespace talmo
