#include "engine/clock.h"

#include <ctime>

namespace talmo {
namespace {

TSystemTime FromTm(const std::tm& tm, long nanoseconds) {
  TSystemTime t;
  t.Year = static_cast<std::uint16_t>(tm.tm_year + 1900);
  t.Month = static_cast<std::uint16_t>(tm.tm_mon + 1);
  t.DayOfWeek = static_cast<std::uint16_t>(tm.tm_wday);
  t.Day = static_cast<std::uint16_t>(tm.tm_mday);
  t.Hour = static_cast<std::uint16_t>(tm.tm_hour);
  t.Minute = static_cast<std::uint16_t>(tm.tm_min);
  // A leap second reads as second 59 so the stamp keeps two digits.
  t.Second = static_cast<std::uint16_t>(tm.tm_sec > 59 ? 59 : tm.tm_sec);
  t.Milliseconds = static_cast<std::uint16_t>(nanoseconds / 1000000);
  return t;
}

}  // namespace

TSystemTime UtcNow() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  std::tm tm{};
  gmtime_r(&ts.tv_sec, &tm);
  return FromTm(tm, ts.tv_nsec);
}

TSystemTime LocalNow() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  std::tm tm{};
  localtime_r(&ts.tv_sec, &tm);
  return FromTm(tm, ts.tv_nsec);
}

std::int64_t UtcNanoseconds() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

TSystemTime UtcOfNanoseconds(std::int64_t ns) {
  const std::int64_t nanos = ((ns % 1000000000) + 1000000000) % 1000000000;
  const auto seconds = static_cast<std::time_t>((ns - nanos) / 1000000000);
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  return FromTm(tm, static_cast<long>(nanos));
}

std::int64_t MonotonicNanoseconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace talmo
