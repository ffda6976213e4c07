#pragma once
// The script player: cuts a script line into words, turns data words into
// bytes, and performs one step of a run at each tick of the transmit-file
// window's timer. GUI-free: it reaches the window, the port and the clock
// only through the callbacks of TPlayerHost, so tests drive it with string
// lists, a fake clock and a byte sink.
//
// Everything runs on one thread (the GUI thread in the program); steps do
// not overlap.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "clock.h"

namespace talmo {

using TWordList = std::vector<std::string>;

// Cuts `line` into words: runs of characters above 32; a word that opens
// with a double quote runs to the next single double quote ("" inside stands
// for one) and may hold separators. A quote that never closes takes the
// rest of the line.
void SplitLine(std::string_view line, TWordList& words);

// The bytes that the data words from index `first` on describe. `now` is
// asked at most once, at the first date or time word.
std::string EncodeWords(const TWordList& words, std::size_t first,
                        const TSystemTimeClock& now);

// Status lines of the player's memo.
std::string TxStatusText(const std::string& bytes);  // "TX[n]" + bytes
std::string WaitStatusText(int ms);                  // "Wait n ms"

// Milliseconds from `now` until second `s`, millisecond `t` - 1 of the
// clock (the first pass of a wait line); 0..59999, or 0..999 for s >= 60.
int WaitDelay(int s, int t, const TSystemTime& now);

// Hands `bytes` to `write` in pieces of at most `capacity` bytes: the port
// component refuses outright one write larger than its write queue, and a
// script line may describe more bytes than that.
void WriteInPieces(const std::string& bytes, std::size_t capacity,
                   const std::function<void(const char* data, int count)>& write);

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
};

class TScriptPlayer {
 public:
  explicit TScriptPlayer(TPlayerHost host) : FHost(std::move(host)) {}

  // A run begins: first data line, no repetition owed.
  void Start();
  // One tick of the timer.
  void Step();
  // Encodes words[first..], writes them in one call and logs them; nothing
  // when they give no bytes. Throws what the write throws.
  void SendWords(const TWordList& words, std::size_t first);

  // The word list exists from a load until Stop releases it while idle.
  void NewWordList() { wordList.emplace(); }
  void ReleaseWordList() { wordList.reset(); }
  bool HasWordList() const { return wordList.has_value(); }

  std::int32_t lineIndex = 0;
  std::int32_t repeatCount = -1;
  std::optional<TWordList> wordList{std::in_place};

 private:
  // Throws when a write failed; the state then points at the failed line.
  void RunStep();
  void SetInterval(std::int64_t delay);

  TPlayerHost FHost;
  bool FErrorShown = false;
};

}  // namespace talmo
