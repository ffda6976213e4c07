#pragma once
// Batching of a slow stream's hand-offs. Under a slow stream the port's
// threads would wake the program for every few bytes. The event thread
// already waits for its dispatch and the device keeps what arrives
// meanwhile, so while the line brings less than kHoldBytes per kHoldOff the
// hand-off is left alone that long after each batch, and the next dispatch
// takes all that came: a few times fewer wake-ups for a delay no reader of
// the lines can see. A faster stream is served at once, so that the
// device's buffer never fills because of it.
//
// Never with time stamps or PROD2: they take the moment each block is
// handled as the moment it arrived (stamp, pause rule), so there every
// block is handled as it comes.

#include <chrono>
#include <cstdint>

namespace talmo {

class THoldOff {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr Clock::duration kHoldOff = std::chrono::milliseconds(20);
  static constexpr std::uint64_t kHoldBytes = 1024;

  THoldOff(bool allowed, Clock::time_point start)
      : FAllowed(allowed), FUntil(start), FLastBatch(start) {}

  // Whether the hand-off is ever held.
  bool Allowed() const { return FAllowed; }
  // A batch of `bytes` was handled at `now`.
  void Batch(std::uint64_t bytes, Clock::time_point now);
  // Serve the hand-off again at once (the device was lost).
  void Release(Clock::time_point now) { FUntil = now; }
  bool Holding(Clock::time_point now) const { return now < FUntil; }
  Clock::time_point Until() const { return FUntil; }

 private:
  bool FAllowed;
  Clock::time_point FUntil;
  Clock::time_point FLastBatch;
};

}  // namespace talmo
