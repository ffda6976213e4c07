#pragma once
// Finished display lines waiting for the pane, and the pump that moves them
// there a few per tick so the pane never holds up the receive path.
//
// GUI thread only. The pump lets the GUI process waiting events between
// lines; during that call new lines may be added, the list may be cleared,
// or another tick may run. None of this loses or repeats a line.
//
// The pane takes in about 40 lines a second; a busier line builds a backlog.
// The backlog is bounded (lines and bytes): when it is full the oldest
// waiting line goes, and the next line the pump shows is preceded by one
// line telling how many were not shown.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

namespace talmo {

// What one pump tick needs of the window.
class TPumpView {
 public:
  virtual ~TPumpView() = default;
  virtual bool Paused() const = 0;
  // Caption and colour of the Pause box (red while paused).
  virtual void SetPauseCaption(const std::string& caption, bool red) = 0;
  virtual void AppendToPane(const std::string& line) = 0;
  // Lets the GUI handle its waiting events; may re-enter the pump.
  virtual void ProcessMessages() = 0;
};

class TPendingLines {
 public:
  static constexpr int kLinesPerTick = 8;
  // The backlog's bounds: 100,000 lines (some 40 minutes of pane at 8 lines
  // per tick) or 32 MiB of line text, whichever is reached first.
  static constexpr std::size_t kDefaultMaxLines = 100000;
  static constexpr std::size_t kDefaultMaxBytes = std::size_t{32} << 20;

  explicit TPendingLines(std::size_t maxLines = kDefaultMaxLines,
                         std::size_t maxBytes = kDefaultMaxBytes);

  // Appends a line; drops the oldest waiting lines while the backlog is
  // over its bounds (the newest line always stays).
  void Add(std::string line);
  // Whether lines (or the notice of dropped or skipped ones) wait for the pane: a line
  // of the window's own then goes behind them, not into the pane at once.
  bool Waiting() const { return PendingCount() > 0 || FDropped > 0 || FSkipped > 0; }
  // Empties the list; lines not yet in the pane are discarded.
  void Clear();
  // Skips to the live end: the waiting lines go, and the pane tells how
  // many at the next tick, as it tells the lines a full backlog dropped.
  // Returns how many went.
  std::size_t SkipWaiting();

  // Lines in the list, including those already moved into the pane.
  std::size_t Count() const { return FBase + FLines.size(); }
  std::size_t PumpIndex() const { return FPumpIndex; }
  // Lines still waiting for the pane.
  std::size_t PendingCount() const;
  // Text bytes of the waiting lines.
  std::size_t PendingBytes() const { return FBytes; }
  // Lines dropped since the pane last showed a line.
  std::size_t Dropped() const { return FDropped; }
  // Lines dropped since the list was made or last cleared.
  std::size_t DroppedTotal() const { return FDroppedTotal; }

  // One tick: caption, then (unless paused) up to eight lines to the pane,
  // the first of them after the notice of dropped lines, if any (a notice
  // with no line after it, after a skip, is shown alone).
  void Tick(TPumpView& view);

  static std::string PauseCaption(std::size_t pending);
  // The pane line shown in place of lines not shown: `dropped` by a full
  // backlog, `skipped` by the user (Skip to live).
  static std::string DroppedNotice(std::size_t dropped, std::size_t skipped = 0);

 private:
  void DropOldest();
  // Shows the notice of lines not shown, if any, and starts its count again.
  void TellNotShown(TPumpView& view);

  // Lines before PumpIndex have been moved out; the deque keeps only lines
  // from FBase on, so a backlog that never fully drains still frees them.
  // FBase equals FPumpIndex after every step: the deque holds exactly the
  // waiting lines, oldest first.
  std::deque<std::string> FLines;
  std::size_t FBase = 0;
  std::size_t FPumpIndex = 0;
  std::size_t FBytes = 0;
  std::size_t FDropped = 0;
  std::size_t FSkipped = 0;  // by the user, since the pane last showed a line
  std::size_t FDroppedTotal = 0;
  std::size_t FMaxLines;
  std::size_t FMaxBytes;
};

}  // namespace talmo
