#pragma once
// How talmocli talks: every message on standard error has one form,
// "talmocli: TEXT", and every command's standard output is a TLineOutput
// that keeps its first failure.
//
// Errors: nothing here throws. A failed write of standard output is kept
// (Failed, Error) and the command ends and says it (SayOutputFailed);
// a reader that has gone away (EPIPE: `| head -1`) chose to stop, which
// ends the command without an error.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace talmo {

class TPortLoop;
class TLineOutput;

// "talmocli: TEXT" on a line of its own.
void Say(std::FILE* err, const std::string& text);
// A bad option or value: the problem, then where to read the usage
// ("Try 'talmocli play --help'.").
void SayUsage(std::FILE* err, const std::string& problem, const std::string& usage);
// The one line of each failure of the tool's own input and output.
void SayCannotRead(std::FILE* err, const std::string& path, int code);
void SayOutputFailed(std::FILE* err, int code);

// Bytes as the play lines show them: "02 41 FF".
std::string HexPairs(std::string_view bytes);

class TLineOutput {
 public:
  // Gathering: lines wait here (up to kGatherSize) until Flush, File or the
  // end, which costs one copy where the C library's stream costs a call
  // with its lock per piece. For commands that flush when lines are due.
  explicit TLineOutput(std::FILE* out, bool gather = false) : FOut(out), FGather(gather) {
    if (FGather) FGathered.reserve(kGatherSize);
  }
  ~TLineOutput();
  TLineOutput(const TLineOutput&) = delete;
  TLineOutput& operator=(const TLineOutput&) = delete;

  static constexpr std::size_t kGatherSize = 1 << 16;
  // What a bounded output holds for a reader that has stopped reading:
  // beyond it, lines are not shown but counted.
  static constexpr std::size_t kHeldMost = 1 << 20;

  // A reader that stops reading must never stop the run (its forwarding,
  // its capture, its signals): a pipe, FIFO or socket is written without
  // blocking from now on (as it was again at the end), what it cannot take
  // yet waits here, up to kHeldMost. Other outputs (a terminal, a file)
  // stay as they are.
  void SetBounded();
  // Text waits for the reader: poll Fd() for POLLOUT, then Flush.
  bool Held() const { return !FHeld.empty(); }
  std::size_t HeldSize() const { return FHeld.size() - FHeldFrom; }
  // kHeldMost or more waits: a run that may wait for its reader stops
  // making lines until it has taken some.
  bool Full() const { return HeldSize() >= kHeldMost; }
  // Beyond kHeldMost, lines are dropped (and counted) instead of held: for
  // a reader that has stopped taking, or a run whose display must never
  // hold anything back. Off: held, the caller waits.
  void SetDropping(bool dropping) { FDropping = dropping; }
  bool Dropping() const { return FDropping; }
  // Bytes the reader has taken since the start: whether it still reads.
  std::uint64_t Taken() const { return FTaken; }
  int Fd() const;
  // Lines not shown since the last call, once what was held has gone out
  // (0 while the reader is still away, or nothing was lost).
  std::uint64_t TakeUnshown();
  // Lines not shown in all: those counted and those still held (the end).
  std::uint64_t Unshown() const;

  // The line and its newline; nothing once a write has failed.
  void Line(std::string_view line) { Line({}, line); }
  // The lead (a mark), the line and its newline.
  void Line(std::string_view lead, std::string_view line);
  // The text as it is; nothing once a write has failed.
  void Text(std::string_view text);
  // Hands what is buffered to the output now.
  void Flush();
  // Something waits for Flush (gathered, held, or in the stream's buffer).
  bool Waiting() const { return Gathering() || Held() || FStreamed; }
  // Lines gathered and not yet handed to the output.
  bool Gathering() const { return !FGathered.empty(); }
  // For writes made on the stream itself: what is gathered goes first.
  std::FILE* File() {
    Spill();
    FStreamed = true;
    return FOut;
  }
  // Notes the result of a write made on File() (negative or the stream's
  // error flag: failed).
  void Note(int result);

  bool Failed() const { return FError != 0; }
  // errno of the first failed write, 0 while all is well.
  int Error() const { return FError; }
  // Failed for a reason to tell (not a reader that has gone).
  bool FailedToTell() const;

 private:
  void Put(std::string_view text);
  void PutBounded(std::string_view text);
  void WriteHeld();
  void Spill();

  std::FILE* FOut;
  bool FGather;
  std::string FGathered;
  int FError = 0;
  bool FBounded = false;
  bool FStreamed = false;  // written to the stream since the last Flush
  int FFlagsBefore = -1;   // restored at the end
  std::string FHeld;
  std::size_t FHeldFrom = 0;  // what of FHeld has gone out
  std::uint64_t FDropped = 0, FDroppedAll = 0;
  std::uint64_t FTaken = 0;
  bool FDropping = true;
};

// The end of a run's bounded output: what is held goes to the reader as
// long as it keeps reading (a second stop gives it up), and the lines it
// never got are told. False when some were lost.
bool EndOutput(TLineOutput& out, TPortLoop& loop, std::FILE* err);
// A capture that is a FIFO waits for its reader (said once) while the run
// may still end; false when it ended first (said). `held` keeps the FIFO
// open for writing until the capture has opened it (-1: nothing held).
bool AwaitCaptureReader(const std::string& capture, TPortLoop& loop, std::FILE* err, int& held);
// Told once the reader is back: how many lines it missed.
void SayUnshown(TLineOutput& out, std::FILE* err);

// Whether the reader of a bounded output still reads: one that takes
// nothing for kStopped while lines wait has stopped, and its lines beyond
// the held ones are dropped (SetDropping) until it takes again. A run that
// waits for a reader that still reads loses no line to a slow one.
class TReaderWatch {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr Clock::duration kStopped = std::chrono::seconds(1);
  // After each flush of `out`.
  void Look(TLineOutput& out, Clock::time_point now);
  // The run waits for the reader now (it makes no lines meanwhile).
  bool Waiting(const TLineOutput& out) const { return out.Full() && !out.Dropping(); }
  // When a waited-for reader counts as stopped.
  Clock::time_point Due() const { return FMovedAt + kStopped; }

 private:
  std::uint64_t FTaken = 0;
  Clock::time_point FMovedAt;
};

}  // namespace talmo
