#include "mainwindow/layout.h"

#include <algorithm>
#include <cstdint>

namespace talmo {

TMainLayout DesignedLayout() {
  TMainLayout l;
  l.meData = {24, 104, 593, 185};
  l.laWeb = {360, 303, 101, 13};
  l.raPort = {13, 321, 70, 176};
  l.rgBaud = {89, 321, 65, 176};
  l.rgDatabits = {160, 320, 57, 177};
  l.rgParity = {224, 320, 57, 177};
  l.rgStop = {288, 320, 57, 177};
  l.Panel1 = {350, 321, 217, 128};
  l.edLast = {666, 320, 89, 21};
  l.buClear = {576, 336, 75, 25};
  l.buStrings = {573, 367, 75, 25};
  l.buTransmit = {576, 410, 75, 25};
  l.buSave = {573, 441, 75, 25};
  l.buClose = {351, 472, 75, 25};
  l.buOpen = {440, 472, 75, 25};
  l.buCapture = {536, 472, 115, 25};
  l.paStrip = {13, 321 + 176 + kStripGap, 660, kStripHeight};
  return l;
}

void ApplyResizeRule(TMainLayout& l, int cw, int ch) {
  l.meData.Width = cw * 63 / 64;
  l.meData.Height = ch * 6 / 10;
  l.meData.Left = (cw - l.meData.Width) / 2;
  l.meData.Top = ch / 32;
  l.raPort.Top = ch / 32 + l.meData.Top + l.meData.Height;
  l.laWeb.Top = l.raPort.Top - l.laWeb.Height * 4 / 3;
  l.laWeb.Left = l.raPort.Left;
  l.rgBaud.Top = l.rgDatabits.Top = l.rgParity.Top = l.rgStop.Top = l.Panel1.Top = l.raPort.Top;
  l.buClose.Top = l.raPort.Top + l.rgBaud.Height - l.buClose.Height;
  l.buOpen.Top = l.buCapture.Top = l.buClose.Top;
  l.buSave.Top = l.buCapture.Top - l.buSave.Height;
  l.buStrings.Top = l.buSave.Top - l.buSave.Height;
  l.buTransmit.Top = l.buStrings.Top - l.buSave.Height;
  l.buClear.Top = l.buTransmit.Top - l.buClear.Height;
  l.buClear.Left = cw * 63 / 64 - l.buClear.Width;
  l.buTransmit.Left = l.buStrings.Left = l.buSave.Left = l.buClear.Left;
  l.buCapture.Left = l.buClear.Left + l.buClear.Width - l.buCapture.Width;
  l.edLast.Left = cw / 64 + l.Panel1.Left + l.Panel1.Width;
  l.edLast.Top = l.Panel1.Top;
  l.paStrip.Top = l.raPort.Top + l.raPort.Height + kStripGap;
}

namespace {

bool Overlap(const TBounds& a, const TBounds& b) {
  return a.Left < b.Left + b.Width && b.Left < a.Left + a.Width && a.Top < b.Top + b.Height &&
         b.Top < a.Top + a.Height;
}

}  // namespace

bool EveryControlWhole(int cw, int ch) {
  TMainLayout l = DesignedLayout();
  ApplyResizeRule(l, cw, ch);
  const TBounds all[] = {l.meData, l.laWeb,   l.raPort, l.rgBaud,    l.rgDatabits, l.rgParity,
                         l.rgStop, l.Panel1,  l.edLast, l.buClear,   l.buStrings,  l.buTransmit,
                         l.buSave, l.buClose, l.buOpen, l.buCapture, l.paStrip};
  for (std::size_t i = 0; i < std::size(all); ++i) {
    const TBounds& a = all[i];
    if (a.Left < 0 || a.Top < 0 || a.Left + a.Width > cw || a.Top + a.Height > ch) return false;
    for (std::size_t j = i + 1; j < std::size(all); ++j)
      if (Overlap(a, all[j])) return false;
  }
  return true;
}

TClientSize MinimumClientSize() {
  // The rule places rows by the height and columns by the width, and a
  // larger area only spreads them: search the height with room to spare in
  // width, then the width at that height.
  constexpr int kWide = 4000, kMost = 4000;
  int h = 1;
  while (h < kMost && !EveryControlWhole(kWide, h)) ++h;
  int w = 1;
  while (w < kWide && !EveryControlWhole(w, h)) ++w;
  return {w, h};
}

std::optional<TBounds> FitStoredBounds(const TBounds& stored, const std::vector<TBounds>& screens) {
  using i64 = std::int64_t;
  constexpr i64 kTitleBand = 30, kGrabWidth = 40, kGrabHeight = 10;
  if (stored.Width <= 0 || stored.Height <= 0) return std::nullopt;
  const i64 left = stored.Left, top = stored.Top;
  const i64 right = left + stored.Width, bandBottom = top + kTitleBand;

  const TBounds* best = nullptr;
  i64 bestArea = 0;
  for (const TBounds& s : screens) {
    if (s.Width <= 0 || s.Height <= 0) continue;
    const i64 sRight = i64{s.Left} + s.Width, sBottom = i64{s.Top} + s.Height;
    const i64 seenWidth = std::min(right, sRight) - std::max(left, i64{s.Left});
    const i64 seenHeight = std::min(bandBottom, sBottom) - std::max(top, i64{s.Top});
    if (seenWidth < kGrabWidth || seenHeight < kGrabHeight) continue;
    if (seenWidth * seenHeight > bestArea) {
      bestArea = seenWidth * seenHeight;
      best = &s;
    }
  }
  if (!best) return std::nullopt;

  const TBounds& s = *best;
  TBounds fit;
  fit.Width = std::min(stored.Width, s.Width);
  fit.Height = std::min(stored.Height, s.Height);
  fit.Left = static_cast<int>(std::clamp(left, i64{s.Left}, i64{s.Left} + s.Width - fit.Width));
  fit.Top = static_cast<int>(std::clamp(top, i64{s.Top}, i64{s.Top} + s.Height - fit.Height));
  return fit;
}

}  // namespace talmo
