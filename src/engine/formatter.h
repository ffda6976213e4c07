#pragma once
// The receive formatter: received bytes in, display lines out.
//
// Bytes are collected into a line buffer and cut into lines before a start
// sign, after a stop sign (and one block-check byte), at the end of a
// length-counted frame (STX_HL, PROD2), when the buffer is full, or at the
// time-out. Manchester-coded bytes can be decoded first and each frame can be
// stamped with its UTC time and the microseconds since the previous frame.
// A finished line is converted to display text and handed to the line sink.
//
// Single-threaded: every entry point runs on the thread that owns the
// window (or the command-line tool's only thread).
//
// Errors: none. Every byte value is valid input and every call returns
// normally (a line too long for the buffer is cut, not refused); what a
// hook throws passes through to the caller.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/clock.h"
#include "engine/options.h"
#include "engine/stopwatch.h"

namespace talmo {

// The line time-out: an unfinished line is shown (TimeoutFlush) after this
// long without received data, in the window and in the command-line tool.
inline constexpr int kLineTimeoutMs = 1999;

enum class TFrameState : std::uint8_t {
  Idle = 0,
  LengthHigh = 1,
  LengthLow = 2,
  InFrame = 3,
  AwaitBcc = 4,
};

struct TFormatterClocks {
  TSystemTimeClock Utc = UtcNow;                 // the stamp's wall clock
  TCounter Counter = MonotonicCounter();         // the frame stopwatch's counter
  TMonotonicClock Pause = MonotonicNanoseconds;  // PROD2's pause rule
};

struct TFormatterHooks {
  // Receives each finished display line (valid for the call only).
  std::function<void(std::string_view)> Line;
  // Re-arms the time-out; called by every flush.
  std::function<void()> RestartTimeout;
  // Receives every raw block before anything else is done with it.
  std::function<void(const std::uint8_t*, std::size_t)> Capture;
  // Receives the last-sign text once per non-empty block.
  std::function<void(const std::string&)> LastSign;
};

class TReceiveFormatter {
 public:
  static constexpr int kSignBufferSize = 4096;
  // Room for a stamp and its sign from the start; more as lines grow.
  static constexpr int kSignBufferStart = 256;
  static constexpr int kStampLength = 16;

  explicit TReceiveFormatter(const TFormatOptions& options, TFormatterHooks hooks = {},
                             TFormatterClocks clocks = {});

  TFormatterHooks Hooks;

  // Processes n received bytes in order.
  void FormatReceived(const std::uint8_t* block, std::size_t n);
  // Turns the collected bytes into one line; nothing when none are collected.
  void FlushSigns();
  // Next byte may start a frame (PROD2) and the framing is idle again.
  void ResetFrame();
  // Shows what was collected and closes any open frame: the time-out's work,
  // and the end of a counted frame or its block-check byte.
  void TimeoutFlush();

  // Clear's part: counters and the Manchester pairing restart.
  void ResetTotalSigns() { FTotalSigns = 0; }
  void ResetManchPhase() { FManchPhase = 0; }

  // The sign values, set from the sign fields (PROD2 also changes them).
  std::uint8_t FirstSign() const { return FFirstSign; }
  std::uint8_t LastSign() const { return FLastSign; }
  void SetSigns(std::uint8_t first, std::uint8_t last) {
    FFirstSign = first;
    FLastSign = last;
  }

  TStopWatch& FrameWatch() { return FFrameWatch; }
  const TSystemTime& StampTime() const { return FStampTime; }
  void SetStampTime(const TSystemTime& t) { FStampTime = t; }

  // Text of the last-sign field for byte b: its display form and the count.
  std::string LastSignText(std::uint8_t b) const;

  std::int64_t TotalSigns() const { return FTotalSigns; }
  int SignCount() const { return FSignCount; }
  TFrameState FrameState() const { return FFrameState; }
  bool FrameRestart() const { return FFrameRestart; }

 private:
  bool CanCollectOnly() const;
  std::size_t CollectRun(const std::uint8_t* bytes, std::size_t n);
  void ProcessByte(std::uint8_t b);
  void InFrameAction(std::uint8_t b);
  void StartFrame(std::uint8_t b);
  void BuildStamp(std::uint8_t* dst);
  void AppendLastSignText(std::string& text, std::uint8_t b) const;
  // The verdict on the block-check byte that ends the line (the last
  // collected byte), kept for FlushSigns to put after the line.
  void CheckBcc();

  const TFormatOptions& FOptions;
  TFormatterClocks FClocks;
  TStopWatch FFrameWatch;

  // Grown as lines need it, up to kSignBufferSize: a port that shows short
  // lines (a capture of thousands of ports) keeps little.
  std::vector<std::uint8_t> FSignBuffer = std::vector<std::uint8_t>(kSignBufferStart);
  int FSignCount = 0;
  // Where the line's frame began (its start sign), or -1: a line that
  // holds no start sign has no span for its block check.
  int FFrameBegin = -1;
  // Said after the line being built (the block check's verdict).
  std::string FLineNote;
  TFrameState FFrameState = TFrameState::Idle;
  int FFrameRemaining = 0;
  bool FFrameRestart = true;
  std::uint8_t FManchHigh = 0;
  int FManchPhase = 0;
  // Time of the previous PROD2 byte; none yet counts as after a pause.
  std::optional<std::int64_t> FLastRxTime;
  // 64 bits: a monitor left running for days must not wrap the count.
  std::int64_t FTotalSigns = 0;
  std::uint8_t FFirstSign = 0;
  std::uint8_t FLastSign = 0;
  TSystemTime FStampTime{};

  // The last-sign text of the latest block, kept to reuse its room.
  std::string FLastSignText;
  // Display text of the line being flushed; room for the widest look.
  std::vector<char> FLineText;  // grown as FSignBuffer is
};

}  // namespace talmo
