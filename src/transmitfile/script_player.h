#pragma once
// The script player: cuts a script line into words, turns data words into
// bytes, and performs one step of a run at each tick of the transmit-file
// window's timer. GUI-free: it reaches the window, the port and the clock
// only through the callbacks of TPlayerHost, so tests drive it with string
// lists, a fake clock and a byte sink.
//
// Everything runs on one thread (the GUI thread in the program); steps do
// not overlap.
//
// Errors: a script line is never an error (what it cannot mean sends
// nothing). A write that fails raises to Step, which keeps the line for the
// next step (a partly written one owes only its rest: EPartialWriteError) and
// hands the message to the host's Error once for a run of failing steps.

#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "base/write_pieces.h"
#include "engine/clock.h"

namespace talmo {

using TWordList = std::vector<std::string>;

// Cuts `line` into words: runs of characters above 32; a word that opens
// with a double quote runs to the next single double quote ("" inside stands
// for one) and may hold separators. A quote that never closes takes the
// rest of the line.
void SplitLine(std::string_view line, TWordList& words);

// The bytes that the data words from index `first` on describe. `now` is
// asked at most once, at the first date or time word.
std::string EncodeWords(const TWordList& words, std::size_t first, const TSystemTimeClock& now);

// Status lines of the player's memo.
// "TX[n]" + the bytes as text, control bytes named as the pane names them.
std::string TxStatusText(const std::string& bytes);
std::string WaitStatusText(int ms);  // "Wait n ms"

// Milliseconds from `now` until second `s`, millisecond `t` - 1 of the
// clock (the first pass of a wait line); 0..59999, or 0..999 for s >= 60.
int WaitDelay(int s, int t, const TSystemTime& now);

// What a step needs of its surroundings.
struct TPlayerHost {
  // The data lines, read afresh at every step.
  std::function<const std::vector<std::string>&()> DataLines;
  TSystemTimeClock LocalClock;
  // The port's write; throws when the port refuses the bytes.
  std::function<void(const std::string& bytes)> Write;
  // A line for the status memo.
  std::function<void(const std::string& line)> Status;
  // Interval of the timer in milliseconds, at least 1.
  std::function<void(int ms)> SetInterval;
  // The window's Stop action; called with the timer still running.
  std::function<void()> Stop;
  // Shows a failed write; called once for a run of failing steps.
  std::function<void(const std::string& message)> Error;
  // Optional: a sending (for callers that want the bytes, not the text).
  std::function<void(const std::string& bytes)> Sent;
  // Optional: a wait was set up, with the milliseconds the status shows.
  std::function<void(int ms)> Waiting;
  // Optional: a number that changes whenever the data lines change. With
  // it the player remembers which lines a step passes over (comments,
  // blank lines) instead of reading them again at every tick; without it
  // every step reads the lines afresh.
  std::function<std::uint64_t()> DataVersion;
};

class TScriptPlayer {
 public:
  explicit TScriptPlayer(TPlayerHost host) : FHost(std::move(host)) {}

  // A run begins: first data line, no repetition owed.
  void Start();
  // One tick of the timer.
  void Step();
  // Encodes words[first..], writes them in one call and logs them; nothing
  // when they give no bytes. Throws what the write throws. A line that went
  // out in part is not encoded again: its retry sends only the rest, so no
  // byte goes out twice.
  void SendWords(const TWordList& words, std::size_t first);

  // The word list exists from a load until Stop releases it while idle.
  void NewWordList() { wordList.emplace(); }
  void ReleaseWordList() { wordList.reset(); }
  bool HasWordList() const { return wordList.has_value(); }

  std::int32_t lineIndex = 0;
  std::int32_t repeatCount = -1;
  std::optional<TWordList> wordList{std::in_place};

  // Data lines cut into words so far (a count of the work steps do).
  std::uint64_t LinesRead() const { return FLinesRead; }

 private:
  // Throws when a write failed; the state then points at the failed line.
  void RunStep();
  void SetInterval(std::int64_t delay);
  void Split(const std::string& line, TWordList& words);
  // The first data line from `index` on that a step does not pass over
  // (or the line count); `index` itself when the lines can change.
  std::int32_t SkipPassedOver(const std::vector<std::string>& lines, std::int32_t index);

  TPlayerHost FHost;
  bool FErrorShown = false;
  // What a partly sent line still owes, until its retry sends it.
  std::optional<std::string> FRest;
  std::uint64_t FLinesRead = 0;
  // For each data line, the next line at or after it that is not passed
  // over; built once per DataVersion.
  std::vector<std::int32_t> FNextPlayed;
  std::optional<std::uint64_t> FNextPlayedVersion;
};

}  // namespace talmo
