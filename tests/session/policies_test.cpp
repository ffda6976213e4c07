#include <gtest/gtest.h>

#include "session/hold_off.h"
#include "session/reconnect_policy.h"

namespace talmo {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
const Clock::time_point T0{};

TEST(ReconnectPolicy, BacksOffAndASecondLossSoonAfterTheReturnWaitsLonger) {
  TReconnectPolicy p;
  EXPECT_EQ(p.Lost(T0), T0 + 100ms) << "a quick return is seen at once";
  EXPECT_EQ(p.Failed(T0 + 100ms), T0 + 300ms);
  EXPECT_EQ(p.Failed(T0 + 300ms), T0 + 700ms);
  EXPECT_EQ(p.Failed(T0 + 700ms), T0 + 1500ms);
  EXPECT_EQ(p.Failed(T0 + 1500ms), T0 + 2500ms) << "at most one try a second";
  p.Back(T0 + 2500ms);
  // Lost again within the settle time: the longer pause goes on.
  EXPECT_EQ(p.Lost(T0 + 3s), T0 + 4s);
  p.Back(T0 + 4s);
  // Lost after it had settled: the first pause again.
  EXPECT_EQ(p.Lost(T0 + 14s), T0 + 14s + 100ms);
  // A device that drops right after each return: the pause doubles up to
  // the most, never back to the first.
  TReconnectPolicy flaky;
  Clock::time_point t = T0;
  std::vector<Clock::duration> pauses;
  for (int i = 0; i < 6; ++i) {
    const Clock::time_point at = flaky.Lost(t);
    pauses.push_back(at - t);
    flaky.Back(at);
    t = at + 50ms;
  }
  EXPECT_EQ(pauses, (std::vector<Clock::duration>{100ms, 200ms, 400ms, 800ms, 1000ms, 1000ms}));
}

TEST(HoldOff, RestsOnlyAfterASlowBatchAndNeverWhenNotAllowed) {
  const struct {
    const char* name;
    bool allowed;
    std::uint64_t bytes;
    Clock::duration since;
    bool holds;
  } rows[] = {
      {"slow stream", true, 40, 100ms, true},
      {"fast stream", true, 4000, 10ms, false},
      {"just under the rate", true, 1023, 20ms, true},
      {"at the rate", true, 1024, 20ms, false},
      {"time stamps or PROD2: never", false, 1, 1s, false},
      {"nothing came", true, 0, 1s, false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    THoldOff h(r.allowed, T0);
    h.Batch(r.bytes, T0 + r.since);
    EXPECT_EQ(h.Holding(T0 + r.since), r.holds);
    if (r.holds) {
      EXPECT_EQ(h.Until(), T0 + r.since + 20ms);
      EXPECT_FALSE(h.Holding(T0 + r.since + 20ms));
      h.Release(T0 + r.since);
      EXPECT_FALSE(h.Holding(T0 + r.since)) << "a loss serves the hand-off again at once";
    }
  }
}

}  // namespace
}  // namespace talmo
