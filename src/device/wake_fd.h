#pragma once
// Waking a thread that sleeps in poll(): an eventfd made readable. Closing
// a descriptor does not wake a poll on it, a write to an eventfd does.

#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace talmo {

// Adds one to the counter of the eventfd `fd` (nothing when fd < 0). Safe in
// a signal handler; errno is left as it was.
inline void SignalWake(int fd) noexcept {
  if (fd < 0) return;
  const int saved = errno;
  const std::uint64_t one = 1;
  ssize_t r;
  do {
    r = ::write(fd, &one, sizeof one);
  } while (r < 0 && errno == EINTR);
  errno = saved;
}

}  // namespace talmo
