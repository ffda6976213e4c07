#pragma once
// The device-operations table over a TCP connection to an RFC 2217 server
// (ser2net, a terminal server): a serial line on another machine. Settings
// go out as COM-PORT commands and are read back from the server's answers;
// line-state and modem-state notifications become the error and event bits
// a local device reports; a connection that drops is a device gone away.
//
// Threading contract
// ------------------
// The component calls WaitEvent on its event thread, Write on its write
// thread and everything else on the GUI thread; Cancel may come from any
// thread. There is no thread of our own: whichever call needs the socket's
// input reads it ("pumps": recv without blocking, then decode).
// FInLock guards the decoder, the option states, the received data, the
// answers, the line errors and the pending events. Every pump runs under
// it, so data and commands are taken in stream order by one thread at a
// time.
// FOutLock guards the output buffer, which holds whole Telnet units only
// (an escaped data piece, a command), so a command of the GUI thread never
// lands inside a data byte's escape. A thread that holds FInLock may take
// FOutLock (a pump answers a negotiation); never the other way round.
// No lock is held while a thread waits in poll().
// The event thread waits in poll() on the socket, a kick eventfd and the
// cancel eventfd. A pump on another thread that leaves data or events to
// report kicks it, so nothing waits for the next packet to be reported.
//
// Bounds: every wait on the server has one. Resolving and connecting take
// at most TRfc2217Timing::ConnectMs (the window's open delay: a host that
// does not answer holds the GUI no longer than a local open does); the
// option negotiation, the empty start and each round of setting answers at
// most AnswerMs each, so a server that answers nothing costs an open about
// 450 ms once, a live one a few milliseconds. An answer that does not come
// in time is not waited for again on this connection: the setting goes on
// without it (ser2net never answers DTR and RTS on a pseudo-terminal,
// which has no modem lines), and a server that never agreed to the
// COM-PORT option gets no second wait.
//
// After a failed open nothing is left: no socket, no thread (a host-name
// look-up that outlives its bound finishes on a detached thread of its
// own and is then dropped).

#include <cstdint>
#include <memory>
#include <string>

#include "serial/ser_device.h"

namespace talmo {

struct TRfc2217Timing {
  // Resolve and connect; the window's open delay, so a remote open never
  // holds the GUI longer than a local one does.
  int ConnectMs = 150;
  // The option negotiation, and a round of setting answers.
  int AnswerMs = 100;
  // Once every line setting is answered, how much longer the modem lines'
  // answers may take.
  int GraceMs = 20;
};

// Opens "rfc2217://HOST:PORT". On failure returns null and an errno code:
// EINVAL for a name that is not of that form, ENXIO for a host name that
// does not resolve, ECONNREFUSED, ETIMEDOUT, ENETUNREACH and the like for
// the connection, ECONNRESET when the server closed it during the open.
std::unique_ptr<TSerDevice> OpenRfc2217Device(const std::string& name, int& error,
                                              const TRfc2217Timing& timing = {});

// How often the remote devices of this process have waited (poll() calls
// and waits that end at once). Tests and benchmarks count with it that a
// lost connection does not make a thread spin.
std::uint64_t Rfc2217WaitCount();

}  // namespace talmo
