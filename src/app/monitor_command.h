#pragma once
// `talmocli monitor`: a headless monitor of one port through the port
// component and the receive formatter.

#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace talmo {

// A request to end the monitor cleanly (Ctrl+C, a polite kill, a test). The
// monitor sleeps until something happens, so the request also wakes it.
class TMonitorStop {
 public:
  TMonitorStop();
  ~TMonitorStop();
  TMonitorStop(const TMonitorStop&) = delete;
  TMonitorStop& operator=(const TMonitorStop&) = delete;

  // Any thread, and safe in a signal handler.
  void Request() noexcept;
  bool Requested() const noexcept { return FRequested.load(); }
  // Readable once a request was made.
  int WaitFd() const noexcept { return FFd; }

 private:
  std::atomic<bool> FRequested{false};
  int FFd = -1;
};

// The monitor's clock and its wait on descriptors. Every time-out of a run
// (the line time-out, --seconds, --repeat, the reconnect pauses, the
// gathering of slow batches) is measured by `Now` and waited for by `Poll`,
// so a test can run them without waiting in real time.
struct TMonitorClock {
  std::function<std::chrono::steady_clock::time_point()> Now;
  // As poll(2), the time-out in milliseconds of `Now` (-1: none).
  std::function<int(pollfd* fds, nfds_t count, int timeoutMs)> Poll;
  // The system's clock: the port component keeps its own waits then.
  bool IsSystem = false;
  static TMonitorClock System();
};

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
