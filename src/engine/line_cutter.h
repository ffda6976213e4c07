#pragma once
// Console lines: received bytes cut into lines by an end byte or a length,
// shown in one of four looks, each line led by an optional stamp of its
// first byte's arrival. A silence ends a line too, but only the owner of
// the clock knows when one has passed: it calls EndLine (the receive
// session does, from the times it keeps for every block).
//
// The text look is what a device's own console prints: printable bytes as
// themselves, complete UTF-8 sequences as themselves, a line ended by LF
// (a CR right before it dropped), and every other byte as a backslash
// escape (\t, \r, \e, \x7F ...; a backslash itself as \\), so no received
// byte can pass for text or move the user's cursor. The other looks are
// the frame view's: names, hex pairs, or the bytes unchanged.
//
// A line is handed over in pieces as it grows (Piece), then ended (End):
// a console shows every byte at once, a line-at-a-time program joins the
// pieces. Single-threaded; no call fails.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "engine/modbus.h"

namespace talmo {

// Bytes: the received bytes themselves, unchanged, for a program that
// takes frames rather than shows them.
enum class TLineLook : std::uint8_t { Text, Names, Hex, Raw, Bytes };
enum class TStampForm : std::uint8_t { None, Time, Utc, Iso, Gap, Since };

// How lines are cut and shown.
struct TLineRules {
  // Cut here, by these rules, instead of by the frame signs.
  bool Cut = false;
  TLineLook Look = TLineLook::Text;
  // The byte that ends a line; none: only a silence or the length does.
  std::optional<std::uint8_t> End;
  // The byte that begins a line: a line under way ends before it.
  std::optional<std::uint8_t> Start;
  // A silence this long ends a line (0: none); in character times of the
  // line's settings when GapChars is set, which the session turns into
  // nanoseconds.
  std::int64_t GapNs = 0;
  double GapChars = 0;
  // A silence in character times is never shorter than this (Modbus RTU
  // takes 1.75 ms above 19,200 baud).
  std::int64_t GapFloorNs = 0;
  // Modbus frames instead of lines: each silence-delimited chunk (RTU) or
  // each run up to LF (ASCII) goes to the Modbus framer with its arrival
  // times, and every frame becomes one line, its answer paired.
  TModbusMode Modbus = TModbusMode::None;
  std::int64_t AnswerTimeoutNs = kAnswerTimeoutDefaultNs;
  // Received bytes a line holds at most: a line that never ends is shown
  // in pieces of this length.
  std::size_t Max = kMaxDefault;
  TStampForm Stamp = TStampForm::None;

  static constexpr std::size_t kMaxDefault = 4096;
  static constexpr std::int64_t kAnswerTimeoutDefaultNs = 1000000000;
};

// Modbus RTU frames are apart by 3.5 character times, and by 1.75 ms at
// least (the fixed value above 19,200 baud).
inline constexpr double kModbusSilenceChars = 3.5;
inline constexpr std::int64_t kModbusSilenceFloorNs = 1750000;

// The rules of the Modbus view of `mode` (None: the frames' lines): an RTU
// frame ends at its silence, an ASCII frame at its LF.
TLineRules ModbusLines(TModbusMode mode,
                       std::int64_t answerTimeoutNs = TLineRules::kAnswerTimeoutDefaultNs);

// A silence that ends a line, as written by a user: "5", "1.75"
// (milliseconds) or "3.5c" (character times of the line settings), above 0
// and at most 10,000,000; nullopt for anything else.
struct TSilence {
  std::int64_t Ns = 0;
  double Chars = 0;
};
std::optional<TSilence> ParseSilence(std::string_view text);
inline constexpr const char* kSilenceForms =
    "milliseconds such as 5 or 1.75, or character times such as 3.5c";

// Appends the stamp of a line whose first byte arrived at `utcNs` (UTC
// nanoseconds since the epoch): "[12:34:56.789] " in local time,
// "[12:34:56.789Z] ", "[2026-12-09T12:34:56.789012Z] ", the gap since the
// previous line's first byte "[+0.012345] " (the first line's counts from
// `startNs`), or the time since `startNs` "[12.345678] ".
void AppendStamp(std::string& out, TStampForm form, std::int64_t utcNs, std::int64_t startNs,
                 std::optional<std::int64_t> previousNs);

class TLineCutter {
 public:
  struct TSink {
    std::function<void(std::string_view)> Piece;  // more of the line's text
    std::function<void()> End;                    // the line is finished
  };

  // `startNs`: the run's start (UTC ns), from which the first gap and the
  // time since start count. The rules must outlive the cutter.
  TLineCutter(const TLineRules& rules, TSink sink, std::int64_t startNs);

  // The bytes of one block, all arrived at `utcNs`.
  void Feed(const std::uint8_t* block, std::size_t n, std::int64_t utcNs);
  // Ends the line being received, if any (a silence, the time-out, the
  // end of the run); what is held back (a CR, the start of a UTF-8
  // character) is shown first.
  void EndLine();
  // A line has begun and not ended.
  bool InLine() const { return FInLine; }
  // The run's start, from which the first gap and the time since start
  // count (a session sets its frame clock's start).
  void SetStart(std::int64_t startNs) { FStartNs = startNs; }

 private:
  void BeginLine(std::int64_t utcNs);
  void Finish();
  void FlushHeld();
  void AppendText(std::uint8_t b);
  void AppendEscape(std::uint8_t b);
  void Emit();

  const TLineRules& FRules;
  TSink FSink;
  std::int64_t FStartNs;
  std::optional<std::int64_t> FPreviousNs;
  bool FInLine = false;
  std::size_t FBytes = 0;  // received bytes in the line
  // Held back until the next byte tells what they are: a CR (dropped
  // before LF) and the start of a UTF-8 character.
  bool FHeldCr = false;
  std::uint8_t FHeldUtf8[4] = {};
  int FHeldLength = 0, FHeldNeed = 0;
  std::string FText;  // the piece being built (reused)
};

// The text look of a whole buffer (no line cutting): for short messages.
std::string TextLookOf(std::string_view bytes);

}  // namespace talmo
