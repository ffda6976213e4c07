#pragma once
// `talmocli monitor`: a headless monitor of one or more ports through the port
// component and the receive formatter.

#include <cstdio>
#include <string>
#include <vector>

#include "session/port_loop.h"

namespace talmo {

// What a capture program (Wireshark's extcap) asks of the monitor beyond its
// options: the capture is its product and the display lines nobody's.
struct TMonitorMode {
  // The capture is timed whatever its name (a FIFO a capture program made).
  bool TimedCapture = false;
  // No display lines, no "monitoring" line: standard error carries only
  // what went wrong. The run ends when the capture stops; a FIFO whose
  // reader went away is its reader's choice, not a failure.
  bool CaptureOnly = false;
};

// Runs until `stop` is requested (may be null), --seconds have passed, the
// device goes away, or standard output is closed or fails.
int RunMonitor(const std::vector<std::string>& args, std::FILE* out, std::FILE* err,
               TMonitorStop* stop, const TMonitorClock& clock = TMonitorClock::System(),
               const TMonitorMode& mode = {});

std::string MonitorUsage();

}  // namespace talmo
