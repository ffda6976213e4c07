#include "mainwindow/layout.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <climits>

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
    for (const TBounds* b :
         {&l.raPort, &l.rgBaud, &l.rgDatabits, &l.rgParity, &l.rgStop, &l.Panel1, &l.edLast})
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

// The least client area keeps every control whole: at it and above it
// nothing is clipped or covered, a pixel less in either direction is.
TEST(ResizeRule, TheLeastClientAreaKeepsEveryControlWhole) {
  const TClientSize least = MinimumClientSize();
  EXPECT_GE(least.Width, 651) << "the right-hand buttons' designed column";
  EXPECT_GE(least.Height, 497) << "the designed bottom row";
  const struct {
    const char* name;
    int width, height;
    bool whole;
  } rows[] = {
      {"the least", least.Width, least.Height, true},
      {"a pixel narrower", least.Width - 1, least.Height, false},
      {"a pixel lower", least.Width, least.Height - 1, false},
      {"the first start's 700 x 500 raised", std::max(700, least.Width),
       std::max(500, least.Height), true},
      {"640 x 400", 640, 400, false},
      // The band ends at 524 of 528: the strip's row needs more.
      {"the designed 834 x 528, with the strip below the band", 834, 528, false},
      {"400 x 300", 400, 300, false},
      {"a large screen", 1900, 1100, true},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(EveryControlWhole(r.width, r.height), r.whole);
  }
}

TEST(StoredBounds, FitTheScreenWhateverTheFileHolds) {
  const std::vector<TBounds> one = {{0, 0, 800, 600}};
  const std::vector<TBounds> two = {{0, 0, 1920, 1080}, {1920, 0, 1280, 1024}};
  const std::vector<TBounds> noScreens;
  const std::optional<TBounds> none;
  const struct {
    const char* what;
    const std::vector<TBounds>& screens;
    TBounds stored;
    std::optional<TBounds> fit;
  } rows[] = {
      {"normal", one, {100, 50, 700, 500}, TBounds{100, 50, 700, 500}},
      {"zero width", one, {100, 50, 0, 500}, none},
      {"zero height", one, {100, 50, 700, 0}, none},
      {"negative size", one, {100, 50, -700, -500}, none},
      {"negative left, partly shown", one, {-300, 20, 700, 500}, TBounds{0, 20, 700, 500}},
      {"negative, off every screen", one, {-5000, -5000, 700, 500}, none},
      {"huge size", one, {100, 50, 40000, 40000}, TBounds{0, 0, 800, 600}},
      {"INT_MAX left", one, {INT_MAX, 50, 700, 500}, none},
      {"INT_MAX top", one, {100, INT_MAX, 700, 500}, none},
      {"INT_MAX size", one, {0, 0, INT_MAX, INT_MAX}, TBounds{0, 0, 800, 600}},
      {"INT_MAX everywhere", one, {INT_MAX, INT_MAX, INT_MAX, INT_MAX}, none},
      {"INT_MIN left, INT_MAX width", one, {INT_MIN, 0, INT_MAX, 500}, none},
      {"far left, INT_MAX width", one, {-1000000000, 0, INT_MAX, 500}, TBounds{0, 0, 800, 500}},
      {"INT_MIN top", one, {100, INT_MIN, 700, 500}, none},
      {"INT_MIN everywhere", one, {INT_MIN, INT_MIN, INT_MIN, INT_MIN}, none},
      {"40 columns of title shown", one, {760, 50, 700, 500}, TBounds{100, 50, 700, 500}},
      {"39 columns of title shown", one, {761, 50, 700, 500}, none},
      {"10 rows of title shown at the top", one, {100, -20, 700, 500}, TBounds{100, 0, 700, 500}},
      {"9 rows of title shown at the top", one, {100, -21, 700, 500}, none},
      {"10 rows of title shown at the bottom",
       one,
       {100, 590, 700, 500},
       TBounds{100, 100, 700, 500}},
      {"second screen, too tall", two, {2000, 100, 1000, 1100}, TBounds{2000, 0, 1000, 1024}},
      {"across two screens, mostly the second",
       two,
       {1500, 100, 1000, 500},
       TBounds{1920, 100, 1000, 500}},
      {"across two screens, mostly the first",
       two,
       {1000, 100, 1000, 500},
       TBounds{920, 100, 1000, 500}},
      {"no screens", noScreens, {100, 50, 700, 500}, none},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    const std::optional<TBounds> fit = FitStoredBounds(r.stored, r.screens);
    ASSERT_EQ(fit.has_value(), r.fit.has_value());
    if (fit) {
      EXPECT_EQ(*fit, *r.fit);
    }
  }
}

}  // namespace
}  // namespace talmo
