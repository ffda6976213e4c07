#include "pending.h"

#include <algorithm>

namespace talmo {

void TPendingLines::Add(std::string line) { Lines_.push_back(std::move(line)); }

void TPendingLines::Clear() {
  Lines_.clear();
  Base_ = 0;
  PumpIndex_ = 0;
}

std::size_t TPendingLines::PendingCount() const {
  const std::size_t count = Count();
  return count > PumpIndex_ ? count - PumpIndex_ : 0;
}

std::string TPendingLines::PauseCaption(std::size_t pending) {
  if (pending == 0) return "Pause";
  return "Pause (" + std::to_string(pending) + ")";
}

void TPendingLines::Tick(TPumpView& view) {
  const bool paused = view.Paused();
  view.SetPauseCaption(PauseCaption(PendingCount()), paused);
  if (paused) return;

  const std::size_t limit = std::min<std::size_t>(LinesPerTick, Count());
  for (std::size_t moved = 0; moved < limit; ++moved) {
    // Count and index are read afresh: the previous ProcessMessages may have
    // added lines, cleared the list, or run a nested tick.
    if (PumpIndex_ >= Count()) break;
    // Take the line and advance before handing it on, so a re-entrant tick
    // can neither show it twice nor skip one.
    std::string line = std::move(Lines_[PumpIndex_ - Base_]);
    ++PumpIndex_;
    while (Base_ < PumpIndex_ && !Lines_.empty()) {
      Lines_.pop_front();
      ++Base_;
    }
    view.AppendToPane(line);
    if (moved + 1 == LinesPerTick) break;
    view.ProcessMessages();
  }
  if (PumpIndex_ >= Count()) Clear();
}

}  // namespace talmo
