#pragma once
// Rates without a Bxxx constant, through termios2 and BOTHER. The kernel's
// termios2 header clashes with glibc's <termios.h>, so it lives alone in
// termios2_rate.cpp and this header shows neither.

#include <cstdint>

namespace talmo {

// Sets input and output rate to `rate`; returns 0 or an errno code.
int SetCustomRate(int fd, std::uint32_t rate);
// Reads the rates the device really keeps; returns 0 or an errno code.
int GetRates(int fd, std::uint32_t& inRate, std::uint32_t& outRate);

}  // namespace talmo
