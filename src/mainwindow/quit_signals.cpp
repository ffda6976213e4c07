#include "mainwindow/quit_signals.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <QSocketNotifier>

#include <cerrno>
#include <cstdint>
#include <stdexcept>

namespace talmo {
namespace {

// The handler's only state: the descriptor it writes to.
volatile sig_atomic_t gQuitFd = -1;

extern "C" void OnQuitSignal(int) {
  const int saved = errno;
  const std::uint64_t one = 1;
  if (gQuitFd >= 0) {
    // Nothing can be done about a failed write here; the counter is read
    // long before it could fill.
    const ssize_t n = ::write(gQuitFd, &one, sizeof one);
    (void)n;
  }
  errno = saved;
}

}  // namespace

TQuitSignals::TQuitSignals(std::function<void()> onSignal, QObject* parent)
    : QObject(parent), FOnSignal(std::move(onSignal)) {
  if (gQuitFd >= 0) throw std::logic_error("TQuitSignals: one per process");
  const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) throw std::runtime_error("eventfd failed");
  gQuitFd = fd;
  FNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
  connect(FNotifier, &QSocketNotifier::activated, this, [this] { Arrived(); });
  for (std::size_t i = 0; i < std::size(kSignals); ++i) {
    struct sigaction sa {};
    sa.sa_handler = OnQuitSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(kSignals[i], &sa, &FOld[i]);
  }
}

TQuitSignals::~TQuitSignals() {
  for (std::size_t i = 0; i < std::size(kSignals); ++i) ::sigaction(kSignals[i], &FOld[i], nullptr);
  const int fd = gQuitFd;
  gQuitFd = -1;
  delete FNotifier;
  ::close(fd);
}

void TQuitSignals::Arrived() {
  std::uint64_t count = 0;
  // Reading empties the counter: signals that came together close once.
  if (::read(gQuitFd, &count, sizeof count) != sizeof count) return;
  if (FOnSignal) FOnSignal();
}

}  // namespace talmo
