#include "device/loopback_port.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <system_error>
#include <vector>

#include "base/error_text.h"
#include "base/trace.h"
#include "device/wake_fd.h"

namespace talmo {

TLoopbackPort::TLoopbackPort() {
  char name[256] = {};
  if (::openpty(&FMaster, &FSlave, name, nullptr, nullptr) != 0) {
    FErrorCode = errno;
    TALMO_TRACE("loopback", "openpty failed: %s", SysErrorText(FErrorCode).c_str());
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
    FErrorCode = errno;
    return;
  }
  // A pair without its echo thread would take bytes and never give them
  // back: without the thread there is no loopback port.
  try {
    FThread = std::thread([this] { Run(); });
  } catch (const std::system_error& e) {
    FErrorCode = e.code().value();
    TALMO_TRACE("loopback", "echo thread not started: %s", SysErrorText(FErrorCode).c_str());
    return;
  }
  FPath = name;
  TALMO_TRACE("loopback", "pair made: near end %s, echoed by its own thread", name);
}

std::string TLoopbackPort::Error() const {
  return FErrorCode ? "cannot make the loopback pair: " + SysErrorText(FErrorCode) : std::string();
}

TLoopbackPort::~TLoopbackPort() {
  if (FThread.joinable()) {
    SignalWake(FWake);
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
  // A ring of what came in and has not gone back yet. While the near end is
  // not read, the far end keeps taking bytes up to the ring's size, so a
  // sender that waits for room in its own queue is not stalled by bytes it
  // has not read back yet.
  std::vector<std::uint8_t> ring(kRingSize);
  std::size_t head = 0;   // next byte to send back
  std::size_t count = 0;  // bytes in the ring
  for (;;) {
    short events = 0;
    if (count < ring.size()) events |= POLLIN;
    if (count > 0) events |= POLLOUT;
    pollfd fds[2] = {{FMaster, events, 0}, {FWake, POLLIN, 0}};
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
    bool failed = false;
    if ((fds[0].revents & POLLIN) && count < ring.size()) {
      const std::size_t tail = (head + count) % ring.size();
      const std::size_t room = tail >= head ? ring.size() - tail : head - tail;
      const ssize_t n = ::read(FMaster, ring.data() + tail, std::min(room, ring.size() - count));
      if (n > 0)
        count += static_cast<std::size_t>(n);
      else if (n < 0 && errno != EAGAIN && errno != EINTR)
        failed = true;
    }
    if ((fds[0].revents & POLLOUT) && count > 0) {
      const std::size_t run = std::min(count, ring.size() - head);
      const ssize_t n = ::write(FMaster, ring.data() + head, run);
      if (n > 0) {
        head = (head + static_cast<std::size_t>(n)) % ring.size();
        count -= static_cast<std::size_t>(n);
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        failed = true;
      }
    }
    if (failed) ::poll(fds + 1, 1, 100);
  }
}

}  // namespace talmo
