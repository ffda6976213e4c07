#pragma once
// `talmocli extcap`: the ports as Wireshark capture interfaces. Wireshark
// runs a program of its extcap folder to list interfaces, their link type
// and options, and to capture into a FIFO; talmocli answers when it is run
// under kExtcapProgramName (a link in that folder) or as `talmocli extcap`.
// A capture is `talmocli monitor` writing a timed capture into the FIFO,
// with no display lines, until SIGTERM.
//
// Errors: a bad option or value is one line on `err` and exit status 1,
// as Wireshark shows a capture program's standard error as its error.
// Options Wireshark adds that we do not know (--extcap-*) are ignored;
// its --debug-file FILE turns the trace on (base/trace.h).

#include <cstdio>
#include <string>
#include <vector>

#include "app/monitor_command.h"

namespace talmo {

inline constexpr const char* kExtcapProgramName = "talmo-extcap";

// True when argv[0] names the extcap link.
bool IsExtcapProgram(const char* argv0);

std::string ExtcapUsage();

int RunExtcap(const std::vector<std::string>& args, std::FILE* out, std::FILE* err,
              TMonitorStop* stop);

}  // namespace talmo
