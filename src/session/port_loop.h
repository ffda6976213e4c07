#pragma once
// The loop every long-running command shares (monitor, tap): one thread
// that sleeps in one poll() until a descriptor is ready, a stop is asked
// for or the nearest deadline comes, on a clock that a test can move. What
// the commands would otherwise each write again lives here: the end of the
// run (a stop request, --seconds), the sleep and its time-out, the return
// of a lost device told once per reason, a capture FIFO's reader awaited
// without going deaf to a stop, and the bounded wait of the end, which
// delivers what is held as long as it keeps moving.
//
// Threads: everything runs on the command's thread, except
// TMonitorStop::Request (any thread, a signal handler too).
//
// Errors: nothing here throws but the constructor of TMonitorStop (no
// event descriptor: std::system_error) and TPortReturn::Try (the session's
// open failure is returned, not thrown).

#include <poll.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "session/reconnect_policy.h"

namespace talmo {

class TReceiveSession;
struct TOpenFailure;
struct TSerTiming;

// A request to end a run cleanly (Ctrl+C, a polite kill, a test). The run
// sleeps until something happens, so the request also wakes it. A second
// request gives up the wait of the end.
class TMonitorStop {
 public:
  TMonitorStop();
  ~TMonitorStop();
  TMonitorStop(const TMonitorStop&) = delete;
  TMonitorStop& operator=(const TMonitorStop&) = delete;

  // Any thread, and safe in a signal handler.
  void Request() noexcept;
  bool Requested() const noexcept { return FCount.load() > 0; }
  // Asked again after the run began to end: what is left is given up.
  bool Insisted() const noexcept { return FCount.load() > 1; }
  // Readable once a request was made.
  int WaitFd() const noexcept { return FFd; }

 private:
  std::atomic<int> FCount{0};
  int FFd = -1;
};

// The run's clock and its wait on descriptors. Every time-out of a run
// (the line time-out, --seconds, --repeat, the reconnect pauses, the
// gathering of slow batches, the wait of the end) is measured by `Now` and
// waited for by `Poll`, so a test can run them without waiting in real
// time.
struct TMonitorClock {
  std::function<std::chrono::steady_clock::time_point()> Now;
  // As poll(2), the time-out in milliseconds of `Now` (-1: none).
  std::function<int(pollfd* fds, nfds_t count, int timeoutMs)> Poll;
  // The system's clock: the port component keeps its own waits then.
  bool IsSystem = false;
  static TMonitorClock System();
};

class TPortLoop {
 public:
  using Clock = std::chrono::steady_clock;

  TPortLoop(const TMonitorClock& clock, TMonitorStop* stop);

  const TMonitorClock& Time() const { return FClock; }
  // The system's clock without a call through the function: a loop reads
  // it a few times per wake-up.
  Clock::time_point Now() const { return FClock.IsSystem ? Clock::now() : FClock.Now(); }
  // --seconds, counted from now.
  void EndAfter(std::optional<long long> seconds);
  // A stop was asked for or the end time has come.
  bool Ended() const;
  bool Stopping() const { return FStop && FStop->Requested(); }
  bool Insisted() const { return FStop && FStop->Insisted(); }

  // What the next Sleep waits for, given anew before each sleep.
  void WakeBy(std::optional<Clock::time_point> t);
  // A descriptor to watch; its slot for Events, or -1 (fd < 0, no events).
  int Watch(int fd, short events);
  // Sleeps until a watched descriptor is ready, a stop request, the end
  // time or the nearest WakeBy; then forgets what it waited for. The
  // number poll returned.
  int Sleep();
  // What poll said of a slot of the last Sleep (0 for -1).
  short Events(int slot) const;
  // When the last Sleep returned: the time of everything it brought.
  Clock::time_point Woke() const { return FWoke; }

 private:
  const TMonitorClock& FClock;
  TMonitorStop* FStop;
  std::optional<Clock::time_point> FEndAt, FWake;
  std::vector<pollfd> FFds;
  std::vector<short> FEvents;
  Clock::time_point FWoke;
};

// The bounded wait of a run's end: what is held goes on going out as long
// as it keeps moving. A device or a program that takes nothing for
// kStalled gets nothing more; a slow one is waited for.
class TEndWait {
 public:
  using Clock = std::chrono::steady_clock;
  // Long enough for a device that pauses its reading for a few seconds (a
  // flash write, a full buffer on its far side), short enough that a dead
  // one does not keep the user waiting.
  static constexpr Clock::duration kStalled = std::chrono::seconds(5);

  explicit TEndWait(Clock::time_point now, Clock::duration stalled = kStalled)
      : FMovedAt(now), FStalled(stalled) {}
  // `left` is what is still held at `now`; false once it stalled.
  bool Moving(std::size_t left, Clock::time_point now);
  // When it counts as stalled if nothing moves.
  Clock::time_point Due() const { return FMovedAt + FStalled; }

 private:
  std::optional<std::size_t> FLeft;
  Clock::time_point FMovedAt;
  Clock::duration FStalled;
};

// The return of a lost device (--reconnect): when to try again, and why
// it cannot be opened, told once per reason. That it is not there (yet) is
// no news after the loss, so that one is not told first.
class TPortReturn {
 public:
  using Clock = std::chrono::steady_clock;
  // `tell` says an open failure (its message already led by `lead`).
  TPortReturn(TReceiveSession& session, std::function<void(const TOpenFailure&)> tell,
              std::string lead = {});
  // The device went away at `now`: the port is closed and it is awaited.
  void Lost(Clock::time_point now);
  bool Waiting() const { return FWaiting; }
  std::optional<Clock::time_point> Due() const {
    return FWaiting ? std::optional(FRetryAt) : std::nullopt;
  }
  // Tries to open the port again if it is due at `now`; true when it is
  // back (the caller says so).
  bool TryIfDue(const std::function<Clock::time_point()>& now);

 private:
  TReceiveSession& FSession;
  std::function<void(const TOpenFailure&)> FTell;
  std::string FLead;
  TReconnectPolicy FPolicy;
  bool FWaiting = false;
  Clock::time_point FRetryAt;
  std::vector<std::string> FFailures;
};

// A capture that is a FIFO opens only once it has a reader, which may
// never come: waits for one while the run may still end (a stop, the end
// time, checked on `loop`'s clock). Returns a descriptor that holds the
// FIFO open for writing meanwhile (the caller closes it once its capture
// is open), -1 with `stopped` when the run ended first, or -1 when the
// path is no FIFO (nothing to wait for) or cannot be opened (the capture
// says why).
// `waiting` is called once when it has to wait.
int AwaitFifoReader(const std::string& path, TPortLoop& loop, bool& stopped,
                    const std::function<void()>& waiting = {});

// Closes a descriptor at the end of its scope (-1: nothing).
struct TFdCloser {
  explicit TFdCloser(int fd) : Fd(fd) {}
  ~TFdCloser();
  TFdCloser(const TFdCloser&) = delete;
  TFdCloser& operator=(const TFdCloser&) = delete;
  int Fd;
};

// The port component's own waits (the pause of Close, the wait for room)
// on the run's clock; a stop request ends them. The system's own timing
// for the system's clock.
TSerTiming PortTimingOf(const TMonitorClock& clock, TMonitorStop* stop);

}  // namespace talmo
