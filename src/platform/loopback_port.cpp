#include "loopback_port.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

namespace talmo {

TLoopbackPort::TLoopbackPort() {
  char name[256] = {};
  if (::openpty(&FMaster, &FSlave, name, nullptr, nullptr) != 0) {
    FError = std::string("cannot make the loopback pair: ") + std::strerror(errno);
    return;
  }
  // Raw from the start, so nothing is echoed or changed by the line
  // discipline before the component sets the line up.
  termios t{};
  if (::tcgetattr(FSlave, &t) == 0) {
    ::cfmakeraw(&t);
    ::tcsetattr(FSlave, TCSANOW, &t);
  }
  ::fcntl(FMaster, F_SETFD, FD_CLOEXEC);
  ::fcntl(FSlave, F_SETFD, FD_CLOEXEC);
  ::fcntl(FMaster, F_SETFL, ::fcntl(FMaster, F_GETFL) | O_NONBLOCK);
  FWake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (FWake < 0) {
    FError = std::string("cannot make the loopback pair: ") + std::strerror(errno);
    return;
  }
  FPath = name;
  FThread = std::thread([this] { Run(); });
}

TLoopbackPort::~TLoopbackPort() {
  if (FThread.joinable()) {
    const std::uint64_t one = 1;
    (void)!::write(FWake, &one, sizeof one);
    FThread.join();
  }
  for (int fd : {FWake, FSlave, FMaster})
    if (fd >= 0) ::close(fd);
}

TLoopbackPort& TLoopbackPort::Instance() {
  static TLoopbackPort port;
  return port;
}

void TLoopbackPort::Run() {
  std::vector<std::uint8_t> buf(1 << 16);
  std::size_t have = 0;  // bytes read and not yet sent back
  std::size_t sent = 0;
  for (;;) {
    pollfd fds[2] = {{FMaster, static_cast<short>(have ? POLLOUT : POLLIN), 0}, {FWake, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    if (fds[0].revents & (POLLERR | POLLNVAL)) {
      // Should not happen while the near end is held open; never spin on it.
      ::poll(fds + 1, 1, 100);
      continue;
    }
    if (have == 0) {
      const ssize_t n = ::read(FMaster, buf.data(), buf.size());
      if (n > 0) {
        have = static_cast<std::size_t>(n);
        sent = 0;
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        ::poll(fds + 1, 1, 100);
      }
      continue;
    }
    const ssize_t n = ::write(FMaster, buf.data() + sent, have - sent);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      if (sent == have) have = 0;
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      ::poll(fds + 1, 1, 100);
    }
  }
}

}  // namespace talmo
