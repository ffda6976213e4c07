#pragma once
// Modem lines for a tty that has none of its own. The built-in loopback
// port's near end is a pseudo-terminal, which answers ENOTTY to every
// modem-line call; its loopback registers one of these under the near
// end's device number, and the termios device (posix_device.h) that opens
// that tty asks it instead of the kernel. It is wired as a loopback plug:
// RTS to CTS, DTR to DSR and DCD (RI stays off), and a break sent comes
// back as a break (a NUL byte with the break counter grown, as a UART
// reports one).
//
// Threads: the device's calls come from its GUI and event threads, the
// echo thread takes the breaks; every member is safe from any thread.

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>

namespace talmo {

class TModemEmulation {
 public:
  TModemEmulation();
  ~TModemEmulation();
  TModemEmulation(const TModemEmulation&) = delete;
  TModemEmulation& operator=(const TModemEmulation&) = delete;

  // False when its eventfds could not be made (then nothing registers it).
  bool Ok() const { return FChangeFd >= 0 && FBreakFd >= 0; }

  // The near end's side, as TIOCMGET reports it (TIOCM_* bits).
  int Lines() const;
  // TIOCMBIS `set`, then TIOCMBIC `clear` (DTR and RTS; others ignored).
  void Change(int set, int clear);
  // The near end opened: DTR and RTS rise, as a tty's open raises them.
  // Closed: they drop, as its last close does.
  void Opened();
  void Closed();
  // Readable (an eventfd) after CTS, DSR or DCD changed; Drain empties it.
  int ChangeFd() const { return FChangeFd; }
  void Drain() const;

  // A break on the near end's output: its start is one break received.
  void Break(bool on);
  // Breaks that came back to the near end (TIOCGICOUNT's brk).
  std::uint32_t BreaksIn() const { return FBreaksIn.load(); }

  // The echo thread: readable (an eventfd) while breaks wait to be sent
  // back; TakeBreaks takes their count. BreakDelivered comes right before
  // the break's NUL byte is written back.
  int BreakFd() const { return FBreakFd; }
  int TakeBreaks();
  void BreakDelivered() { FBreaksIn.fetch_add(1); }

 private:
  void Set(int lines);

  std::atomic<int> FLines{0};  // TIOCM_DTR | TIOCM_RTS as set
  std::atomic<bool> FBreak{false};
  std::atomic<std::uint32_t> FBreaksIn{0};
  int FChangeFd = -1;
  int FBreakFd = -1;
};

// The emulation for the tty with device number `rdev`, or null. The
// registry keeps none alive: its owner unregisters it before it goes.
void RegisterModemEmulation(dev_t rdev, std::shared_ptr<TModemEmulation> emulation);
void UnregisterModemEmulation(dev_t rdev);
std::shared_ptr<TModemEmulation> FindModemEmulation(dev_t rdev);

}  // namespace talmo
