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

TStopWatch::TStopWatch(bool startOnCreate, TCounter counter) : FCounter(std::move(counter)) {
  FHighResolution = FCounter.Frequency > 0 && FCounter.Read;
  FFrequency = FHighResolution ? FCounter.Frequency : 1000;
  if (startOnCreate) Start();
}

void TStopWatch::ReadCounter(std::int64_t& value) const {
  if (!FHighResolution) {
    value = MonotonicNanoseconds() / 1000000;
    return;
  }
  // A counter that fails to read leaves the previous count, so the lap
  // reads as zero rather than as garbage.
  std::int64_t read = value;
  if (FCounter.Read(read)) value = read;
}

void TStopWatch::Start() {
  ReadCounter(FStartCount);
  FRunning = true;
}

void TStopWatch::Stop() {
  ReadCounter(FStopCount);
  FRunning = false;
}

std::int64_t TStopWatch::ElapsedMicroseconds() const {
  // Same value as delta * 1e6 / Frequency, split so a nanosecond counter
  // does not overflow 64 bits after two and a half hours between frames.
  const std::int64_t delta = FStopCount - FStartCount;
  return delta / FFrequency * 1000000 + delta % FFrequency * 1000000 / FFrequency;
}

}  // namespace talmo
