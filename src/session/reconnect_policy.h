#pragma once
// When a lost device is tried again. A quick return is seen at once, a long
// absence costs one try a second, and a device that drops again soon after
// its return goes on with the longer pause, so one that keeps failing comes
// and goes at most once a second. Pure: the caller gives the time.

#include <chrono>
#include <optional>

namespace talmo {

class TReconnectPolicy {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr Clock::duration kRetryFirst = std::chrono::milliseconds(100);
  static constexpr Clock::duration kRetryMost = std::chrono::milliseconds(1000);
  // A device back for this long counts as settled: its next loss starts
  // again with the first pause.
  static constexpr Clock::duration kSettled = std::chrono::seconds(10);

  // The device went away at `now`: when to try it first.
  Clock::time_point Lost(Clock::time_point now);
  // A try at `now` failed: when to try next.
  Clock::time_point Failed(Clock::time_point now);
  // The device came back at `now`.
  void Back(Clock::time_point now) { FBackAt = now; }
  Clock::duration Delay() const { return FDelay; }

 private:
  Clock::duration Longer() const;

  Clock::duration FDelay = kRetryFirst;
  std::optional<Clock::time_point> FBackAt;
};

}  // namespace talmo
