#include "layout.h"

#include <gtest/gtest.h>

namespace talmo {
namespace {

TEST(ResizeRule, DocumentedClientAreas) {
  const struct {
    int cw, ch;
    TBounds pane;
    int bandTop;
    int clearLeft;
  } rows[] = {
      {834, 528, {7, 16, 820, 316}, 348, 745},
      {640, 400, {5, 12, 630, 240}, 264, 555},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.cw);
    TMainLayout l = DesignedLayout();
    ApplyResizeRule(l, r.cw, r.ch);
    EXPECT_EQ(l.meData, r.pane);
    for (const TBounds* b : {&l.raPort, &l.rgBaud, &l.rgDatabits, &l.rgParity, &l.rgStop, &l.Panel1, &l.edLast})
      EXPECT_EQ(b->Top, r.bandTop);
    EXPECT_EQ(l.buClear.Left, r.clearLeft);
    // The right-hand stack: each button sits on the one below it and the
    // lowest ends level with the selectors.
    EXPECT_EQ(l.buCapture.Top + l.buCapture.Height, l.rgBaud.Top + l.rgBaud.Height);
    EXPECT_EQ(l.buSave.Top + l.buSave.Height, l.buCapture.Top);
    EXPECT_EQ(l.buStrings.Top + 25, l.buSave.Top);
    EXPECT_EQ(l.buTransmit.Top + 25, l.buStrings.Top);
    EXPECT_EQ(l.buClear.Top + l.buClear.Height, l.buTransmit.Top);
    EXPECT_EQ(l.buCapture.Left + l.buCapture.Width, l.buClear.Left + l.buClear.Width);
    EXPECT_EQ(l.buOpen.Top, l.buClose.Top);
    EXPECT_EQ(l.laWeb.Left, l.raPort.Left);
    EXPECT_EQ(l.laWeb.Top, r.bandTop - 17);
    // Designed lefts and sizes stay.
    EXPECT_EQ(l.buOpen.Left, 440);
    EXPECT_EQ(l.Panel1.Left, 350);
  }
  TMainLayout l = DesignedLayout();
  ApplyResizeRule(l, 834, 528);
  EXPECT_EQ(l.edLast.Left, 13 + 350 + 217);
}

TEST(ResizeRule, TinyWindowsAreNotClamped) {
  TMainLayout l = DesignedLayout();
  ApplyResizeRule(l, 10, 10);
  EXPECT_EQ(l.meData, (TBounds{0, 0, 9, 6}));
  EXPECT_EQ(l.buClear.Left, 9 - 75);  // may leave the client area
}

}  // namespace
}  // namespace talmo
