#include "session/port_loop.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "device/wake_fd.h"
#include "serial/ser_comm.h"
#include "session/receive_session.h"

namespace talmo {

using Clock = std::chrono::steady_clock;

TMonitorStop::TMonitorStop() : FFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (FFd < 0)
    throw std::system_error(errno, std::generic_category(), "cannot make an event descriptor");
}

TMonitorStop::~TMonitorStop() { ::close(FFd); }

void TMonitorStop::Request() noexcept {
  FCount.fetch_add(1);
  SignalWake(FFd);  // leaves errno as it found it, as a signal handler must
}

TMonitorClock TMonitorClock::System() {
  return {[] { return Clock::now(); },
          [](pollfd* fds, nfds_t count, int timeoutMs) { return ::poll(fds, count, timeoutMs); },
          true};
}

TPortLoop::TPortLoop(const TMonitorClock& clock, TMonitorStop* stop)
    : FClock(clock), FStop(stop), FWoke(clock.Now()) {}

void TPortLoop::EndAfter(std::optional<long long> seconds) {
  if (seconds) FEndAt = Now() + std::chrono::seconds(*seconds);
}

bool TPortLoop::Ended() const { return Stopping() || (FEndAt && Now() >= *FEndAt); }

void TPortLoop::WakeBy(std::optional<Clock::time_point> t) {
  if (t && (!FWake || *t < *FWake)) FWake = t;
}

int TPortLoop::Watch(int fd, short events) {
  if (fd < 0 || events == 0) return -1;
  FFds.push_back({fd, events, 0});
  return static_cast<int>(FFds.size()) - 1;
}

int TPortLoop::Sleep() {
  WakeBy(FEndAt);
  // The stop goes last: the callers' slots stay as Watch gave them.
  if (FStop) FFds.push_back({FStop->WaitFd(), POLLIN, 0});
  int timeout = -1;
  if (FWake) {
    // Rounded up: waking a little early would only come back to sleep. A
    // time already past (the port's "now", the clock's least value) is
    // no wait, never a difference that overflows.
    const Clock::time_point now = Now();
    const long long left =
        *FWake <= now ? 0 : std::chrono::ceil<std::chrono::milliseconds>(*FWake - now).count();
    timeout = static_cast<int>(std::clamp<long long>(left, 0, 24 * 3600 * 1000));
  }
  const int ready = FClock.Poll(FFds.data(), FFds.size(), timeout);
  FWoke = Now();
  if (FStop && ready > 0 && FFds.back().revents) {
    // Taken: a stop asked for stays asked for, and only a second request
    // wakes the wait of the end again (instead of every sleep at once).
    std::uint64_t n;
    (void)!::read(FStop->WaitFd(), &n, sizeof n);
  }
  FEvents.clear();
  for (const pollfd& p : FFds) FEvents.push_back(ready > 0 ? p.revents : 0);
  FFds.clear();
  FWake.reset();
  return ready;
}

short TPortLoop::Events(int slot) const {
  return slot >= 0 && static_cast<std::size_t>(slot) < FEvents.size() ? FEvents[slot] : 0;
}

bool TEndWait::Moving(std::size_t left, Clock::time_point now) {
  if (!FLeft || left < *FLeft) {
    FLeft = left;
    FMovedAt = now;
  }
  return now < Due();
}

TPortReturn::TPortReturn(TReceiveSession& session, std::function<void(const TOpenFailure&)> tell,
                         std::string lead)
    : FSession(session), FTell(std::move(tell)), FLead(std::move(lead)) {}

void TPortReturn::Lost(Clock::time_point now) {
  FRetryAt = FPolicy.Lost(now);
  FWaiting = true;
}

bool TPortReturn::TryIfDue(const std::function<Clock::time_point()>& now) {
  if (!FWaiting || now() < FRetryAt) return false;
  const std::optional<TOpenFailure> failure = FSession.Open();
  // After the open's own waits.
  const Clock::time_point after = now();
  if (!failure) {
    FWaiting = false;
    FPolicy.Back(after);
    FFailures.clear();
    return true;
  }
  const std::string text = failure->Message + "\n" + failure->Hint;
  if (std::find(FFailures.begin(), FFailures.end(), text) == FFailures.end()) {
    if (!FFailures.empty() || !IsAbsence(*failure)) {
      TOpenFailure told = *failure;
      told.Message = FLead + told.Message;
      FTell(told);
    }
    FFailures.push_back(text);
  }
  FRetryAt = FPolicy.Failed(after);
  return false;
}

int AwaitFifoReader(const std::string& path, TPortLoop& loop, bool& stopped,
                    const std::function<void()>& waiting) {
  stopped = false;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISFIFO(st.st_mode)) return -1;
  bool told = false;
  for (;;) {
    // Without a reader a FIFO's open for writing blocks (deaf to every
    // stop); without O_NONBLOCK's ENXIO there is nothing to wait for.
    const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0 || errno != ENXIO) return fd;
    if (loop.Ended()) {
      stopped = true;
      return -1;
    }
    if (waiting && !told) {
      waiting();
      told = true;
    }
    // A reader's arrival wakes nothing: look again soon.
    loop.WakeBy(loop.Now() + std::chrono::milliseconds(20));
    loop.Sleep();
  }
}

TFdCloser::~TFdCloser() {
  if (Fd >= 0) ::close(Fd);
}

TSerTiming PortTimingOf(const TMonitorClock& clock, TMonitorStop* stop) {
  if (clock.IsSystem) return TSerTiming::System();
  TSerTiming t;
  t.Now = clock.Now;
  t.Sleep = [&clock, stop](std::chrono::milliseconds ms) {
    pollfd fd{stop ? stop->WaitFd() : -1, POLLIN, 0};
    clock.Poll(&fd, stop ? 1 : 0, static_cast<int>(ms.count()));
  };
  return t;
}

}  // namespace talmo
