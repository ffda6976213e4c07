#pragma once
// `talmocli tap`: stands between a program and a real port. The program
// opens a link to a pseudo-terminal instead of the device; every byte is
// forwarded both ways, both directions are shown framed on one timeline,
// and the settings the program makes on the pseudo-terminal follow onto the
// real port.

#include <cstdio>
#include <string>
#include <vector>

#include "session/port_loop.h"

namespace talmo {

// Runs until `stop` is requested (may be null), --seconds have passed, the
// device goes away (without --reconnect) or standard output fails.
// Every time-out of the run is measured and waited for on `clock`. At its
// end, what it holds is delivered both ways as long as it moves; what could
// not be is told (exit 1).
int RunTap(const std::vector<std::string>& args, std::FILE* out, std::FILE* err, TMonitorStop* stop,
           const TMonitorClock& clock = TMonitorClock::System());

std::string TapUsage();

}  // namespace talmo
