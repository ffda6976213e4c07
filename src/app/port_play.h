#pragma once
// The port side of talmocli's plays (a script, a recorded capture): the
// port with its line settings, what comes back read and dropped (a device
// that answers never blocks the line; its line errors are told), every
// write watched so that a port that takes nothing ends the play, and the
// wait at the end until what was queued has gone out.
//
// Promises kept for every play: no byte is sent twice, the play ends only
// when what it queued has gone out, and a port that takes nothing for the
// stall bound while bytes wait ends it with one line and a failure.

#include <chrono>
#include <cstdio>
#include <exception>
#include <functional>
#include <string>
#include <string_view>

#include "app/cli_output.h"
#include "app/port_args.h"
#include "serial/ser_comm.h"
#include "session/receive_session.h"

namespace talmo {

// Whether the port still takes bytes: what waits to go out (the write
// queue and the device's own) must shrink, or a write go in, at least once
// every `limit` while something waits or a write is refused.
class TStallWatch {
 public:
  TStallWatch(TSerCustomComm& port, std::chrono::steady_clock::duration limit)
      : FPort(port), FLimit(limit), FLast(std::chrono::steady_clock::now()) {}

  // A write went into the queue.
  void Took();
  // A write was refused; `bytes` of it have not gone.
  void Refused(std::size_t bytes) { FRefused = bytes; }
  // Bytes that waited to go out at the last look, and those of a refused
  // write.
  std::size_t Owed() const { return FWaiting + FRefused; }
  // Looks again (one status read); true once nothing went out for the
  // limit while owed.
  bool Stalled();

 private:
  std::size_t Waiting() const;

  TSerCustomComm& FPort;
  std::chrono::steady_clock::duration FLimit;
  std::chrono::steady_clock::time_point FLast;
  std::size_t FWaiting = 0;
  std::size_t FRefused = 0;
};

// A write into the port that the stall watch follows: what went in, what
// was refused, and whether the refusal was only a full queue (waited for
// without a word until the stall bound ends the play). Throws what the
// write raised: EPartialWriteError when part of it went.
class TWatchedWrite {
 public:
  TWatchedWrite(TSerCustomComm& port, TStallWatch& watch);

  void operator()(const std::string& bytes);
  bool QueueFull() const { return FQueueFull; }
  // Bytes went into the write queue since it was last empty.
  bool Queued() const { return FQueued; }
  void QueueEmptied() { FQueued = false; }

 private:
  void Refused(std::size_t bytes, const std::exception_ptr& cause);

  std::function<void(const std::string&)> FWrite;
  TStallWatch& FWatch;
  bool FQueued = false;
  bool FQueueFull = false;
};

// One play's port. Runs on the thread that made it.
class TPlayPort {
 public:
  // `out` is the play's output: flushed before an error line, so what was
  // played before it is told first.
  TPlayPort(const TPortRequest& line, long long stallSeconds, const std::string& path,
            TLineOutput& out, std::FILE* err);

  // Opens the port; a failure is said. False when it did not open.
  bool Open();
  TWatchedWrite& Write() { return FWrite; }

  // Hands `bytes` over whole and in order: what the write queue cannot take
  // now waits here and goes first at the next Push. Throws what the port
  // raised for any failure but a full queue.
  void Queue(std::string_view bytes);
  void Push();
  std::size_t Pending() const { return FPending.size(); }

  // Handles line events for up to `timeout` (they end the wait early).
  void Wait(std::chrono::milliseconds timeout);
  // Runs the line events queued now, and says a handler's failure.
  void ProcessPending();
  bool Gone() const { return FDeviceGone; }
  // The device went away or the port stalled: said on the error output.
  // The play then ends with a failure.
  bool Trouble();
  // Waits until what was queued (and what waits here) has gone out; the
  // status.
  int Drain();
  // Closes the port: the status, made a failure by a failed close or a
  // failed output.
  int Finish(int status);

  std::string Title() { return FSession.Device().Title(); }

 private:
  TSessionSink Sink();
  void SayStalled();
  void SayGone();

  const long long FStallSeconds;
  TLineOutput& FOut;
  std::FILE* FErr;
  TMessageSync FSync;
  TSerComm FComm;
  const TFormatOptions FNoDisplay;
  TReceiveSession FSession;
  TStallWatch FWatch;
  TWatchedWrite FWrite;
  std::string FPending;
  bool FDeviceGone = false;
};

}  // namespace talmo
