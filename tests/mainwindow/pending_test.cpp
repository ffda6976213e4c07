#include "mainwindow/pending.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace talmo {
namespace {

struct FakeView : TPumpView {
  bool paused = false;
  std::string caption;
  bool red = false;
  std::vector<std::string> pane;
  std::function<void()> onProcess;
  int processCalls = 0;

  bool Paused() const override { return paused; }
  void SetPauseCaption(const std::string& c, bool r) override {
    caption = c;
    red = r;
  }
  void AppendToPane(const std::string& line) override { pane.push_back(line); }
  void ProcessMessages() override {
    ++processCalls;
    if (onProcess) onProcess();
  }
};

void AddNumbered(TPendingLines& p, int from, int count) {
  for (int i = from; i < from + count; ++i) p.Add(std::to_string(i));
}

std::vector<std::string> Numbered(int from, int count) {
  std::vector<std::string> v;
  for (int i = from; i < from + count; ++i) v.push_back(std::to_string(i));
  return v;
}

TEST(PendingLines, EightLinesPerTickAndTheCaptionCountsDown) {
  TPendingLines p;
  FakeView v;
  AddNumbered(p, 0, 20);
  const struct {
    const char* caption;
    std::size_t pane;
  } ticks[] = {{"Pause (20)", 8}, {"Pause (12)", 16}, {"Pause (4)", 20}, {"Pause", 20}};
  for (const auto& t : ticks) {
    SCOPED_TRACE(t.caption);
    p.Tick(v);
    EXPECT_EQ(v.caption, t.caption);
    EXPECT_FALSE(v.red);
    EXPECT_EQ(v.pane.size(), t.pane);
  }
  EXPECT_EQ(v.pane, Numbered(0, 20));
  EXPECT_EQ(p.Count(), 0u);
  EXPECT_EQ(p.PumpIndex(), 0u);
  // After every line but the eighth of a tick.
  EXPECT_EQ(v.processCalls, 7 + 7 + 4);
}

// While anything waits (lines, or the notice of skipped ones) the window's
// own lines go behind it; once the pane has shown it all, nothing waits.
TEST(PendingLines, WaitingCountsLinesAndAnUntoldSkip) {
  const struct {
    const char* name;
    int lines;     // added
    bool skipped;  // then skipped to the live end
    bool waiting;
  } cases[] = {{"nothing", 0, false, false},
               {"lines", 3, false, true},
               {"a skip not yet told", 3, true, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TPendingLines p;
    FakeView v;
    AddNumbered(p, 0, c.lines);
    if (c.skipped) p.SkipWaiting();
    EXPECT_EQ(p.Waiting(), c.waiting);
    p.Tick(v);
    EXPECT_FALSE(p.Waiting());
  }
}

TEST(PendingLines, PauseHoldsLinesAndShowsTheirNumberInRed) {
  TPendingLines p;
  FakeView v;
  v.paused = true;
  AddNumbered(p, 0, 5);
  p.Tick(v);
  EXPECT_EQ(v.caption, "Pause (5)");
  EXPECT_TRUE(v.red);
  EXPECT_TRUE(v.pane.empty());
  AddNumbered(p, 5, 10);
  p.Tick(v);
  EXPECT_EQ(v.caption, "Pause (15)");
  v.paused = false;
  p.Tick(v);
  EXPECT_EQ(v.caption, "Pause (15)");
  EXPECT_FALSE(v.red);
  p.Tick(v);
  EXPECT_EQ(v.caption, "Pause (7)");
  EXPECT_EQ(v.pane, Numbered(0, 15));
}

TEST(PendingLines, LinesAddedWhileTheGuiRunsAreKeptInOrder) {
  TPendingLines p;
  FakeView v;
  int next = 3;
  AddNumbered(p, 0, 3);
  v.onProcess = [&] { p.Add(std::to_string(next++)); };
  p.Tick(v);  // at most the three lines there were when the tick began
  EXPECT_EQ(v.pane, Numbered(0, 3));
  v.onProcess = nullptr;
  while (p.PendingCount() > 0) p.Tick(v);
  EXPECT_EQ(v.pane, Numbered(0, next));
}

TEST(PendingLines, NestedTickNeitherRepeatsNorSkips) {
  TPendingLines p;
  FakeView v;
  AddNumbered(p, 0, 30);
  int depth = 0;
  v.onProcess = [&] {
    if (depth++ < 3) p.Tick(v);
    --depth;
  };
  while (p.PendingCount() > 0) p.Tick(v);
  EXPECT_EQ(v.pane, Numbered(0, 30));
  EXPECT_EQ(p.Count(), 0u);
}

TEST(PendingLines, ClearDuringTheGuiCallEndsTheTickSafely) {
  TPendingLines p;
  FakeView v;
  AddNumbered(p, 0, 10);
  v.onProcess = [&] {
    p.Clear();
    v.onProcess = nullptr;
  };
  p.Tick(v);
  EXPECT_EQ(v.pane, Numbered(0, 1));
  AddNumbered(p, 100, 2);
  p.Tick(v);
  EXPECT_EQ(v.pane, (std::vector<std::string>{"0", "100", "101"}));
}

// Random mixes of adds, clears and nested ticks during the GUI call: every
// line reaches the pane once, in order, unless a Clear discarded it while
// it was still waiting.
TEST(PendingLines, RandomReentranceLosesAndRepeatsNothing) {
  for (unsigned seed = 0; seed < 50; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    TPendingLines p;
    FakeView v;
    int next = 0;
    std::set<int> discarded;
    auto clear = [&] {
      for (int i = 0; i < next; ++i) discarded.insert(i);
      for (const auto& s : v.pane) discarded.erase(std::stoi(s));
      p.Clear();
    };
    int depth = 0;
    v.onProcess = [&] {
      switch (rng() % 6) {
        case 0: p.Add(std::to_string(next++)); break;
        case 1:
          if (depth < 4) {
            ++depth;
            p.Tick(v);
            --depth;
          }
          break;
        case 2:
          if (rng() % 10 == 0) clear();
          break;
        default: break;
      }
    };
    for (int round = 0; round < 200; ++round) {
      const int adds = static_cast<int>(rng() % 12);
      for (int i = 0; i < adds; ++i) p.Add(std::to_string(next++));
      v.paused = rng() % 5 == 0;
      p.Tick(v);
    }
    v.paused = false;
    v.onProcess = nullptr;
    while (p.PendingCount() > 0) p.Tick(v);

    std::set<int> shown;
    int previous = -1;
    for (const auto& s : v.pane) {
      const int n = std::stoi(s);
      EXPECT_GT(n, previous) << "out of order or repeated";
      previous = n;
      shown.insert(n);
      EXPECT_EQ(discarded.count(n), 0u) << n << " shown after it was cleared";
    }
    EXPECT_EQ(shown.size() + discarded.size(), static_cast<std::size_t>(next));
  }
}

// A full backlog drops its oldest waiting lines; the next line shown is
// preceded by one line that says how many were not shown. The caption
// counts exactly what waits.
TEST(PendingLines, AFullBacklogDropsTheOldestAndSaysSoOnce) {
  TPendingLines p(10);
  FakeView v;
  AddNumbered(p, 0, 25);
  EXPECT_EQ(p.PendingCount(), 10u);
  EXPECT_EQ(p.Dropped(), 15u);
  v.paused = true;
  p.Tick(v);
  EXPECT_EQ(v.caption, "Pause (10)");
  EXPECT_TRUE(v.pane.empty());
  v.paused = false;
  p.Tick(v);
  std::vector<std::string> expected{TPendingLines::DroppedNotice(15)};
  for (const auto& s : Numbered(15, 8)) expected.push_back(s);
  EXPECT_EQ(v.pane, expected);
  EXPECT_EQ(p.Dropped(), 0u);
  p.Tick(v);
  for (const auto& s : Numbered(23, 2)) expected.push_back(s);
  EXPECT_EQ(v.pane, expected);
  EXPECT_EQ(v.caption, "Pause (2)");
  EXPECT_EQ(TPendingLines::DroppedNotice(15),
            "// 15 lines were not shown: more arrived than the pane can take in. A running capture "
            "keeps every byte.");
  EXPECT_EQ(TPendingLines::DroppedNotice(1).rfind("// 1 line was not shown", 0), 0u);
  // A skip is the user's choice, not the pane falling behind.
  EXPECT_EQ(TPendingLines::DroppedNotice(0, 3),
            "// 3 lines were not shown: skipped to the live end. A running capture keeps every "
            "byte.");
  EXPECT_EQ(TPendingLines::DroppedNotice(15, 10),
            "// 25 lines were not shown: 15 as more arrived than the pane can take in, 10 skipped "
            "to the live end. A running capture keeps every byte.");
}

// Skipping to the live end: the waiting lines go (with those a full
// backlog dropped before them, one notice for all), the count starts again,
// and the lines that come after are shown at once.
TEST(PendingLines, SkippingToTheLiveEndTellsHowManyWentAndShowsWhatComesNext) {
  const struct {
    const char* name;
    int added;          // lines in a backlog of at most 10
    int shownBefore;    // ticks before the skip
    bool pausedAtSkip;  // the skip comes while Pause is ticked
    std::size_t skipped;
    std::size_t dropped;  // in the notice beside the skipped ones
  } rows[] = {
      {"a backlog", 9, 0, false, 9, 0},
      {"part shown first", 9, 1, false, 1, 0},
      {"full backlog: its drops join the skip", 25, 0, false, 10, 15},
      {"while paused: told when Pause is unticked", 9, 0, true, 9, 0},
      {"nothing waits: nothing to tell", 4, 1, false, 0, 0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    TPendingLines p(10);
    FakeView v;
    AddNumbered(p, 0, r.added);
    for (int i = 0; i < r.shownBefore; ++i) p.Tick(v);
    const std::size_t before = v.pane.size();
    v.paused = r.pausedAtSkip;
    EXPECT_EQ(p.SkipWaiting(), r.skipped);
    EXPECT_EQ(p.PendingCount(), 0u);
    p.Tick(v);
    EXPECT_EQ(v.caption, "Pause") << "the count starts again";
    v.paused = false;
    p.Tick(v);
    AddNumbered(p, 100, 2);
    p.Tick(v);
    std::vector<std::string> after(v.pane.begin() + static_cast<long>(before), v.pane.end());
    std::vector<std::string> expected;
    if (r.skipped + r.dropped > 0)
      expected.push_back(TPendingLines::DroppedNotice(r.dropped, r.skipped));
    for (const auto& s : Numbered(100, 2)) expected.push_back(s);
    EXPECT_EQ(after, expected);
  }
}

TEST(PendingLines, TheBacklogIsBoundedInBytesToo) {
  const struct {
    std::size_t maxLines, maxBytes, lineSize, adds, waiting;
  } rows[] = {
      {1000, 100, 30, 10, 3},         // bytes bound first
      {4, 1000, 30, 10, 4},           // lines bound first
      {1000, 100, 500, 3, 1},         // a line larger than the bound still waits
      {100000, 1 << 20, 40, 50, 50},  // neither reached
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.maxBytes);
    TPendingLines p(r.maxLines, r.maxBytes);
    for (std::size_t i = 0; i < r.adds; ++i) p.Add(std::string(r.lineSize, 'x'));
    EXPECT_EQ(p.PendingCount(), r.waiting);
    EXPECT_EQ(p.PendingBytes(), r.waiting * r.lineSize);
    EXPECT_EQ(p.Dropped(), r.adds - r.waiting);
  }
  EXPECT_EQ(TPendingLines().PendingCount(), 0u);
  EXPECT_EQ(TPendingLines::kDefaultMaxLines, 100000u);
}

// Random adds during the GUI call and nested ticks against a small bound:
// what the pane shows is in order, each gap is announced with its exact
// size, and shown + announced + waiting is every line added.
TEST(PendingLines, RandomFloodsIntoASmallBacklogStayInOrder) {
  for (unsigned seed = 0; seed < 40; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    TPendingLines p(1 + rng() % 30);
    FakeView v;
    int next = 0, depth = 0;
    v.onProcess = [&] {
      const unsigned r = rng() % 8;
      if (r < 3) {
        for (unsigned i = rng() % 20; i > 0; --i) p.Add(std::to_string(next++));
      } else if (r == 3 && depth < 3) {
        ++depth;
        p.Tick(v);
        --depth;
      }
    };
    for (int round = 0; round < 300; ++round) {
      for (unsigned i = rng() % 40; i > 0; --i) p.Add(std::to_string(next++));
      v.paused = rng() % 6 == 0;
      p.Tick(v);
    }
    v.onProcess = nullptr;
    v.paused = false;
    while (p.PendingCount() > 0) p.Tick(v);

    int expect = 0;
    std::size_t announced = 0;
    std::size_t gap = 0;
    for (const auto& line : v.pane) {
      if (line.rfind("// ", 0) == 0) {
        ASSERT_EQ(gap, 0u) << "two notices in a row";
        gap = std::stoul(line.substr(3));
        announced += gap;
        continue;
      }
      EXPECT_EQ(std::stoi(line), expect + static_cast<int>(gap));
      expect = std::stoi(line) + 1;
      gap = 0;
    }
    EXPECT_EQ(gap, 0u) << "a notice without a line after it";
    EXPECT_EQ(static_cast<std::size_t>(expect), static_cast<std::size_t>(next) - p.Dropped());
    const auto shown = static_cast<std::size_t>(std::count_if(
        v.pane.begin(), v.pane.end(), [](const std::string& l) { return l.rfind("// ", 0) != 0; }));
    EXPECT_EQ(shown + announced + p.Dropped(), static_cast<std::size_t>(next));
  }
}

}  // namespace
}  // namespace talmo
