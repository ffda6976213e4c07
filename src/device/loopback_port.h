#pragma once
// The built-in loopback port: a pseudo-terminal pair whose far end sends back
// every byte it receives, like a loopback plug on a real port. The near end
// is an ordinary tty path that the port component opens like any device, so
// line settings are accepted and sent bytes come back in order.
//
// Its near end has modem lines of its own (device/modem_emulation.h), wired
// as a loopback plug: RTS to CTS, DTR to DSR and DCD, and a break sent comes
// back as a break (a NUL byte, and the break counted), ahead of bytes that
// reach the far end with it.
//
// A thread echoes the bytes; it sleeps in poll() while nothing arrives, so
// an unused loopback costs nothing. While the near end's input queue is
// full the far end keeps up to kRingSize bytes; beyond that it stops taking
// more (the sender waits), so no byte is ever lost.

#include <cstddef>
#include <memory>
#include <string>
#include <thread>

namespace talmo {

class TModemEmulation;

class TLoopbackPort {
 public:
  // The name the port list gives it.
  static constexpr const char* kName = "COM99";
  static constexpr const char* kDescription = "Built-in loopback port (sends back every byte)";
  // Bytes the far end holds while the near end is not read.
  static constexpr std::size_t kRingSize = 1 << 20;

  TLoopbackPort();
  ~TLoopbackPort();
  TLoopbackPort(const TLoopbackPort&) = delete;
  TLoopbackPort& operator=(const TLoopbackPort&) = delete;

  // The program's one loopback port, made at first use and kept for the
  // life of the program.
  static TLoopbackPort& Instance();

  // Path of the near end; empty when the pair could not be made.
  const std::string& Path() const { return FPath; }
  // Why the pair could not be made: the errno code (0 when it works) and
  // its sentence ("" when it works).
  int ErrorCode() const { return FErrorCode; }
  std::string Error() const;

 private:
  void Run();

  int FMaster = -1;
  // Held open so the far end never sees the near end hang up between the
  // component's opens (poll would report that without end).
  int FSlave = -1;
  int FWake = -1;
  std::shared_ptr<TModemEmulation> FModem;
  unsigned long FNearDevice = 0;  // the near end's device number, registered
  std::string FPath;
  int FErrorCode = 0;
  std::thread FThread;
};

}  // namespace talmo
