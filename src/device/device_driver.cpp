#include "device/device_driver.h"

#include <cerrno>

#include "device/posix_device.h"
#include "device/remote_port_name.h"
#include "device/rfc2217_device.h"

namespace talmo {

std::string TSerDeviceDriver::DeviceName(const std::string& name) const {
  if (IsRemotePortName(name) || (!name.empty() && name[0] == '/')) return name;
  return FResolver ? FResolver(name) : "";
}

std::unique_ptr<TSerDevice> TSerDeviceDriver::Open(const std::string& name, int& error) {
  error = 0;
  const std::string device = DeviceName(name);
  if (device.empty()) {
    error = ENOENT;
    return nullptr;
  }
  FRemoteFailure.clear();
  if (IsRemotePortName(device)) return OpenRfc2217Device(device, error, {}, &FRemoteFailure);
  return OpenPosixDevice(device, error);
}

std::string TSerDeviceDriver::OpenHint(const std::string& name, int error) const {
  const std::string device = DeviceName(name);
  if (!device.empty() && IsRemotePortName(device)) return FRemoteFailure;
  if (error != EACCES && error != EPERM) return {};
  if (device.empty()) return {};
  return PosixOpenHint(device, error);
}

void TSerDeviceDriver::ApplyThreadPriority(TThreadPriority priority) const {
  ApplyPosixThreadPriority(priority);
}

}  // namespace talmo
