#pragma once
// `talmocli respond`: answers like a device. Each frame received on the
// port is matched against a file of rules, and the first that matches
// sends its answer, after its delay from the end of the frame; both
// directions are shown on one timeline.

#include <cstdio>
#include <string>
#include <vector>

#include "session/port_loop.h"

namespace talmo {

int RunRespond(const std::vector<std::string>& args, std::FILE* out, std::FILE* err,
               TMonitorStop* stop, const TMonitorClock& clock = TMonitorClock::System());

std::string RespondUsage();

}  // namespace talmo
