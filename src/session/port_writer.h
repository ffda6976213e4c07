#pragma once
// Writes onto a port component in pieces its write queue can take (the
// script player of the window and of talmocli).

#include <functional>
#include <string>

namespace talmo {

class TSerCustomComm;

// A write over a port component, in pieces the port's write queue can take.
std::function<void(const std::string&)> PortWriter(TSerCustomComm& port);

}  // namespace talmo
