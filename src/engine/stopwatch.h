#pragma once
// Lap timer of the frame stamps: measures from the last Start to the last
// Stop over an injected counter.

#include <cstdint>
#include <functional>

namespace talmo {

struct TCounter {
  // Reads the counter; returns false when no counter is available.
  std::function<bool(std::int64_t&)> Read;
  // Counts per second; 0 when there is no high-resolution counter.
  std::int64_t Frequency = 0;
};

// The system's monotonic counter in nanoseconds.
TCounter MonotonicCounter();

class TStopWatch {
 public:
  // Without a high-resolution counter the watch falls back to milliseconds
  // of the monotonic clock (1000 counts per second).
  explicit TStopWatch(bool startOnCreate, TCounter counter = MonotonicCounter());

  void Start();
  void Stop();
  // (StopCount - StartCount) in microseconds, from the last Start to the
  // last Stop.
  std::int64_t ElapsedMicroseconds() const;

  std::int64_t Frequency() const { return FFrequency; }
  bool Running() const { return FRunning; }
  bool HighResolution() const { return FHighResolution; }
  std::int64_t StartCount() const { return FStartCount; }
  std::int64_t StopCount() const { return FStopCount; }

 private:
  void ReadCounter(std::int64_t& value) const;

  TCounter FCounter;
  std::int64_t FFrequency = 1000;
  bool FRunning = false;
  bool FHighResolution = false;
  std::int64_t FStartCount = 0;
  std::int64_t FStopCount = 0;
};

}  // namespace talmo
