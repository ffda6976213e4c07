#pragma once
// The commands' hand-off from the port's threads: a posted call also makes
// a descriptor readable, so that one poll() waits for the ports' calls, a
// stop request and whatever else the command watches, together.

#include <memory>

#include "app/port_args.h"

namespace talmo {

// A non-blocking eventfd; throws std::system_error when none can be made.
int MakeWakeFd();

class TPollSync final : public TMessageSync {
 public:
  TPollSync() : FFd(MakeWakeFd()) {}
  ~TPollSync() override;
  TPollSync(const TPollSync&) = delete;
  TPollSync& operator=(const TPollSync&) = delete;

  void Post(std::shared_ptr<TSerSyncCall> call) override;
  // Readable while a call waits.
  int Fd() const { return FFd; }
  // Takes the wake-up before the queue is served; a call posted later makes
  // the descriptor readable again.
  void Clear();

 private:
  const int FFd;
};

}  // namespace talmo
