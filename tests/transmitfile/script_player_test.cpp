// The script player over string lists, a fake local clock and a byte sink.

#include "transmitfile/script_player.h"

#include "engine/convert.h"

#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <iterator>
#include <random>
#include <stdexcept>

namespace talmo {
namespace {

TSystemTime At(int h, int m, int s, int ms, int year = 2018, int month = 12, int day = 17) {
  TSystemTime t;
  t.Year = static_cast<std::uint16_t>(year);
  t.Month = static_cast<std::uint16_t>(month);
  t.Day = static_cast<std::uint16_t>(day);
  t.Hour = static_cast<std::uint16_t>(h);
  t.Minute = static_cast<std::uint16_t>(m);
  t.Second = static_cast<std::uint16_t>(s);
  t.Milliseconds = static_cast<std::uint16_t>(ms);
  return t;
}

// The window around the player: data lines, a clock that the test moves,
// the port as a byte sink, the memo and the timer as lists.
struct Window {
  std::vector<std::string> lines;
  TSystemTime now = At(9, 5, 7, 345);
  std::vector<std::string> written, status, errors;
  std::vector<int> intervals;
  int stops = 0;
  int clockReads = 0;
  int dataLinesCalls = 0;
  bool fail = false;
  // With a version the player may remember the lines between steps; the
  // test then bumps `version` whenever it changes `lines`.
  bool versioned = false;
  std::uint64_t version = 0;
  TScriptPlayer player{
      TPlayerHost{[this]() -> const std::vector<std::string>& {
                    ++dataLinesCalls;
                    return lines;
                  },
                  [this] {
                    ++clockReads;
                    return now;
                  },
                  [this](const std::string& bytes) {
                    if (fail)
                      throw std::runtime_error("Output buffer is full. Please check comm status.");
                    written.push_back(bytes);
                  },
                  [this](const std::string& line) { status.push_back(line); },
                  [this](int ms) { intervals.push_back(ms); },
                  [this] { ++stops; },
                  [this](const std::string& message) { errors.push_back(message); },
                  {},
                  {},
                  versioned ? std::function<std::uint64_t()>([this] { return version; })
                            : std::function<std::uint64_t()>()}};

  explicit Window(std::vector<std::string> l, bool withVersion = false)
      : lines(std::move(l)), versioned(withVersion) {
    player.Start();
  }

  void Advance(int ms) {
    long total = ((now.Hour * 60L + now.Minute) * 60 + now.Second) * 1000 + now.Milliseconds + ms;
    total %= 24L * 3600 * 1000;
    now.Milliseconds = static_cast<std::uint16_t>(total % 1000);
    now.Second = static_cast<std::uint16_t>(total / 1000 % 60);
    now.Minute = static_cast<std::uint16_t>(total / 60000 % 60);
    now.Hour = static_cast<std::uint16_t>(total / 3600000);
  }
  // Ticks as the timer would, moving the clock by the interval last set.
  int RunToEnd(int maxTicks = 100) {
    int ticks = 0;
    while (stops == 0 && ticks < maxTicks) {
      player.Step();
      ++ticks;
      if (!intervals.empty()) Advance(intervals.back());
    }
    return ticks;
  }
};

struct LineCase {
  const char* name;
  std::string line;
  std::string bytes;  // empty: nothing written
  int interval;
  std::string status = {};  // empty: "TX[n]" and the bytes as they are
};

TEST(ScriptPlayer, OneLineBytesStatusAndPause) {
  const LineCase cases[] = {
      {"words joined", "m100 Hello World", "HelloWorld", 100},
      {"underscore is a space", "m100 Hello_World", "Hello World", 100},
      {"quoted word keeps its space", "m100 \"Hello World\"", "Hello World", 100},
      {"hex bytes around text", "m0 $02 ABC $03",
       std::string("\x02"
                   "ABC\x03"),
       1, "TX[5] STXABC ETX"},
      {"hex chain", "m0 $41$42", "AB", 1},
      {"hex then literal", "m0 $4142", "A42", 1},
      {"hex then one digit", "m0 $414", "A4", 1},
      {"single hex digit", "m0 $4", "\x40", 1},
      {"bare dollar", "m0 $", std::string(1, '\0'), 1, "TX[1] NUL"},
      {"lower-case hex", "m0 $ff", "\xFF", 1},
      {"underscore by hex", "m0 $5F", "_", 1},
      {"date", "m0 %Y%M%D", "181217", 1},
      {"time", "m0 %h%m%s", "090507", 1},
      {"one millisecond digit", "m0 %1", "3", 1},
      {"two millisecond digits", "m0 %2", "34", 1},
      {"three millisecond digits", "m0 %3", "345", 1},
      {"time then literal", "m0 %h:%m", "09:%m", 1},
      {"time then letter", "m0 %hX", "09X", 1},
      {"unknown field", "m0 %x", "", 1},
      {"bare percent", "m0 %", "", 1},
      {"comment word", "m0 A // B C", "A", 1},
      {"slash word", "m0 A /B C", "AC", 1},
      {"comment as first data word", "m0 // A", "", 1},
      {"bare apostrophe", "m0 '", "  ", 1},
      {"apostrophe text", "m0 'abc", "abc", 1},
      {"apostrophe sends a dollar", "m0 '$41", "$41", 1},
      {"apostrophe in quotes keeps spaces", "m0 \"' A_B \"", " A B ", 1},
      {"quoted word trimmed", "m0 \" A \"", "A", 1},
      {"doubled quote", "m0 \"a\"\"b\"", "a\"b", 1},
      {"empty quoted word", "m0 \"\"", "", 1},
      {"word after closing quote", "m0 \"A\"B", "AB", 1},
      {"quote inside a word", "m0 a\"b", "a\"b", 1},
      {"8-bit text", "m0 \xC4\xE9", "\xC4\xE9", 1},
      {"seconds pause", "s2 X", "X", 2000},
      {"ten digits read as 0", "m1234567890 X", "X", 1},
      {"pause with a unit", "m100ms X", "X", 100},
      {"upper-case command", "M100 X", "", 1},
      {"no command", "X", "", 1},
      {"empty first word", "\"\" X", "", 1},
  };
  for (const LineCase& c : cases) {
    SCOPED_TRACE(c.name);
    Window w({c.line});
    w.player.Step();
    if (c.bytes.empty()) {
      EXPECT_TRUE(w.written.empty());
      EXPECT_TRUE(w.status.empty());
    } else {
      ASSERT_EQ(w.written.size(), 1u);
      EXPECT_EQ(w.written[0], c.bytes);
      ASSERT_EQ(w.status.size(), 1u);
      EXPECT_EQ(w.status[0], c.status.empty()
                                 ? "TX[" + std::to_string(c.bytes.size()) + "]" + c.bytes
                                 : c.status);
    }
    ASSERT_EQ(w.intervals.size(), 1u);
    EXPECT_EQ(w.intervals[0], c.interval);
    EXPECT_EQ(w.stops, 0);
    w.player.Step();
    EXPECT_EQ(w.stops, 1) << "a one-line script ends at the next tick";
  }
}

TEST(ScriptPlayer, DateAndTimeFieldsShowOneInstant) {
  Window w({"m0 %h%m%s %s%3 %D"});
  w.player.Step();
  EXPECT_EQ(w.clockReads, 1);
  EXPECT_EQ(w.written.at(0),
            "09050707345"
            "17");
}

TEST(ScriptPlayer, YearTakesTwoDigitsForAnyYear) {
  const std::pair<int, std::string> cases[] = {
      {2018, "18"}, {2000, "00"}, {1999, "99"}, {2105, "05"}};
  for (const auto& [year, digits] : cases) {
    SCOPED_TRACE(year);
    Window w({"m0 %Y"});
    w.now = At(0, 0, 0, 0, year);
    w.player.Step();
    EXPECT_EQ(w.written.at(0), digits);
  }
}

TEST(ScriptPlayer, TxStatusNamesControlBytesAsThePaneDoes) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "TX[0]"},
      {"Hello World", "TX[11]Hello World"},
      {std::string("AB\0CD", 5), "TX[5]AB NULCD"},
      {"\x02"
       "T=21.5C\x03",
       "TX[9] STXT=21.5C ETX"},
      {"x\r\ny", "TX[4]x CR  LF y"},
      {"\x1f\x1b\x7f", "TX[3] US  ESC $7F"},
      // C1 bytes have no glyph in the memo either; letters above them do.
      {"\x80\x9f\xa0\xc4\xff", "TX[5] $80 $9F\xa0\xc4\xff"},
  };
  for (const auto& [bytes, status] : cases) {
    SCOPED_TRACE(status);
    EXPECT_EQ(TxStatusText(bytes), status);
  }
  // Every control byte by its three-letter name, none left raw.
  for (int b = 0; b < 0x20; ++b) {
    const std::string text = TxStatusText(std::string(1, static_cast<char>(b)));
    EXPECT_EQ(text, "TX[1] " + std::string(kSignNames.substr(3 * b, 3))) << b;
  }
}

TEST(ScriptPlayer, SplitLineQuoting) {
  const std::pair<std::string, TWordList> cases[] = {
      {"", {}},
      {" \t  ", {}},
      {"  a  b\t c ", {"a", "b", "c"}},
      {"\x01"
       "a\x1f"
       "b\x7f",
       {"a", "b\x7f"}},
      {"\"Hello World\"", {"Hello World"}},
      {"\"a\"\"b\"", {"a\"b"}},
      {"\"\"", {""}},
      {"\"\"\"\"", {"\""}},
      {"\"a\"b", {"a", "b"}},
      {"\"a\" \"b\"", {"a", "b"}},
      {"x\"y z\"", {"x\"y", "z\""}},
      {"m0 \"abc", {"m0", "abc"}},
      {"m0 \"abc def ", {"m0", "abc def "}},
      {"m0 \"a\"\"", {"m0", "a\""}},
      {"\xE9t\xE9 \xFF", {"\xE9t\xE9", "\xFF"}},
  };
  for (const auto& [line, words] : cases) {
    SCOPED_TRACE(line);
    TWordList got{"stale"};
    SplitLine(line, got);
    EXPECT_EQ(got, words);
  }
}

TEST(ScriptPlayer, UnclosedQuoteSendsTheWholeRest) {
  Window w({"m0 \"abc def"});
  w.player.Step();
  EXPECT_EQ(w.written.at(0), "abc def");
}

TEST(ScriptPlayer, RepeatLines) {
  {
    SCOPED_TRACE("l3 250 X");
    Window w({"l3 250 X", "m5 Y"});
    EXPECT_EQ(w.RunToEnd(), 5);
    EXPECT_EQ(w.written, (std::vector<std::string>{"X", "X", "X", "Y"}));
    EXPECT_EQ(w.intervals, (std::vector<int>{250, 250, 250, 5}));
  }
  for (const char* line : {"l0 250 X", "l1 250 X", "l 250 X"}) {
    SCOPED_TRACE(line);
    Window w({line, "l2 7 Y"});
    w.RunToEnd();
    EXPECT_EQ(w.written, (std::vector<std::string>{"X", "Y", "Y"}));
    EXPECT_EQ(w.intervals, (std::vector<int>{250, 7, 7}));
  }
  {
    SCOPED_TRACE("two repeat lines in a row");
    Window w({"l2 10 A", "l2 10 B"});
    w.RunToEnd();
    EXPECT_EQ(w.written, (std::vector<std::string>{"A", "A", "B", "B"}));
  }
  {
    SCOPED_TRACE("missing pause word reads 0");
    Window w({"l3"});
    EXPECT_EQ(w.RunToEnd(), 4);
    EXPECT_TRUE(w.errors.empty());
    EXPECT_EQ(w.intervals, (std::vector<int>{1, 1, 1}));
  }
}

TEST(ScriptPlayer, LinesPassedOverWithinOneTick) {
  Window w({" ;c", " //d", "   ", "\t", "m7 A", "m8 B"});
  w.player.Step();
  EXPECT_EQ(w.written, (std::vector<std::string>{"A"}));
  EXPECT_EQ(w.intervals, (std::vector<int>{7}));
  EXPECT_EQ(w.player.lineIndex, 5);
}

TEST(ScriptPlayer, RestartPlaysForever) {
  Window w({"m100 X", "r"});
  EXPECT_EQ(w.RunToEnd(50), 50);
  EXPECT_EQ(w.written.size(), 50u);
  EXPECT_EQ(w.stops, 0);
}

TEST(ScriptPlayer, RestartReachedTwiceEndsTheStep) {
  for (const auto& script : {std::vector<std::string>{"r"}, std::vector<std::string>{" //", "r"},
                             std::vector<std::string>{"   ", " ;", "r", "m1 never"}}) {
    SCOPED_TRACE(script.size());
    Window w(script);
    w.player.Step();
    w.player.Step();
    EXPECT_EQ(w.intervals, (std::vector<int>{1, 1}));
    EXPECT_TRUE(w.written.empty());
    EXPECT_EQ(w.stops, 0);
    EXPECT_EQ(w.player.lineIndex, 0);
  }
}

// A script of lines that are passed over and a restart: every tick is one
// guarded restart. A tick must not read the whole script again.
TEST(ScriptPlayer, StepsDoNotRereadPassedOverLines) {
  std::vector<std::string> script(4000, " ;nothing");
  script.push_back("r");
  Window w(script, true);
  const int kSteps = 1000;
  for (int i = 0; i < kSteps; ++i) w.player.Step();
  EXPECT_EQ(w.intervals, std::vector<int>(kSteps, 1));
  EXPECT_EQ(w.player.lineIndex, 0);
  // Each line once, then the restart line twice a step.
  EXPECT_LE(w.player.LinesRead(), script.size() + 2u * kSteps);
  EXPECT_LE(w.dataLinesCalls, 4 * kSteps);

  // Reading the lines once does not miss a reload.
  w.lines.back() = "m3 X";
  ++w.version;
  w.player.Step();
  EXPECT_EQ(w.written, (std::vector<std::string>{"X"}));
  EXPECT_EQ(w.intervals.back(), 3);
}

// Remembering the lines changes no outcome: random scripts played with and
// without a version send, log, pace and stop alike.
TEST(ScriptPlayer, RememberedLinesPlayAsReadAfresh) {
  const char* vocabulary[] = {" ;c",  " //d",     "   ",     "\t",   "m1 A",
                              "m0",   "l2 3 B",   "w99 7 C", "r",    "X",
                              "\"\"", "  \";q\"", "s0 D",    "l0 1", " r"};
  std::mt19937 rng(5);
  for (int script = 0; script < 200; ++script) {
    std::vector<std::string> lines(rng() % 12);
    for (auto& l : lines) l = vocabulary[rng() % std::size(vocabulary)];
    SCOPED_TRACE(script);
    Window fresh(lines), remembered(lines, true);
    const int ticks = fresh.RunToEnd(60);
    EXPECT_EQ(remembered.RunToEnd(60), ticks);
    EXPECT_EQ(remembered.written, fresh.written);
    EXPECT_EQ(remembered.status, fresh.status);
    EXPECT_EQ(remembered.intervals, fresh.intervals);
    EXPECT_EQ(remembered.stops, fresh.stops);
    EXPECT_EQ(remembered.player.lineIndex, fresh.player.lineIndex);
    EXPECT_EQ(remembered.player.repeatCount, fresh.player.repeatCount);
  }
}

TEST(ScriptPlayer, EmptyScriptEndsAtOnce) {
  Window w({});
  w.player.Step();
  EXPECT_EQ(w.stops, 1);
  EXPECT_TRUE(w.intervals.empty());
}

struct WaitCase {
  const char* line;
  TSystemTime at;
  int logged;  // the "Wait" status value; the interval is one less (at least 1)
};

TEST(ScriptPlayer, WaitLines) {
  const WaitCase cases[] = {
      {"w15 500 X", At(12, 0, 10, 200), 5300},  {"w15 500 X", At(12, 0, 16, 0), 59500},
      {"w15 0 X", At(12, 0, 10, 200), 5800},    {"w15 1000 X", At(12, 0, 10, 200), 5800},
      {"w15 1001 X", At(12, 0, 10, 200), 4801}, {"w99 500 X", At(12, 0, 10, 200), 300},
      {"w99 100 X", At(12, 0, 10, 200), 900},   {"w15 500 X", At(12, 0, 15, 499), 1},
      {"w15 500 X", At(12, 0, 15, 500), 60000}, {"w5 0 X", At(12, 0, 50, 0), 16000},
      {"w59 500 X", At(12, 0, 59, 600), 59900}, {"w0 1 X", At(23, 59, 59, 999), 2},
      {"w 0 X", At(12, 0, 10, 200), 50800},     {"w15", At(12, 0, 10, 200), 5800},
  };
  for (const WaitCase& c : cases) {
    SCOPED_TRACE(std::string(c.line) + " at second " + std::to_string(c.at.Second) + "." +
                 std::to_string(c.at.Milliseconds));
    Window w({c.line, "m20 Y"});
    w.now = c.at;
    w.player.Step();
    ASSERT_EQ(w.status.size(), 1u);
    EXPECT_EQ(w.status[0], "Wait " + std::to_string(c.logged) + " ms");
    EXPECT_EQ(w.intervals.at(0), std::max(1, c.logged - 1));
    EXPECT_TRUE(w.written.empty());
    // Second pass: the wait line sends, and the next line follows in the
    // same tick.
    w.Advance(w.intervals[0]);
    w.player.Step();
    TWordList words;
    SplitLine(c.line, words);
    const bool hasData = words.size() > 2;
    std::vector<std::string> expected;
    if (hasData) expected.push_back("X");
    expected.push_back("Y");
    EXPECT_EQ(w.written, expected);
    EXPECT_EQ(w.intervals.back(), 20);
    EXPECT_TRUE(w.errors.empty());
  }
}

TEST(ScriptPlayer, WaitReachesItsTargetAcrossTheMinute) {
  // Played at the pace the timer keeps, X goes out at second 15.499.
  Window w({"w15 500 X"});
  w.now = At(12, 0, 16, 0);
  w.player.Step();
  w.Advance(w.intervals.back());
  EXPECT_EQ(w.now.Minute, 1);
  EXPECT_EQ(w.now.Second, 15);
  EXPECT_EQ(w.now.Milliseconds, 499);
}

TEST(ScriptPlayer, LongSecondsPauseIsClampedNotWrapped) {
  const std::pair<const char*, int> cases[] = {
      {"s2147483 X", 2147483000}, {"s2147484 X", INT_MAX}, {"s999999999 X", INT_MAX}, {"s0 X", 1}};
  for (const auto& [line, interval] : cases) {
    SCOPED_TRACE(line);
    Window w({line});
    w.player.Step();
    EXPECT_EQ(w.intervals.at(0), interval);
  }
}

TEST(ScriptPlayer, FailedWriteKeepsTheLineAndIsShownOnce) {
  Window w({"m10 A", "l3 20 X", "m30 B"});
  w.player.Step();  // A
  w.fail = true;
  for (int i = 0; i < 3; ++i) w.player.Step();  // X refused three times
  EXPECT_EQ(w.errors,
            (std::vector<std::string>{"Output buffer is full. Please check comm status."}));
  EXPECT_EQ(w.status, (std::vector<std::string>{"TX[1]A"}));
  EXPECT_EQ(w.intervals, (std::vector<int>{10}));
  EXPECT_EQ(w.player.lineIndex, 1);
  w.fail = false;
  w.player.Step();  // X, first of three
  w.fail = true;
  w.player.Step();
  w.player.Step();
  EXPECT_EQ(w.errors.size(), 2u) << "shown again after a step succeeded";
  w.fail = false;
  w.RunToEnd();
  EXPECT_EQ(w.written, (std::vector<std::string>{"A", "X", "X", "X", "B"}));
}

// A line longer than the port's queue goes in pieces. When the queue
// refuses a piece after others went, the retry sends only the rest: every
// byte reaches the line exactly once, whatever the line describes at the
// retry (a time field may have moved on), and a new run starts clean.
TEST(ScriptPlayer, APartlySentLineIsFinishedNotSentAgain) {
  const struct {
    const char* name;
    std::vector<std::string> lines;
    std::vector<int> budgets;  // pieces the queue takes at each step
    std::string wire;
    std::vector<std::string> sent;
  } rows[] = {
      {"refused after one piece",
       {"m1 ABCDEFGHIJ", "m1 K"},
       {1, 5, 5},
       "ABCDEFGHIJK",
       {"EFGHIJ", "K"}},
      {"refused twice part way", {"m1 ABCDEFGHIJ"}, {1, 1, 1}, "ABCDEFGHIJ", {"IJ"}},
      {"first piece refused: nothing went",
       {"m1 ABCDEFGHIJ"},
       {0, 5},
       "ABCDEFGHIJ",
       {"ABCDEFGHIJ"}},
      {"a time field moves on: the old rest goes",
       {"m1 ABCDEFGH %m %s"},
       {2, 5},
       "ABCDEFGH0507",
       {"0507"}},
      {"a repeated line counts its partly sent pass once",
       {"l2 1 ABCDEF"},
       {1, 5, 5},
       "ABCDEFABCDEF",
       {"EF", "ABCDEF"}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    std::string wire;
    std::vector<std::string> sent;
    int budget = 0;
    TSystemTime now = At(9, 5, 7, 345);
    bool stopped = false;
    TPlayerHost host;
    host.DataLines = [&r]() -> const std::vector<std::string>& { return r.lines; };
    host.LocalClock = [&now] { return now; };
    host.Write = [&](const std::string& bytes) {
      WriteInPieces(bytes, 4, [&](const char* data, int count) {
        if (budget-- <= 0) throw std::runtime_error("Output buffer is full.");
        wire.append(data, static_cast<std::size_t>(count));
      });
    };
    host.Sent = [&sent](const std::string& bytes) { sent.push_back(bytes); };
    host.Status = [](const std::string&) {};
    host.SetInterval = [](int) {};
    host.Stop = [&stopped] { stopped = true; };
    host.Error = [](const std::string&) {};
    TScriptPlayer player(host);
    player.Start();
    for (const int b : r.budgets) {
      budget = b;
      player.Step();
      now.Second = static_cast<std::uint16_t>(now.Second + 1);
    }
    EXPECT_EQ(wire, r.wire);
    EXPECT_EQ(sent, r.sent);
    // A new run owes nothing of the old one.
    budget = 1;
    player.Step();  // refused part way again (or ended)
    player.Start();
    wire.clear();
    budget = 100;
    player.Step();
    EXPECT_EQ(wire.substr(0, 4), r.wire.substr(0, 4));
  }
}

TEST(ScriptPlayer, FailedWriteOfAWaitStaysInTheSecondPass) {
  Window w({"w15 500 X", "m5 Y"});
  w.now = At(12, 0, 10, 200);
  w.player.Step();
  w.fail = true;
  w.player.Step();
  EXPECT_EQ(w.player.repeatCount, 1);
  EXPECT_EQ(w.player.lineIndex, 0);
  w.fail = false;
  w.player.Step();
  EXPECT_EQ(w.written, (std::vector<std::string>{"X", "Y"}));
  EXPECT_EQ(w.status, (std::vector<std::string>{"Wait 5300 ms", "TX[1]X", "TX[1]Y"}));
}

TEST(ScriptPlayer, FailedWriteAfterAWaitKeepsTheFollowingLine) {
  Window w({"w15 500 X", "m5 Y", "m6 Z"});
  w.now = At(12, 0, 10, 200);
  w.player.Step();
  int calls = 0;
  w.player =
      TScriptPlayer(TPlayerHost{[&w]() -> const std::vector<std::string>& { return w.lines; },
                                [&w] { return w.now; },
                                [&](const std::string& bytes) {
                                  if (++calls == 2) throw std::runtime_error("refused");
                                  w.written.push_back(bytes);
                                },
                                [&w](const std::string& line) { w.status.push_back(line); },
                                [&w](int ms) { w.intervals.push_back(ms); },
                                [&w] { ++w.stops; },
                                [&w](const std::string& m) { w.errors.push_back(m); },
                                {},
                                {},
                                {}});
  w.player.lineIndex = 0;
  w.player.repeatCount = 1;
  w.player.Step();  // X goes out, Y is refused
  EXPECT_EQ(w.player.lineIndex, 1);
  EXPECT_EQ(w.player.repeatCount, 0);
  w.player.Step();
  EXPECT_EQ(w.written, (std::vector<std::string>{"X", "Y"}));
}

TEST(ScriptPlayer, ReloadDuringARunGoesOnFromTheSameIndex) {
  Window w({"m1 A", "m1 B", "m1 C"});
  w.player.Step();
  w.lines = {"m1 a", "m1 b", "m1 c", "m1 d"};
  w.RunToEnd();
  EXPECT_EQ(w.written, (std::vector<std::string>{"A", "b", "c", "d"}));
}

TEST(ScriptPlayer, StartBeginsAgainAtTheFirstLine) {
  Window w({"l3 1 X", "m1 Y"});
  w.player.Step();
  w.player.Start();
  w.RunToEnd();
  EXPECT_EQ(w.written, (std::vector<std::string>{"X", "X", "X", "X", "Y"}));
}

TEST(ScriptPlayer, MissingWordListIsReportedNotCrashed) {
  Window w({"m1 A"});
  w.player.ReleaseWordList();
  w.player.Step();
  EXPECT_TRUE(w.written.empty());
  ASSERT_EQ(w.errors.size(), 1u);
  EXPECT_NE(w.errors[0].find("word list"), std::string::npos);
}

TEST(ScriptPlayer, LongLinesAndWordsAreSafe) {
  const std::string big(5000, 'A');
  Window w({"m1 " + big + " $" + std::string(3000, '4') + " \"" + big});
  w.player.Step();
  ASSERT_EQ(w.written.size(), 1u);
  EXPECT_EQ(w.written[0], big + "\x44" + std::string(2998, '4') + big);
}

TEST(ScriptPlayer, WriteInPiecesKeepsOrderAndSize) {
  const std::pair<std::size_t, std::vector<int>> cases[] = {
      {1024, {1024, 1024, 452}}, {2500, {2500}}, {5000, {2500}}, {0, {2500}}};
  std::string bytes;
  for (int i = 0; i < 2500; ++i) bytes += static_cast<char>(i * 7);
  for (const auto& [capacity, sizes] : cases) {
    SCOPED_TRACE(capacity);
    std::vector<int> got;
    std::string joined;
    WriteInPieces(bytes, capacity, [&](const char* d, int n) {
      got.push_back(n);
      joined.append(d, static_cast<std::size_t>(n));
    });
    EXPECT_EQ(got, sizes);
    EXPECT_EQ(joined, bytes);
  }
}

}  // namespace
}  // namespace talmo
