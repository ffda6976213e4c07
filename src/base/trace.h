#pragma once
// The trace: one line for each thing the program asks of a device (an open,
// a settings write and what was read back, a modem-line change, the size of
// a read or a write, an RFC 2217 step, an error), for the question "what
// did it ask the device, and what did the device answer?".
//
// Off by default. Off, a trace point is one relaxed load of a global and a
// branch predicted not taken: TALMO_TRACE evaluates none of its arguments
// then, builds no text and calls nothing.
//
// A line, written with one write(2) so that lines of the port's read, write
// and event threads never mix (the call may come from any thread):
//   12345.678901 4711 /dev/ttyUSB0 tcsetattr: 115200 baud, cflag 0x1cb2
//   monotonic seconds.microseconds, kernel thread id, device ("-" for
//   none), what happened.
//
// Errors: TraceToFile returns an errno code and leaves the trace as it
// was. A later write that fails ends the trace with one line on standard
// error naming the file and the reason; the program goes on. Nothing here
// throws.

#include <atomic>
#include <string>

namespace talmo {

namespace trace_detail {
extern std::atomic<bool> gOn;
}

inline bool TraceOn() { return trace_detail::gOn.load(std::memory_order_relaxed); }

// One line (printf format, no newline). Use TALMO_TRACE, which skips the
// call and its arguments when the trace is off.
void TraceLine(const char* device, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Starts the trace on standard error, or appended to `path` (several runs,
// several processes may share one file: each starts with its own line).
// `program` names the run in that line and in the message of a failure.
void TraceToStderr(const char* program);
int TraceToFile(const std::string& path, const char* program);
// Ends the trace and closes its file.
void TraceOff();

// TALMO_TRACE: unset, "" or "0" leaves the trace as it is; "1" traces to
// standard error; anything else is a file to trace to. Returns "" or what
// went wrong, for the program to show (the trace is then off).
std::string TraceFromEnvironment(const char* program);

}  // namespace talmo

// A trace point: TALMO_TRACE(device, "format", args...).
#define TALMO_TRACE(device, ...)                 \
  do {                                           \
    if (::talmo::TraceOn()) [[unlikely]]         \
      ::talmo::TraceLine((device), __VA_ARGS__); \
  } while (0)
