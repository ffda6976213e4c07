#pragma once
// The device-operations table over a Linux tty: termios for the settings,
// poll() on the device and an eventfd for waiting, the kernel's counters for
// the error state. Only paths of local ttys come here: the device driver
// (device_driver.h) chooses between this and the other backends.

#include <memory>
#include <string>

#include "serial/ser_device.h"

namespace talmo {

// Opens the tty at `path` read/write, no controlling tty, non-blocking,
// and exclusive: TIOCEXCL, plus an flock that holds also against root.
// Returns the device, or null and an errno code in `error` (a device held
// by someone else answers EBUSY).
std::unique_ptr<TSerDevice> OpenPosixDevice(const std::string& path, int& error);

// After a failed open of the tty at `path`: for a device the user may not
// open (EACCES, EPERM) the group to join (see DeviceAccessHint), else "".
std::string PosixOpenHint(const std::string& path, int error);

// The calling thread's nice value for `priority` (tpNormal: 0); best
// effort, for every driver whose port threads run on this system.
void ApplyPosixThreadPriority(TThreadPriority priority);

}  // namespace talmo
