#pragma once
// A pseudo-terminal pair standing in for a serial device: the port under
// test opens `Path` (the slave end), the test plays the device on `Master`.

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <string>

namespace talmo::test {

class TPtyPair {
 public:
  enum class TMaster { Blocking, NonBlocking };
  // Raw: no line discipline changes the bytes. AsMade: the system's
  // defaults, for tests of the code that sets the line up itself.
  enum class TSlave { Raw, AsMade };

  TPtyPair() = default;
  ~TPtyPair() { Close(); }
  TPtyPair(const TPtyPair&) = delete;
  TPtyPair& operator=(const TPtyPair&) = delete;

  // Makes a new pair (closing any earlier one); false when no pair can be
  // made.
  bool Open(TMaster mode = TMaster::NonBlocking, TSlave slave = TSlave::Raw);
  void CloseMaster();
  void CloseSlave();
  // Both ends: the device goes away.
  void Close();

  int Master = -1;
  // Held open here too, so the line does not hang up between the port's
  // opens and its settings can be read back.
  int Slave = -1;
  std::string Path;
};

inline bool TPtyPair::Open(TMaster mode, TSlave slave) {
  Close();
  char name[256] = {};
  if (::openpty(&Master, &Slave, name, nullptr, nullptr) != 0) {
    Master = Slave = -1;
    return false;
  }
  Path = name;
  if (slave == TSlave::Raw) {
    termios t{};
    ::tcgetattr(Slave, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(Slave, TCSANOW, &t);
  }
  if (mode == TMaster::NonBlocking) ::fcntl(Master, F_SETFL, ::fcntl(Master, F_GETFL) | O_NONBLOCK);
  return true;
}

inline void TPtyPair::CloseMaster() {
  if (Master >= 0) ::close(Master);
  Master = -1;
}

inline void TPtyPair::CloseSlave() {
  if (Slave >= 0) ::close(Slave);
  Slave = -1;
}

inline void TPtyPair::Close() {
  CloseMaster();
  CloseSlave();
}

}  // namespace talmo::test
