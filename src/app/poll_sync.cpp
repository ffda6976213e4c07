#include "app/poll_sync.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

#include "device/wake_fd.h"

namespace talmo {

int MakeWakeFd() {
  const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0)
    throw std::system_error(errno, std::generic_category(), "cannot make an event descriptor");
  return fd;
}

TPollSync::~TPollSync() { ::close(FFd); }

void TPollSync::Post(std::shared_ptr<TSerSyncCall> call) {
  TMessageSync::Post(std::move(call));
  SignalWake(FFd);
}

void TPollSync::Clear() {
  std::uint64_t v;
  (void)!::read(FFd, &v, sizeof v);
}

}  // namespace talmo
