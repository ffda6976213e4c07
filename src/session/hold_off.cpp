#include "session/hold_off.h"

namespace talmo {

void THoldOff::Batch(std::uint64_t bytes, Clock::time_point now) {
  if (bytes == 0 || !FAllowed) return;
  // The bytes of this batch came in since the previous one.
  const auto since =
      std::chrono::duration_cast<std::chrono::microseconds>(now - FLastBatch).count();
  const auto holdUs = std::chrono::duration_cast<std::chrono::microseconds>(kHoldOff).count();
  if (bytes * static_cast<std::uint64_t>(holdUs) < kHoldBytes * static_cast<std::uint64_t>(since))
    FUntil = now + kHoldOff;
  FLastBatch = now;
}

}  // namespace talmo
