#pragma once
// The device control block mapped onto termios: a pure function, so the
// whole mapping can be checked without a device that keeps every setting.

#include <termios.h>

#include <cstdint>
#include <string>

#include "serial/ser_types.h"

namespace talmo {

struct TTermiosPlan {
  termios Tio{};            // what tcsetattr gets (its rate, if standard)
  std::uint32_t Rate = 0;   // the DCB BaudRate
  bool CustomRate = false;  // no Bxxx constant: set through termios2/BOTHER
  int ModemSet = 0;         // TIOCM_* lines to raise
  int ModemClear = 0;       // TIOCM_* lines to drop
};

// The Bxxx constant of a standard rate, or B0 when there is none.
speed_t StandardSpeed(std::uint32_t rate);

// Builds the settings from `current` (only what raw mode leaves alone is
// kept). Returns 0, or EINVAL for what a device could not keep: rate 0,
// 4 data bits, 1.5 stop bits other than with 5 data bits, unknown parity or
// stop-bit codes.
int PlanTermios(const TSerDCB& dcb, const termios& current, TTermiosPlan& out);

// What of the character format (data bits, parity) a device kept other
// than asked: "" when it kept all of it, else what it ignores, e.g.
// "7 data bits, parity odd". A Linux pseudo-terminal always keeps 8 data
// bits and no parity.
std::string IgnoredFormat(const termios& asked, const termios& kept);
// `asked` with the character format the device keeps, so that a device
// which refuses a write that changes only that (a pseudo-terminal does)
// takes the rest of it.
termios WithKeptFormat(const termios& asked, const termios& kept);

// Whether the rates a device reports back after a set keep `rate`. A UART
// that divides its clock lands near the rate; within 2 % is what lines
// bear. An input rate of 0 follows the output rate.
bool RateKept(std::uint32_t rate, std::uint32_t inRate, std::uint32_t outRate);

}  // namespace talmo
