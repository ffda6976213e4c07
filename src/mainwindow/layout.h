#pragma once
// Places of the main window's controls: as designed, and as the resize rule
// moves them for a client area; and where stored window bounds go on the
// screens there are now. Plain numbers, so the rules are testable without a
// window.

#include <optional>
#include <vector>

namespace talmo {

struct TBounds {
  int Left = 0, Top = 0, Width = 0, Height = 0;
  bool operator==(const TBounds&) const = default;
};

struct TMainLayout {
  TBounds meData, laWeb, raPort, rgBaud, rgDatabits, rgParity, rgStop, Panel1, edLast, buClear,
      buStrings, buTransmit, buSave, buClose, buOpen, buCapture;
  // The bench strip (modem lines, flow, rate, reconnect, stamps) below the
  // designed band, which it leaves as it is: one row under the selectors.
  TBounds paStrip;
};

// The strip's row: its height and its distance below the selectors.
inline constexpr int kStripHeight = 22;
inline constexpr int kStripGap = 4;

TMainLayout DesignedLayout();

// Moves the pane, the band below it and the right-hand buttons for a client
// area of clientWidth x clientHeight. Nothing is clamped: a tiny window
// gets the same formulas.
void ApplyResizeRule(TMainLayout& l, int clientWidth, int clientHeight);

// The smallest client area at which the resize rule leaves every control
// whole: inside the area and over no other control. The window keeps at
// least this size, so no control is ever clipped or hidden by another.
struct TClientSize {
  int Width = 0, Height = 0;
  bool operator==(const TClientSize&) const = default;
};
TClientSize MinimumClientSize();
// Whether the layout for this client area has every control whole.
bool EveryControlWhole(int clientWidth, int clientHeight);

// The window bounds to restore from stored ones (Left, Top, Width, Height),
// given the available area of each screen. The stored values come from a
// file and may be anything, so all sums are taken in 64 bits. The window
// goes to the screen that shows most of its title band (the top 30 pixels;
// at least 40 x 10 of it must show, or the user could not grab it), made no
// larger than that screen and moved as far as needed to lie inside it.
// Empty when the size is not positive or no screen shows the title band.
std::optional<TBounds> FitStoredBounds(const TBounds& stored, const std::vector<TBounds>& screens);

}  // namespace talmo
