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
// FInLock guards the decoder, the option states and the answers given,
// the received data, the answers, the line errors (with those being
// folded) and the pending events. Every pump runs under
// it, so data and commands are taken in stream order by one thread at a
// time.
// FOutLock guards the output buffer, which holds whole Telnet units only
// (an escaped data piece, a command), so a command of the GUI thread never
// lands inside a data byte's escape, and the count of what we owe since
// the socket last took a byte. A thread that holds FInLock may take
// FOutLock (a pump answers a negotiation); never the other way round.
// FNoteLock guards the explanation of a failure and the notices; it is a
// leaf (taken under either lock, nothing taken under it).
// No lock is held while a thread waits in poll().
// The event thread waits in poll() on the socket, a kick eventfd and the
// cancel eventfd. A pump on another thread that leaves data or events to
// report kicks it, so nothing waits for the next packet to be reported.
//
// Bounds: every wait on the server has one, sized to the connection.
// Resolving and connecting take at most TRfc2217Timing::ConnectMs (a few
// seconds: a far server on a slow link gets there; a host that does not
// answer costs that once). The first answer (the COM-PORT option) may take
// AnswerMs, the bound, since nothing tells the round trip before it; the
// time it took is the round trip, and every later wait (the empty start,
// each round of setting answers) gets AnswerMinMs plus four of them, at
// most AnswerMs. A server that answers nothing costs an open about AnswerMs
// once, a live one a few round trips. An answer that does not come in
// time is not waited for again on this connection: the setting goes on
// without it (ser2net never answers DTR and RTS on a pseudo-terminal,
// which has no modem lines), line settings that go unconfirmed are told
// once (TakeNotices), and a server that never agreed to the COM-PORT
// option gets no second wait. When a wait runs out, Explain names it.
//
// Hostile peers: what we owe the server (answers, commands) beyond the
// data Write queues is bounded; a server that leaves it unread is a failed
// connection (the device gone, ENOBUFS). An option is answered at most a
// handful of times and a signature query a few, so a peer that flips an
// option for ever is not answered for ever. Line-state notifications are
// reported at most every 250 ms; those in between are folded into the next
// report (their bits, and their count in TSerComStat::Folded).
//
// The end (Finish, before Close): what we queued leaves our queue and then
// the socket's (SIOCOUTQ) while the input is still read, since a socket
// closed with unread input ends in a reset and the server then drops what
// it has not passed on to its device yet. Then a half-close, and the
// server's own end is waited for. A queue that does not shrink for
// EndStallMs ends the wait: the bytes that had not left are counted and
// told (Explain), as is a server that did not end within that time.
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
  // Resolve and connect.
  int ConnectMs = 3000;
  // The longest wait for an answer, and the first one's (the round trip is
  // not known before it).
  int AnswerMs = 3000;
  // The shortest wait for an answer, however near the server.
  int AnswerMinMs = 100;
  // Once every line setting is answered, how much longer the modem lines'
  // answers may take.
  int GraceMs = 20;
  // At the close, how long the bytes we queued may stay without any of
  // them leaving (our queue, then the socket's), and how long the server
  // may take to end the connection after ours. Ten seconds: a device that
  // stops reading for a few seconds (its buffer full, a slow program) and
  // then goes on is waited for; one that takes nothing for that long is
  // not coming back before the user gives up.
  int EndStallMs = 10000;
};

// Opens "rfc2217://HOST:PORT". On failure returns null and an errno code:
// EINVAL for a name that is not of that form, ENXIO for a host name that
// does not resolve, ECONNREFUSED, ETIMEDOUT, ENETUNREACH and the like for
// the connection, ECONNRESET when the server closed it during the open,
// ENOBUFS when it would not take what we owe it; and, when `explanation`
// is given, what the code alone cannot say (the expected forms of a name,
// which wait ran out, what the server did), or "".
std::unique_ptr<TSerDevice> OpenRfc2217Device(const std::string& name, int& error,
                                              const TRfc2217Timing& timing = {},
                                              std::string* explanation = nullptr);

// How often the remote devices of this process have waited (poll() calls
// and waits that end at once). Tests and benchmarks count with it that a
// lost connection does not make a thread spin.
std::uint64_t Rfc2217WaitCount();

}  // namespace talmo
