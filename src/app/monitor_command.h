#pragma once
// `talmocli monitor`: a headless monitor of one port through the port
// component and the receive formatter.

#include <atomic>
#include <cstdio>
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

// Runs until `stop` is requested (may be null), --seconds have passed, the
// device goes away, or standard output is closed or fails.
int RunMonitor(const std::vector<std::string>& args, std::FILE* out, std::FILE* err,
               TMonitorStop* stop);

std::string MonitorUsage();

}  // namespace talmo
