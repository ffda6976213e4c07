#include "engine/stopwatch.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "engine/clock.h"

namespace talmo {
namespace {

struct FakeCounter {
  std::int64_t now = 0;
  TCounter Counter(std::int64_t frequency) {
    TCounter c;
    c.Read = [this](std::int64_t& v) {
      v = now;
      return true;
    };
    c.Frequency = frequency;
    return c;
  }
};

TEST(StopWatch, MeasuresFromLastStartToLastStop) {
  FakeCounter fake;
  TStopWatch w(false, fake.Counter(1000000000));
  EXPECT_FALSE(w.Running());
  EXPECT_TRUE(w.HighResolution());
  fake.now = 5000;
  w.Start();
  EXPECT_TRUE(w.Running());
  fake.now = 5000 + 12345678;
  w.Stop();
  EXPECT_FALSE(w.Running());
  fake.now += 999999999;  // time after Stop does not count
  EXPECT_EQ(w.ElapsedMicroseconds(), 12345);
}

TEST(StopWatch, StartOnCreate) {
  FakeCounter fake;
  fake.now = 77;
  TStopWatch w(true, fake.Counter(1000));
  EXPECT_TRUE(w.Running());
  EXPECT_EQ(w.StartCount(), 77);
}

TEST(StopWatch, LongLapsDoNotOverflow) {
  struct Row {
    std::int64_t frequency;
    std::int64_t delta;
    std::int64_t micros;
  };
  const Row rows[] = {
      {1000000000, 3 * 3600LL * 1000000000LL, 3 * 3600LL * 1000000LL},  // 3 h in ns
      {1000000000, 400LL * 86400 * 1000000000LL, 400LL * 86400 * 1000000LL},
      {10000000, 7, 0},
      {10000000, 15, 1},
      {1000, 1, 1000},
      {3, 1, 333333},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.delta);
    FakeCounter fake;
    TStopWatch w(false, fake.Counter(r.frequency));
    w.Start();
    fake.now = r.delta;
    w.Stop();
    EXPECT_EQ(w.ElapsedMicroseconds(), r.micros);
  }
}

// The counts are whole milliseconds of the monotonic clock, read at Start
// and at Stop.
TEST(StopWatch, WithoutCounterFallsBackToMilliseconds) {
  TCounter none;
  TStopWatch w(false, none);
  EXPECT_FALSE(w.HighResolution());
  EXPECT_EQ(w.Frequency(), 1000);
  const std::int64_t before = MonotonicNanoseconds() / 1000000;
  w.Start();
  w.Stop();
  const std::int64_t after = MonotonicNanoseconds() / 1000000;
  EXPECT_LE(before, w.StartCount());
  EXPECT_LE(w.StartCount(), w.StopCount());
  EXPECT_LE(w.StopCount(), after);
  EXPECT_EQ(w.ElapsedMicroseconds(), (w.StopCount() - w.StartCount()) * 1000);
}

// The counts are the monotonic clock's nanoseconds, read at Start and at
// Stop: the lap lies within what the test saw around it.
TEST(StopWatch, DirectSuccessionOnTheRealClockIsSmallAndNonNegative) {
  TStopWatch w(false);
  EXPECT_TRUE(w.HighResolution());
  EXPECT_EQ(w.Frequency(), 1000000000);
  const std::int64_t before = MonotonicNanoseconds();
  w.Start();
  w.Stop();
  const std::int64_t after = MonotonicNanoseconds();
  EXPECT_LE(before, w.StartCount());
  EXPECT_LE(w.StartCount(), w.StopCount());
  EXPECT_LE(w.StopCount(), after);
  EXPECT_EQ(w.ElapsedMicroseconds(), (w.StopCount() - w.StartCount()) / 1000);
  EXPECT_LE(w.ElapsedMicroseconds(), (after - before) / 1000);
}

}  // namespace
}  // namespace talmo
