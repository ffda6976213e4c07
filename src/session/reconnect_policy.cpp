#include "session/reconnect_policy.h"

#include <algorithm>

namespace talmo {

TReconnectPolicy::Clock::duration TReconnectPolicy::Longer() const {
  return std::min<Clock::duration>(FDelay * 2, kRetryMost);
}

TReconnectPolicy::Clock::time_point TReconnectPolicy::Lost(Clock::time_point now) {
  FDelay = !FBackAt || now - *FBackAt >= kSettled ? kRetryFirst : Longer();
  return now + FDelay;
}

TReconnectPolicy::Clock::time_point TReconnectPolicy::Failed(Clock::time_point now) {
  FDelay = Longer();
  return now + FDelay;
}

}  // namespace talmo
