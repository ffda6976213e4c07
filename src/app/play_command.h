#pragma once
// `talmocli play`: plays a script as the transmit-file window does, against
// a virtual clock without a port (--dry-run), or on a real port.

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "engine/clock.h"

namespace talmo {

// Exit codes: 0 done, 1 a script or port failure, 2 a usage error.
int RunPlay(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

extern const char kPlayUsage[];

// "YYYY-MM-DDTHH:MM:SS[.mmm]" as a local time; nullopt when it is not one.
std::optional<TSystemTime> ParseLocalTime(const std::string& text);

// `t` moved on by `ms` milliseconds of calendar time.
TSystemTime AddMilliseconds(const TSystemTime& t, std::int64_t ms);

}  // namespace talmo
