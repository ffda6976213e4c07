#include "mainwindow/pending.h"

#include <algorithm>

namespace talmo {

TPendingLines::TPendingLines(std::size_t maxLines, std::size_t maxBytes)
    : FMaxLines(std::max<std::size_t>(maxLines, 1)), FMaxBytes(maxBytes) {}

void TPendingLines::Add(std::string line) {
  FBytes += line.size();
  FLines.push_back(std::move(line));
  while (FLines.size() > 1 && (FLines.size() > FMaxLines || FBytes > FMaxBytes)) DropOldest();
}

void TPendingLines::DropOldest() {
  FBytes -= FLines.front().size();
  FLines.pop_front();
  ++FBase;
  ++FPumpIndex;
  ++FDropped;
  ++FDroppedTotal;
}

void TPendingLines::Clear() {
  FLines.clear();
  FBase = 0;
  FPumpIndex = 0;
  FBytes = 0;
  FDropped = 0;
  FSkipped = 0;
  FDroppedTotal = 0;
}

std::size_t TPendingLines::SkipWaiting() {
  const std::size_t skipped = PendingCount();
  FLines.clear();
  FBase = 0;
  FPumpIndex = 0;
  FBytes = 0;
  FSkipped += skipped;
  FDroppedTotal += skipped;
  return skipped;
}

std::size_t TPendingLines::PendingCount() const {
  const std::size_t count = Count();
  return count > FPumpIndex ? count - FPumpIndex : 0;
}

std::string TPendingLines::PauseCaption(std::size_t pending) {
  if (pending == 0) return "Pause";
  return "Pause (" + std::to_string(pending) + ")";
}

std::string TPendingLines::DroppedNotice(std::size_t dropped, std::size_t skipped) {
  const std::size_t all = dropped + skipped;
  const std::string lines =
      "// " + std::to_string(all) + (all == 1 ? " line was" : " lines were") + " not shown: ";
  const std::string why = skipped == 0   ? "more arrived than the pane can take in"
                          : dropped == 0 ? "skipped to the live end"
                                         : std::to_string(dropped) +
                                               " as more arrived than the pane can take in, " +
                                               std::to_string(skipped) + " skipped to the live end";
  return lines + why + ". A running capture keeps every byte.";
}

void TPendingLines::TellNotShown(TPumpView& view) {
  if (FDropped == 0 && FSkipped == 0) return;
  const std::string notice = DroppedNotice(FDropped, FSkipped);
  FDropped = FSkipped = 0;
  view.AppendToPane(notice);
}

void TPendingLines::Tick(TPumpView& view) {
  const bool paused = view.Paused();
  view.SetPauseCaption(PauseCaption(PendingCount()), paused);
  if (paused) return;

  if (PendingCount() == 0 && (FDropped > 0 || FSkipped > 0)) {
    // Skipped to the live end and nothing new yet: say so now.
    TellNotShown(view);
    return;
  }
  const std::size_t limit = std::min<std::size_t>(kLinesPerTick, Count());
  for (std::size_t moved = 0; moved < limit; ++moved) {
    // Count and index are read afresh: the previous ProcessMessages may have
    // added lines, dropped or cleared them, or run a nested tick.
    if (FPumpIndex >= Count()) break;
    // Take the line and advance before handing it on, so a re-entrant tick
    // can neither show it twice nor skip one.
    std::string line = std::move(FLines[FPumpIndex - FBase]);
    FBytes -= line.size();
    ++FPumpIndex;
    while (FBase < FPumpIndex && !FLines.empty()) {
      FLines.pop_front();
      ++FBase;
    }
    TellNotShown(view);
    view.AppendToPane(line);
    if (moved + 1 == kLinesPerTick) break;
    view.ProcessMessages();
  }
  if (FPumpIndex >= Count()) {
    // Nothing waits: start the numbering afresh; a count of dropped lines
    // not yet told stays for the next line.
    FLines.clear();
    FBase = 0;
    FPumpIndex = 0;
    FBytes = 0;
  }
}

}  // namespace talmo
