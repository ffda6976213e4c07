#pragma once
// Clocks the engine reads. Each is injected so tests set time instead of
// sleeping; the defaults read the system's clocks.

#include <cstdint>
#include <functional>

namespace talmo {

// A broken-down UTC (or local) time, 16-bit fields as the frame stamp uses.
struct TSystemTime {
  std::uint16_t Year = 0;
  std::uint16_t Month = 0;
  std::uint16_t DayOfWeek = 0;
  std::uint16_t Day = 0;
  std::uint16_t Hour = 0;
  std::uint16_t Minute = 0;
  std::uint16_t Second = 0;
  std::uint16_t Milliseconds = 0;
};

using TSystemTimeClock = std::function<TSystemTime()>;
// Monotonic time in nanoseconds.
using TMonotonicClock = std::function<std::int64_t()>;

TSystemTime UtcNow();
TSystemTime LocalNow();
std::int64_t MonotonicNanoseconds();
// The UTC wall clock in nanoseconds since the epoch, and its broken-down
// form (as a recorded time is shown).
std::int64_t UtcNanoseconds();
TSystemTime UtcOfNanoseconds(std::int64_t ns);

}  // namespace talmo
