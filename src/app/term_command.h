#pragma once
// `talmocli term`: the interactive console of one port. Keys go to the port
// as typed, received text comes back as stamped lines, a command key works
// the modem lines, the look, the stamps and the capture. Standard input
// that is no terminal is sent at the line's pace, and the run ends once it
// has gone out and the line has been quiet for --wait seconds.

#include <cstdio>
#include <string>
#include <vector>

#include "session/port_loop.h"

namespace talmo {

// `in` is the typed input (a terminal, made raw for the run and restored
// on every way out, or a pipe or file to send).
int RunTerm(const std::vector<std::string>& args, int in, std::FILE* out, std::FILE* err,
            TMonitorStop* stop, const TMonitorClock& clock = TMonitorClock::System());

std::string TermUsage();

}  // namespace talmo
