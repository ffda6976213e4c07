#pragma once
// The transmit-file window's write, wired to the main window's port.

#include <functional>
#include <string>

namespace talmo {

class TSerCustomComm;

// A write over a port component, in pieces the port's write queue can take.
std::function<void(const std::string&)> PortWriter(TSerCustomComm& port);

}  // namespace talmo
