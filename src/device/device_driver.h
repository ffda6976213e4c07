#pragma once
// The device driver the port component opens its devices through: it turns
// a port name into a device name and picks the backend by that name.
//   "rfc2217://HOST:PORT"  the remote port (rfc2217_device.h)
//   "/..."                 a local tty through termios (posix_device.h);
//                          the built-in loopback port (loopback_port.h) is
//                          one too: the near end of its pseudo-terminal pair
//   anything else          looked up with the resolver (the port list)
// No backend knows of another; adding one is a line here.
//
// Error contract of src/device
// ----------------------------
// - Every call that asks the system for something returns 0 or an errno
//   code (an open returns null and puts the code in `error`). EIO, ENXIO and
//   ENODEV say the device has gone away (IsDeviceGone). Nothing throws out
//   of this layer: a thread that cannot be started is its errno too.
// - Pure helpers answer what they compute: the termios plan 0 or EINVAL, the
//   RFC 2217 parsers true or false for well-formed or not.
// - The layer builds no messages. The port component (src/serial) turns
//   codes into its ESerCommError texts and the programs tell the user.
//   Three things hand a finished text on: DeviceAccessHint (what the user
//   can do about a refused open, through OpenHint), the remote port, whose
//   codes alone cannot say which wait ran out or what its server did (an
//   open's explanation through OpenHint, a failed call's through Explain,
//   and TakeNotices), and the loopback port, which cannot return a code
//   from its one-time making (Error(), ErrorCode()).

#include <functional>
#include <memory>
#include <string>

#include "serial/ser_device.h"

namespace talmo {

class TSerDeviceDriver : public TSerDriver {
 public:
  // Turns a port name that is not a device name ("\\.\COM5") into one; an
  // empty result means no such device.
  using TResolver = std::function<std::string(const std::string& name)>;

  explicit TSerDeviceDriver(TResolver resolver = {}) : FResolver(std::move(resolver)) {}

  // Exclusive open of the device the name stands for (ENOENT: the resolver
  // knows no such name).
  std::unique_ptr<TSerDevice> Open(const std::string& name, int& error) override;
  // For a local device the user may not open: the group to join. For a
  // remote port, what went wrong with its server or its name (the expected
  // forms of the name, which wait ran out, what the server did).
  std::string OpenHint(const std::string& name, int error) const override;
  // The port threads run here whatever the backend: nice values.
  void ApplyThreadPriority(TThreadPriority priority) const override;

 private:
  // The device name for `name`: itself when it already is one, else what
  // the resolver makes of it ("" for none).
  std::string DeviceName(const std::string& name) const;

  TResolver FResolver;
  // The explanation of the latest remote open that failed (GUI thread).
  std::string FRemoteFailure;
};

}  // namespace talmo
