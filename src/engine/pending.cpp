#include "engine/pending.h"

#include <algorithm>

namespace talmo {

TPendingLines::TPendingLines(std::size_t maxLines, std::size_t maxBytes)
    : MaxLines_(std::max<std::size_t>(maxLines, 1)), MaxBytes_(maxBytes) {}

void TPendingLines::Add(std::string line) {
  Bytes_ += line.size();
  Lines_.push_back(std::move(line));
  while (Lines_.size() > 1 && (Lines_.size() > MaxLines_ || Bytes_ > MaxBytes_)) DropOldest();
}

void TPendingLines::DropOldest() {
  Bytes_ -= Lines_.front().size();
  Lines_.pop_front();
  ++Base_;
  ++PumpIndex_;
  ++Dropped_;
  ++DroppedTotal_;
}

void TPendingLines::Clear() {
  Lines_.clear();
  Base_ = 0;
  PumpIndex_ = 0;
  Bytes_ = 0;
  Dropped_ = 0;
  DroppedTotal_ = 0;
}

std::size_t TPendingLines::PendingCount() const {
  const std::size_t count = Count();
  return count > PumpIndex_ ? count - PumpIndex_ : 0;
}

std::string TPendingLines::PauseCaption(std::size_t pending) {
  if (pending == 0) return "Pause";
  return "Pause (" + std::to_string(pending) + ")";
}

std::string TPendingLines::DroppedNotice(std::size_t dropped) {
  return "// " + std::to_string(dropped) + (dropped == 1 ? " line was" : " lines were") +
         " not shown: more arrived than the pane can take in. A running capture keeps every byte.";
}

void TPendingLines::Tick(TPumpView& view) {
  const bool paused = view.Paused();
  view.SetPauseCaption(PauseCaption(PendingCount()), paused);
  if (paused) return;

  const std::size_t limit = std::min<std::size_t>(LinesPerTick, Count());
  for (std::size_t moved = 0; moved < limit; ++moved) {
    // Count and index are read afresh: the previous ProcessMessages may have
    // added lines, dropped or cleared them, or run a nested tick.
    if (PumpIndex_ >= Count()) break;
    // Take the line and advance before handing it on, so a re-entrant tick
    // can neither show it twice nor skip one.
    std::string line = std::move(Lines_[PumpIndex_ - Base_]);
    Bytes_ -= line.size();
    ++PumpIndex_;
    while (Base_ < PumpIndex_ && !Lines_.empty()) {
      Lines_.pop_front();
      ++Base_;
    }
    if (Dropped_ > 0) {
      const std::size_t dropped = Dropped_;
      Dropped_ = 0;
      view.AppendToPane(DroppedNotice(dropped));
    }
    view.AppendToPane(line);
    if (moved + 1 == LinesPerTick) break;
    view.ProcessMessages();
  }
  if (PumpIndex_ >= Count()) {
    // Nothing waits: start the numbering afresh; a count of dropped lines
    // not yet told stays for the next line.
    Lines_.clear();
    Base_ = 0;
    PumpIndex_ = 0;
    Bytes_ = 0;
  }
}

}  // namespace talmo
