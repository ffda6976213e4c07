#pragma once
// A signal's disposition changed for a scope and restored at its end, so a
// test leaves the process as it found it for the tests after it.

#include <signal.h>

namespace talmo::test {

class TSignalScope {
 public:
  TSignalScope(int signal, void (*handler)(int)) : FSignal(signal) {
    struct sigaction now {};
    now.sa_handler = handler;
    sigemptyset(&now.sa_mask);
    FSaved = ::sigaction(signal, &now, &FOld) == 0;
  }
  ~TSignalScope() {
    if (FSaved) ::sigaction(FSignal, &FOld, nullptr);
  }
  TSignalScope(const TSignalScope&) = delete;
  TSignalScope& operator=(const TSignalScope&) = delete;

 private:
  int FSignal;
  struct sigaction FOld {};
  bool FSaved = false;
};

}  // namespace talmo::test
