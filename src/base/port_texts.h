#pragma once
// Texts the window and talmocli write about a port: the port number taken
// from a port name, and the lines that report line errors. Pure texts: the
// error bits they name are in base/line_error_bits.h.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace talmo {

// A text that is not a whole decimal number.
class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The number after "COM" in a port name (COM3 gives 3, COM123 123). Raises
// EConvertError "'%s' is not a valid integer value" with that rest.
int PortNumberFromName(const std::string& name);

// What the user is told when the device has gone away (CE_IOE).
inline constexpr char kDeviceGoneText[] = "The device is no longer available.";

// "Error COMn <errors>", then one line per known error bit (CE_IOE: the
// device has gone away).
std::vector<std::string> ErrorLines(int portNum, std::uint32_t errors);

}  // namespace talmo
