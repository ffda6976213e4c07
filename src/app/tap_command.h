#pragma once
// `talmocli tap`: stands between a program and a real port. The program
// opens a link to a pseudo-terminal instead of the device; every byte is
// forwarded both ways, both directions are shown framed on one timeline,
// and the settings the program makes on the pseudo-terminal follow onto the
// real port.

#include <cstdio>
#include <string>
#include <vector>

namespace talmo {

class TMonitorStop;

// Runs until `stop` is requested (may be null), --seconds have passed, the
// device goes away (without --reconnect) or standard output fails.
int RunTap(const std::vector<std::string>& args, std::FILE* out, std::FILE* err,
           TMonitorStop* stop);

std::string TapUsage();

}  // namespace talmo
