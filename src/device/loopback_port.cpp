#include "device/loopback_port.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <deque>
#include <system_error>
#include <vector>

#include "base/error_text.h"
#include "base/trace.h"
#include "device/modem_emulation.h"
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
  FModem = std::make_shared<TModemEmulation>();
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
  // Modem lines for the near end: without them it is a pty, which has
  // none, and nothing could try DTR, RTS or a break on it.
  if (struct stat st{}; ::fstat(FSlave, &st) == 0 && FModem && FModem->Ok()) {
    FNearDevice = st.st_rdev;
    RegisterModemEmulation(st.st_rdev, FModem);
  }
  FPath = name;
  TALMO_TRACE("loopback", "pair made: near end %s, echoed by its own thread", name);
}

std::string TLoopbackPort::Error() const {
  return FErrorCode ? "cannot make the loopback pair: " + SysErrorText(FErrorCode) : std::string();
}

TLoopbackPort::~TLoopbackPort() {
  if (FNearDevice) UnregisterModemEmulation(static_cast<dev_t>(FNearDevice));
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
  // Bytes ever taken in and sent back, and where the breaks' NUL bytes
  // stand among them, so each break is counted just before its byte.
  std::uint64_t taken = 0, sent = 0;
  std::deque<std::uint64_t> breaks;
  int breaksWaiting = 0;
  const int breakFd = FModem && FModem->Ok() ? FModem->BreakFd() : -1;
  const auto takeIn = [&] {
    const std::size_t tail = (head + count) % ring.size();
    const std::size_t room = tail >= head ? ring.size() - tail : head - tail;
    const ssize_t n = ::read(FMaster, ring.data() + tail, std::min(room, ring.size() - count));
    if (n > 0) {
      count += static_cast<std::size_t>(n);
      taken += static_cast<std::uint64_t>(n);
    }
    return n;
  };
  for (;;) {
    short events = 0;
    if (count < ring.size()) events |= POLLIN;
    if (count > 0) events |= POLLOUT;
    pollfd fds[3] = {{FMaster, events, 0}, {FWake, POLLIN, 0}, {breakFd, POLLIN, 0}};
    if (::poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    if (fds[0].revents & (POLLERR | POLLNVAL)) {
      // Should not happen while the near end is held open; never spin on it.
      ::poll(fds + 1, 1, 100);
      continue;
    }
    // A break goes into the ring before the bytes of this wake-up: those
    // may have been sent after it, while what was sent before it has had
    // its wake-up already.
    if (fds[2].revents & POLLIN) breaksWaiting += FModem->TakeBreaks();
    while (breaksWaiting > 0 && count < ring.size()) {
      ring[(head + count) % ring.size()] = 0;
      breaks.push_back(taken);
      ++count;
      ++taken;
      --breaksWaiting;
    }
    bool failed = false;
    if ((fds[0].revents & POLLIN) && count < ring.size()) {
      const ssize_t n = takeIn();
      if (n < 0 && errno != EAGAIN && errno != EINTR) failed = true;
    }
    if (count > 0) {
      std::size_t run = std::min(count, ring.size() - head);
      if (!breaks.empty() && breaks.front() == sent) {
        FModem->BreakDelivered();
        breaks.pop_front();
      }
      if (!breaks.empty()) run = std::min<std::size_t>(run, breaks.front() - sent);
      const ssize_t n = ::write(FMaster, ring.data() + head, run);
      if (n > 0) {
        head = (head + static_cast<std::size_t>(n)) % ring.size();
        count -= static_cast<std::size_t>(n);
        sent += static_cast<std::uint64_t>(n);
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        failed = true;
      }
    }
    if (failed) ::poll(fds + 1, 1, 100);
  }
}

}  // namespace talmo
