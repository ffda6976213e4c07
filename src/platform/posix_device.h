#pragma once
// The device-operations table over a Linux tty: termios for the settings,
// poll() on the device and an eventfd for waiting, the kernel's counters for
// the error state. The driver also opens remote ports (rfc2217_device.h).

#include <functional>
#include <memory>
#include <string>

#include "serial/ser_device.h"

namespace talmo {

class TSerPosixDriver : public TSerDriver {
 public:
  // Turns a port name that is not a path ("\\.\COM5") into one; an empty
  // result means no such device. Names that begin with "/" are paths.
  using TResolver = std::function<std::string(const std::string& name)>;

  explicit TSerPosixDriver(TResolver resolver = {}) : FResolver(std::move(resolver)) {}

  // Opens read/write, no controlling tty, non-blocking, and exclusive:
  // TIOCEXCL, plus an flock that holds also against root. A device held by
  // someone else answers EBUSY. A name, or a resolved name, of the form
  // "rfc2217://HOST:PORT" opens a remote port instead.
  std::unique_ptr<TSerDevice> Open(const std::string& name, int& error) override;
  // For a device the user may not open: the group to join (see
  // DeviceAccessHint).
  std::string OpenHint(const std::string& name, int error) const override;
  void ApplyThreadPriority(TThreadPriority priority) const override;

 private:
  TResolver FResolver;
};

// The calling thread's nice value for `priority` (tpNormal: 0); best
// effort, for every driver whose port threads run on this system.
void ApplyPosixThreadPriority(TThreadPriority priority);

}  // namespace talmo
