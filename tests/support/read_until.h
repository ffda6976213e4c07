#pragma once
// Reading a pipe or a pseudo-terminal's far end as a user would see it:
// until what came is enough, the input ends, or the time is up.

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <string>

namespace talmo::test {

// Appends what `fd` gives to `into` until `done(into)` holds, the end of
// input, or `limit`; gives whether `done` holds. Works on blocking and
// non-blocking descriptors alike.
inline bool ReadUntil(int fd, std::string& into,
                      const std::function<bool(const std::string&)>& done,
                      std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  using Clock = std::chrono::steady_clock;
  const auto end = Clock::now() + limit;
  while (!done(into)) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 100))) <= 0) continue;
    char buf[65536];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return done(into);
    if (n > 0) into.append(buf, static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace talmo::test
