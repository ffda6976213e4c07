#pragma once
// The file that `monitor --send` streams to the port: read a piece at a
// time, each piece put into the port's write queue once the previous one
// has left it, so any size goes out whole, in order and at the line's pace,
// in bounded memory. With a repeat, the next copy starts RepeatMs after the
// previous one started, and not before that copy has gone into the queue.
//
// Errors: Open and the steps return the system's error code (0: fine); the
// caller says it. A failed write into the port raises as the port does.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace talmo {

class TSendSource {
 public:
  using Clock = std::chrono::steady_clock;
  // Puts bytes into the port's write queue.
  using TWrite = std::function<void(const std::uint8_t* data, int count)>;

  TSendSource(std::string path, std::optional<long long> repeatMs, std::size_t pieceSize);
  TSendSource(const TSendSource&) = delete;
  TSendSource& operator=(const TSendSource&) = delete;
  ~TSendSource() { Close(); }

  const std::string& Path() const { return FPath; }
  // 0 or the reason the source cannot be read. Never blocks: a FIFO
  // without a writer is waited for in the poll, not here.
  int Open();
  // Starts the first copy at `now`.
  void Begin(Clock::time_point now);
  // The work due at `now`: a repeated copy that is due starts, and the next
  // piece goes into the empty queue. 0 or the reason the source failed.
  int Step(Clock::time_point now, const TWrite& write);

  // The port's write queue has emptied.
  void QueueEmptied() { FInQueue = false; }
  // What was queued went with the device.
  void QueueLost() { FInQueue = false; }
  // The descriptor to wait for before the next read, or -1.
  int WaitFd() const { return FCopying && !FInQueue && FWaitSource ? FFd : -1; }
  // WaitFd became readable.
  void Readable() { FWaitSource = false; }
  // Sent whole and not repeated: every byte has gone into the queue.
  bool Done() const { return FStarted && !FCopying && !FRepeatMs; }
  // When the next copy is due, while one waits.
  std::optional<Clock::time_point> Due() const;

 private:
  int StartCopy(Clock::time_point now, bool again);
  int PutPiece(const TWrite& write);
  void Close();

  std::string FPath;
  std::optional<long long> FRepeatMs;
  std::vector<std::uint8_t> FPiece;
  int FFd = -1;
  bool FRegular = false;
  bool FStarted = false;
  bool FCopying = false;     // a copy is on its way
  bool FInQueue = false;     // a piece waits in the write queue
  bool FWaitSource = false;  // read only when the descriptor says so
  Clock::time_point FCopyStart;
};

}  // namespace talmo
