#pragma once
// Writes onto a port component in pieces its write queue can take (the
// script player of the window and of talmocli).

#include <functional>
#include <string>

namespace talmo {

class TSerCustomComm;

// A write over a port component, in pieces the port's write queue can take.
// `sent` (may be empty) is told each piece the queue took, e.g. to record
// it in a timed capture.
std::function<void(const std::string&)> PortWriter(TSerCustomComm& port,
                                                   std::function<void(const char*, int)> sent = {});

}  // namespace talmo
