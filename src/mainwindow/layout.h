#pragma once
// Places of the main window's controls: as designed, and as the resize rule
// moves them for a client area. Plain numbers, so the rule is testable
// without a window.

namespace talmo {

struct TBounds {
  int Left = 0, Top = 0, Width = 0, Height = 0;
  bool operator==(const TBounds&) const = default;
};

struct TMainLayout {
  TBounds meData, laWeb, raPort, rgBaud, rgDatabits, rgParity, rgStop, Panel1, edLast, buClear, buStrings,
      buTransmit, buSave, buClose, buOpen, buCapture;
};

TMainLayout DesignedLayout();

// Moves the pane, the band below it and the right-hand buttons for a client
// area of clientWidth x clientHeight. Nothing is clamped: a tiny window
// gets the same formulas.
void ApplyResizeRule(TMainLayout& l, int clientWidth, int clientHeight);

}  // namespace talmo
