#pragma once
// A clock that moves only when the test moves it, for the runs that take
// their clock and their poll() from outside (monitor, tap).

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "session/port_loop.h"

namespace talmo::test {

using namespace std::chrono_literals;

// A clock that moves only when the test moves it. The monitor waits on its
// descriptors as usual, and a time-out ends once the clock has been moved
// past it, so the monitor's timers run without waiting in real time.
class TManualClock {
 public:
  TManualClock() : FWake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~TManualClock() { ::close(FWake); }
  TManualClock(const TManualClock&) = delete;
  TManualClock& operator=(const TManualClock&) = delete;

  TMonitorClock Clock() {
    return {[this] { return Now(); },
            [this](pollfd* fds, nfds_t count, int ms) { return Poll(fds, count, ms); }};
  }
  std::chrono::steady_clock::time_point Now() {
    std::lock_guard lock(FMutex);
    return FNow;
  }
  void Advance(std::chrono::milliseconds by) {
    {
      std::lock_guard lock(FMutex);
      FNow += by;
    }
    const std::uint64_t one = 1;
    EXPECT_EQ(::write(FWake, &one, sizeof one), static_cast<ssize_t>(sizeof one));
  }
  // Waits (in real time, 5 s at most) until the monitor sleeps in a sleep
  // not given before, and gives its time-out on this clock (kNoTimeout:
  // none); nullopt if the monitor did not sleep.
  std::optional<std::chrono::milliseconds> NextSleep() {
    std::unique_lock lock(FMutex);
    if (!FChanged.wait_for(lock, 5s, [&] { return FSleeping && FSleeps > FGiven; }))
      return std::nullopt;
    FGiven = FSleeps;
    return FLastSleep;
  }
  static constexpr std::chrono::milliseconds kNoTimeout{-1};

 private:
  int Poll(pollfd* fds, nfds_t count, int ms) {
    std::optional<std::chrono::steady_clock::time_point> due;
    {
      std::lock_guard lock(FMutex);
      if (ms >= 0) due = FNow + std::chrono::milliseconds(ms);
      FLastSleep = ms >= 0 ? std::chrono::milliseconds(ms) : kNoTimeout;
      ++FSleeps;
      FSleeping = true;
    }
    FChanged.notify_all();
    const int ready = WaitFor(fds, count, due);
    std::lock_guard lock(FMutex);
    FSleeping = false;
    return ready;
  }
  int WaitFor(pollfd* fds, nfds_t count, std::optional<std::chrono::steady_clock::time_point> due) {
    std::vector<pollfd> all(fds, fds + count);
    all.push_back({FWake, POLLIN, 0});
    for (;;) {
      if (due && Now() >= *due) return 0;
      int ready = ::poll(all.data(), all.size(), -1);
      if (ready < 0) return ready;
      if (all.back().revents) {
        std::uint64_t n;
        (void)!::read(FWake, &n, sizeof n);
        all.back().revents = 0;
        --ready;
      }
      if (ready > 0) {
        for (nfds_t i = 0; i < count; ++i) fds[i].revents = all[i].revents;
        return ready;
      }
    }
  }

  std::mutex FMutex;
  std::condition_variable FChanged;
  std::chrono::steady_clock::time_point FNow{};
  std::uint64_t FSleeps = 0, FGiven = 0;
  bool FSleeping = false;
  std::chrono::milliseconds FLastSleep{};
  const int FWake;
};

}  // namespace talmo::test
