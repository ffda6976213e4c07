#include "device/modem_emulation.h"

#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <map>
#include <mutex>

#include "device/wake_fd.h"

namespace talmo {

namespace {

std::mutex gRegistryLock;
std::map<dev_t, std::weak_ptr<TModemEmulation>>& Registry() {
  static std::map<dev_t, std::weak_ptr<TModemEmulation>> registry;
  return registry;
}

// What a loopback plug makes of the outputs: RTS to CTS, DTR to DSR and DCD.
int Wired(int outputs) {
  int lines = outputs & (TIOCM_DTR | TIOCM_RTS);
  if (outputs & TIOCM_RTS) lines |= TIOCM_CTS;
  if (outputs & TIOCM_DTR) lines |= TIOCM_DSR | TIOCM_CD;
  return lines;
}

std::uint64_t DrainFd(int fd) {
  std::uint64_t n = 0;
  if (fd >= 0 && ::read(fd, &n, sizeof n) != sizeof n) n = 0;
  return n;
}

}  // namespace

TModemEmulation::TModemEmulation()
    : FChangeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      FBreakFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

TModemEmulation::~TModemEmulation() {
  for (int fd : {FChangeFd, FBreakFd})
    if (fd >= 0) ::close(fd);
}

int TModemEmulation::Lines() const { return Wired(FLines.load()); }

void TModemEmulation::Set(int lines) {
  const int before = FLines.exchange(lines & (TIOCM_DTR | TIOCM_RTS));
  if (Wired(before) != Wired(lines)) SignalWake(FChangeFd);
}

void TModemEmulation::Change(int set, int clear) {
  int lines = FLines.load();
  lines |= set;
  lines &= ~clear;
  Set(lines);
}

void TModemEmulation::Opened() { Set(TIOCM_DTR | TIOCM_RTS); }

void TModemEmulation::Closed() {
  Set(0);
  FBreak.store(false);
}

void TModemEmulation::Drain() const { (void)DrainFd(FChangeFd); }

void TModemEmulation::Break(bool on) {
  if (on && !FBreak.exchange(true)) SignalWake(FBreakFd);
  if (!on) FBreak.store(false);
}

int TModemEmulation::TakeBreaks() { return static_cast<int>(DrainFd(FBreakFd)); }

void RegisterModemEmulation(dev_t rdev, std::shared_ptr<TModemEmulation> emulation) {
  std::lock_guard lock(gRegistryLock);
  Registry()[rdev] = emulation;
}

void UnregisterModemEmulation(dev_t rdev) {
  std::lock_guard lock(gRegistryLock);
  Registry().erase(rdev);
}

std::shared_ptr<TModemEmulation> FindModemEmulation(dev_t rdev) {
  std::lock_guard lock(gRegistryLock);
  const auto it = Registry().find(rdev);
  return it == Registry().end() ? nullptr : it->second.lock();
}

}  // namespace talmo
