#include "engine/stopwatch.h"

#include "engine/clock.h"

namespace talmo {

TCounter MonotonicCounter() {
  TCounter c;
  c.Read = [](std::int64_t& v) {
    v = MonotonicNanoseconds();
    return true;
  };
  c.Frequency = 1000000000;
  return c;
}

TStopWatch::TStopWatch(bool startOnCreate, TCounter counter) : Counter_(std::move(counter)) {
  HighResolution_ = Counter_.Frequency > 0 && Counter_.Read;
  Frequency_ = HighResolution_ ? Counter_.Frequency : 1000;
  if (startOnCreate) Start();
}

void TStopWatch::ReadCounter(std::int64_t& value) const {
  if (!HighResolution_) {
    value = MonotonicNanoseconds() / 1000000;
    return;
  }
  // A counter that fails to read leaves the previous count, so the lap
  // reads as zero rather than as garbage.
  std::int64_t read = value;
  if (Counter_.Read(read)) value = read;
}

void TStopWatch::Start() {
  ReadCounter(StartCount_);
  Running_ = true;
}

void TStopWatch::Stop() {
  ReadCounter(StopCount_);
  Running_ = false;
}

std::int64_t TStopWatch::ElapsedMicroseconds() const {
  // Same value as delta * 1e6 / Frequency, split so a nanosecond counter
  // does not overflow 64 bits after two and a half hours between frames.
  const std::int64_t delta = StopCount_ - StartCount_;
  return delta / Frequency_ * 1000000 + delta % Frequency_ * 1000000 / Frequency_;
}

}  // namespace talmo
