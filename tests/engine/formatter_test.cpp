#include "engine/formatter.h"

#include "engine/convert.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace talmo {
namespace {

std::vector<std::uint8_t> Bytes(const std::string& hex) {
  std::vector<std::uint8_t> out;
  std::istringstream in(hex);
  std::string pair;
  while (in >> pair) out.push_back(static_cast<std::uint8_t>(std::stoi(pair, nullptr, 16)));
  return out;
}

// A formatter with every clock and hook under the test's control.
struct Rig {
  TFormatOptions opts;
  std::vector<std::string> lines;
  int timeoutRestarts = 0;
  std::int64_t pauseNowNs = 0;
  std::int64_t counterUs = 0;
  TSystemTime utc{};
  std::vector<std::uint8_t> captured;
  std::vector<std::string> lastSigns;
  TReceiveFormatter f;

  explicit Rig(TFormatOptions o = {}) : opts(o), f(opts, Hooks(), Clocks()) {
    f.FrameWatch().Start();
  }

  TFormatterHooks Hooks() {
    TFormatterHooks h;
    h.Line = [this](std::string_view l) { lines.emplace_back(l); };
    h.RestartTimeout = [this] { ++timeoutRestarts; };
    h.Capture = [this](const std::uint8_t* b, std::size_t n) {
      captured.insert(captured.end(), b, b + n);
    };
    h.LastSign = [this](const std::string& s) { lastSigns.push_back(s); };
    return h;
  }
  TFormatterClocks Clocks() {
    TFormatterClocks c;
    c.Utc = [this] { return utc; };
    c.Counter.Read = [this](std::int64_t& v) {
      v = counterUs;
      return true;
    };
    c.Counter.Frequency = 1000000;
    c.Pause = [this] { return pauseNowNs; };
    return c;
  }
  void Feed(const std::vector<std::uint8_t>& b) { f.FormatReceived(b.data(), b.size()); }
  void Feed(const std::string& hex) { Feed(Bytes(hex)); }
  void FeedSpaced(const std::string& hex, std::int64_t gapMs) {
    for (std::uint8_t b : Bytes(hex)) {
      pauseNowNs += gapMs * 1000000;
      f.FormatReceived(&b, 1);
    }
  }
};

TFormatOptions With(std::initializer_list<bool TFormatOptions::*> on,
                    std::initializer_list<bool TFormatOptions::*> off = {}) {
  TFormatOptions o;
  for (auto m : on) o.*m = true;
  for (auto m : off) o.*m = false;
  return o;
}

// The block-check byte checked over a span (from the start sign or the
// byte after it, to the stop sign or the byte before it).
TFormatOptions Checked(TBccCheck k, TFormatOptions o, bool withStart = false,
                       bool withStop = true) {
  o.BccCheck = k;
  o.BccWithStart = withStart;
  o.BccWithStop = withStop;
  return o;
}

struct FrameCase {
  const char* name;
  TFormatOptions opts;
  int first, last;
  const char* input;
  std::size_t linesBeforeTimeout;
  std::vector<std::string> lines;  // after the time-out flush too
};

TEST(Formatter, FramingTable) {
  using O = TFormatOptions;
  const FrameCase cases[] = {
      {"defaults: NUL ends a line", {}, 0x00, 0x00, "41 42 00 43", 1, {" A B NUL", " C"}},
      {"defaults: lone NUL without looks is an empty line",
       With({}, {&O::Convert}),
       0,
       0,
       "00",
       1,
       {""}},
      {"noise, then frame with BCC",
       With({&O::Bcc}),
       0x02,
       0x03,
       "78 02 41 03 7F",
       2,
       {" x", " STX A ETX $7F"}},
      {"noise, then frame with BCC, hex",
       With({&O::Bcc, &O::Hex}),
       0x02,
       0x03,
       "78 02 41 03 7F",
       2,
       {" 78", " 02 41 03 7F"}},
      {"start sign inside a frame cuts it",
       With({&O::Bcc}),
       0x02,
       0x03,
       "02 41 02 42 03 55",
       2,
       {" STX A", " STX B ETX U"}},
      {"BCC byte equal to a sign still ends the line",
       With({&O::Bcc}),
       0x02,
       0x03,
       "02 41 03 02 02 42 03 03",
       2,
       {" STX A ETX STX", " STX B ETX ETX"}},
      {"stop sign outside a frame ends the line",
       {},
       0x02,
       0x03,
       "41 42 03 43",
       1,
       {" A B ETX", " C"}},
      {"equal signs: each ends the line",
       {},
       0x7E,
       0x7E,
       "7E 41 7E 42 43 7E",
       3,
       {" ~", " A ~", " B C ~"}},
      {"no looks: control signs vanish", With({}, {&O::Convert}), 0x02, 0x03, "02 41 03", 1, {"A"}},
      {"STX_HL frame counts its length",
       With({&O::STXHL, &O::Bcc}),
       0x02,
       0x03,
       "02 00 03 41 42 5A",
       1,
       {" STX NUL ETX A B Z"}},
      {"STX_HL zero length ends with L",
       With({&O::STXHL, &O::Bcc}),
       0x02,
       0x03,
       "02 00 00 41",
       1,
       {" STX NUL NUL", " A"}},
      {"STX_HL high byte 3+ ends at once",
       With({&O::STXHL, &O::Bcc}),
       0x02,
       0x03,
       "02 05 41",
       1,
       {" STX ENQ", " A"}},
      {"STX_HL high byte exactly 3 ends at once",
       With({&O::STXHL, &O::Bcc}),
       0x02,
       0x04,
       "02 03 41",
       1,
       {" STX ETX", " A"}},
      {"STX_HL high byte 2 still counts",
       With({&O::STXHL}),
       0x02,
       0x04,
       "02 02 00 41",
       0,
       {" STX STX NUL A"}},
      {"STX_HL stop sign inside the count is data",
       With({&O::STXHL}),
       0x02,
       0x03,
       "02 00 02 03 41 42",
       1,
       {" STX NUL STX ETX A", " B"}},
      {"STX_HL start sign as the last byte starts anew",
       With({&O::STXHL}),
       0x02,
       0x03,
       "02 00 01 02 41",
       2,
       {" STX NUL SOH", " STX A"}},
      {"BCC xor after the start sign to the stop sign",
       Checked(TBccCheck::Xor, With({&O::Bcc})),
       0x02,
       0x03,
       "02 41 42 03 00 02 41 42 03 7F",
       2,
       {" STX A B ETX NUL | BCC ok", " STX A B ETX $7F | BCC BAD (got 7F, expected 00)"}},
      {"BCC sum from the start sign, hex look",
       Checked(TBccCheck::Sum, With({&O::Bcc, &O::Hex}), true),
       0x02,
       0x03,
       "02 41 03 46",
       1,
       {" 02 41 03 46 | BCC ok"}},
      {"BCC xor before the stop sign; a sign as the check byte",
       Checked(TBccCheck::Xor, With({&O::Bcc}), false, false),
       0x02,
       0x03,
       "02 41 42 03 03 03",
       1,
       {" STX A B ETX ETX | BCC ok", " ETX"}},
      {"BCC of a line with no start sign is not checked",
       Checked(TBccCheck::Xor, With({&O::Bcc})),
       0x02,
       0x03,
       "41 03 00",
       1,
       {" A ETX NUL | BCC not checked (no start sign in this line)"}},
      {"BCC after a stamp spans the frame only",
       Checked(TBccCheck::Sum, With({&O::Bcc, &O::Time}), true),
       0x02,
       0x03,
       "02 03 05",
       1,
       {" [ 0 0 . 0 0 0 / 0 0 0 0 0 0 0 ] STX ETX ENQ | BCC ok"}},
      {"STX_HL: the last counted byte is the check, a zero count has none",
       Checked(TBccCheck::Xor, With({&O::STXHL, &O::Bcc})),
       0x02,
       0x03,
       "02 00 03 41 42 00 02 00 00 02 05",
       3,
       {" STX NUL ETX A B NUL | BCC ok", " STX NUL NUL", " STX ENQ"}},
      {"Manchester pairs decode; invalid bytes pass",
       With({&O::Manch, &O::Hex}),
       0x7E,
       0x7E,
       "55 AA AA 55 55 00 AA",
       0,
       {" F0 0F 00 F0"}},
      {"Manchester decoded signs frame the line",
       With({&O::Manch, &O::Hex}),
       0x02,
       0x03,
       "41 AA A6 AA A5 42",
       2,
       {" 41", " 02 03", " 42"}},
  };
  for (const FrameCase& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig(c.opts);
    rig.f.SetSigns(static_cast<std::uint8_t>(c.first), static_cast<std::uint8_t>(c.last));
    rig.Feed(c.input);
    EXPECT_EQ(rig.lines.size(), c.linesBeforeTimeout);
    rig.f.TimeoutFlush();
    EXPECT_EQ(rig.lines, c.lines);
    EXPECT_EQ(rig.f.SignCount(), 0);
    EXPECT_EQ(rig.f.FrameState(), TFrameState::Idle);
  }
}

TEST(Formatter, LineIsCutAtTheBufferSize) {
  Rig rig(With({}, {&TFormatOptions::Convert}));
  rig.Feed(std::vector<std::uint8_t>(4097, 'A'));
  ASSERT_EQ(rig.lines.size(), 1u);
  EXPECT_EQ(rig.lines[0], std::string(4096, 'A'));
  rig.f.TimeoutFlush();
  ASSERT_EQ(rig.lines.size(), 2u);
  EXPECT_EQ(rig.lines[1], "A");
}

// A line is the looks of its bytes one after another, whatever its length
// (the looks are moved in pairs, the odd one last) and whatever the looks'
// lengths next to each other (0 to 5 characters). Every value is tried in
// every place of lines of 1 to 9 bytes, but the sign, which would cut the
// line: two signs, so that each value is tried under one.
TEST(Formatter, ALineIsItsBytesLooksInOrder) {
  using O = TFormatOptions;
  const TFormatOptions looks[] = {With({&O::Hex}), With({}), With({}, {&O::Convert})};
  for (const TFormatOptions& look : looks) {
    for (const std::uint8_t sign : {0x00, 0xFF}) {
      for (std::size_t length = 1; length <= 9; ++length) {
        SCOPED_TRACE(::testing::Message() << "hex " << look.Hex << " convert " << look.Convert
                                          << " sign " << int{sign} << " length " << length);
        for (int first = 0; first < 256; ++first) {
          std::vector<std::uint8_t> bytes;
          for (std::size_t i = 0; i < length; ++i)
            bytes.push_back(static_cast<std::uint8_t>(first + 37 * i));
          std::erase(bytes, sign);
          if (bytes.empty()) continue;
          Rig rig(look);
          rig.f.SetSigns(sign, sign);
          rig.Feed(bytes);
          rig.f.TimeoutFlush();
          std::string expected;
          for (std::uint8_t b : bytes) AppendSignText(expected, b, look);
          ASSERT_EQ(rig.lines, std::vector<std::string>{expected});
        }
      }
    }
  }
}

TEST(Formatter, LongStxHlFrameIsOneLine) {
  Rig rig(With({&TFormatOptions::STXHL, &TFormatOptions::Bcc, &TFormatOptions::Hex}));
  rig.f.SetSigns(0x02, 0x03);
  std::vector<std::uint8_t> frame = {0x02, 0x01, 0x00};
  frame.insert(frame.end(), 256, 0x41);
  rig.Feed(frame);
  ASSERT_EQ(rig.lines.size(), 1u);
  EXPECT_EQ(rig.lines[0].size(), 259u * 3);
  EXPECT_EQ(rig.lines[0].substr(0, 12), " 02 01 00 41");
}

TEST(Formatter, LooksAreReadWhenTheLineIsFlushed) {
  Rig rig;
  rig.f.SetSigns(0x02, 0x03);
  rig.Feed("41 0D");
  rig.opts.Hex = true;  // changed after the bytes arrived
  rig.f.TimeoutFlush();
  rig.opts.Hex = false;
  rig.opts.Convert = false;
  rig.Feed("0D 42");
  rig.f.TimeoutFlush();
  EXPECT_EQ(rig.lines, (std::vector<std::string>{" 41 0D", "B"}));
}

TEST(Formatter, EveryFlushRestartsTheTimeout) {
  Rig rig(With({&TFormatOptions::Bcc}));
  rig.f.SetSigns(0x02, 0x03);
  rig.Feed("78 02 41 03 7F");
  EXPECT_EQ(rig.timeoutRestarts, 2);
  rig.f.TimeoutFlush();  // nothing collected: no line, no restart
  EXPECT_EQ(rig.timeoutRestarts, 2);
  EXPECT_EQ(rig.lines.size(), 2u);
}

TEST(Formatter, LastSignTextAndTotals) {
  struct Row {
    bool hex, convert;
    const char* last;
    const char* text;
  };
  const Row rows[] = {
      {false, true, "0D", " CR  (15)"},
      {true, true, "0D", " 0D (15)"},
      {false, false, "41", "A (15)"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.text);
    TFormatOptions o;
    o.Hex = r.hex;
    o.Convert = r.convert;
    Rig rig(o);
    rig.f.SetSigns(0x02, 0x03);
    rig.Feed("30 31 32 33 34 35 36 37 38 39");
    rig.Feed(std::string("30 31 32 33 ") + r.last);
    EXPECT_EQ(rig.f.TotalSigns(), 15);
    ASSERT_EQ(rig.lastSigns.size(), 2u);
    EXPECT_EQ(rig.lastSigns.back(), r.text);
  }
}

TEST(Formatter, EmptyReadChangesNothing) {
  Rig rig;
  rig.f.SetSigns(0x02, 0x03);
  rig.Feed("02 41");
  rig.f.FormatReceived(nullptr, 0);
  EXPECT_EQ(rig.f.TotalSigns(), 2);
  EXPECT_EQ(rig.f.SignCount(), 2);
  EXPECT_EQ(rig.f.FrameState(), TFrameState::InFrame);
  EXPECT_EQ(rig.lastSigns.size(), 1u);
  EXPECT_EQ(rig.captured.size(), 2u);
}

TEST(Formatter, CaptureGetsTheRawBlockFirst) {
  Rig rig(With({&TFormatOptions::Manch}));
  std::size_t linesAtCapture = 99;
  rig.f.Hooks.Capture = [&](const std::uint8_t* b, std::size_t n) {
    rig.captured.insert(rig.captured.end(), b, b + n);
    linesAtCapture = rig.lines.size();
  };
  rig.Feed("55 AA 00 FF");  // decodes to F0, 00 ends a line
  EXPECT_EQ(linesAtCapture, 0u);
  EXPECT_EQ(rig.captured, Bytes("55 AA 00 FF"));
  EXPECT_EQ(rig.lines, (std::vector<std::string>{" $F0 NUL"}));
}

TEST(Formatter, ClearKeepsTheLineBeingBuilt) {
  Rig rig(With({&TFormatOptions::Manch, &TFormatOptions::Hex}));
  rig.f.SetSigns(0x7E, 0x7E);
  rig.Feed("41 55");  // 55 waits for its second half
  rig.f.ResetTotalSigns();
  rig.f.ResetManchPhase();
  rig.Feed("55 AA");  // pairing starts afresh: F0
  rig.f.TimeoutFlush();
  EXPECT_EQ(rig.lines, (std::vector<std::string>{" 41 F0"}));
  EXPECT_EQ(rig.f.TotalSigns(), 2);
}

TEST(Formatter, TimeStampBeforeTheStartSign) {
  TFormatOptions o;
  o.Time = true;
  o.Bcc = true;
  Rig rig(o);
  rig.f.SetSigns(0x02, 0x03);
  rig.utc.Second = 7;
  rig.utc.Milliseconds = 123;
  rig.counterUs = 12345;  // since the watch was started
  rig.Feed("02 41 03 58");
  rig.counterUs += 12345678;
  rig.utc.Second = 59;
  rig.utc.Milliseconds = 9;
  rig.opts.Convert = false;
  rig.Feed("02 42 03 58");
  rig.counterUs += (std::int64_t{1} << 32) + 5;  // only the low 32 bits count
  rig.opts.Hex = true;
  rig.Feed("02");
  rig.f.TimeoutFlush();
  ASSERT_EQ(rig.lines.size(), 3u);
  EXPECT_EQ(rig.lines[0], " [ 0 7 . 1 2 3 / 0 0 1 2 3 4 5 ] STX A ETX X");
  EXPECT_EQ(rig.lines[1], "[59.009/2345678]BX");
  EXPECT_EQ(rig.lines[2], " 5B 35 39 2E 30 30 39 2F 30 30 30 30 30 30 35 5D 02");
  EXPECT_EQ(rig.f.StampTime().Second, 59);
}

TEST(Formatter, Prod2FramesByLengthAndPause) {
  TFormatOptions o;
  o.PROD2 = true;
  o.Hex = true;
  Rig rig(o);
  // First byte ever starts a frame; L = 2, so L + 7 = 9 bytes; the next
  // byte starts the next frame at once.
  rig.FeedSpaced("AA 02 01 02 03 04 05 06 07 BB 00 11 12 13 14 15", 1);
  ASSERT_EQ(rig.lines.size(), 2u);
  EXPECT_EQ(rig.lines[0], " AA 02 01 02 03 04 05 06 07");
  EXPECT_EQ(rig.lines[1], " BB 00 11 12 13 14 15");

  // A pause of 20 ms inside a frame does not split it...
  rig.FeedSpaced("CC 01 21", 1);
  rig.FeedSpaced("22 23 24 25 26", 20);
  ASSERT_EQ(rig.lines.size(), 3u);
  EXPECT_EQ(rig.lines[2], " CC 01 21 22 23 24 25 26");

  // ...one of 21 ms drops the partial frame and starts a new one.
  rig.FeedSpaced("DD 03 31 32", 1);
  rig.FeedSpaced("EE", 21);
  rig.FeedSpaced("00 41 42 43 44 45", 1);
  ASSERT_EQ(rig.lines.size(), 4u);
  EXPECT_EQ(rig.lines[3], " EE 00 41 42 43 44 45");
  EXPECT_EQ(rig.f.FirstSign(), 0xEE);
}

TEST(Formatter, Prod2StampsFramesAndRestartsAfterTimeout) {
  TFormatOptions o;
  o.PROD2 = true;
  o.Time = true;
  o.Convert = false;
  Rig rig(o);
  rig.utc.Second = 1;
  rig.FeedSpaced("41 02 42 42 42 42", 1);  // broken off by the time-out
  rig.f.TimeoutFlush();
  rig.FeedSpaced("43 00 44 44 44 44 44", 1);
  ASSERT_EQ(rig.lines.size(), 2u);
  EXPECT_EQ(rig.lines[0], "[01.000/0000000]ABBBB");
  EXPECT_EQ(rig.lines[1], "[01.000/0000000]CDDDDD");
}

// A stream rich in signs, cut into reads in different ways, must give the
// same lines whatever the cut.
TEST(Formatter, LinesDoNotDependOnHowReadsAreCut) {
  std::mt19937 rng(1234);
  std::vector<std::uint8_t> stream(200000);
  const std::uint8_t favourites[] = {0x00, 0x02, 0x03, 0x7E, 0x55, 0xAA, 0x01};
  for (auto& b : stream)
    b = rng() % 3 == 0 ? favourites[rng() % sizeof favourites] : static_cast<std::uint8_t>(rng());

  using O = TFormatOptions;
  const std::vector<TFormatOptions> optionSets = {
      {},
      With({&O::Bcc}),
      With({&O::STXHL, &O::Bcc}),
      With({&O::PROD2, &O::Time}),
      With({&O::Manch, &O::Hex}),
      With({&O::Time, &O::Manch, &O::Bcc}, {&O::Convert}),
  };
  for (std::size_t s = 0; s < optionSets.size(); ++s) {
    SCOPED_TRACE(s);
    auto run = [&](auto nextSize) {
      Rig rig(optionSets[s]);
      rig.f.SetSigns(0x02, 0x03);
      std::size_t pos = 0;
      while (pos < stream.size()) {
        const std::size_t n = std::min(nextSize(), stream.size() - pos);
        rig.f.FormatReceived(stream.data() + pos, n);
        pos += n;
      }
      rig.f.TimeoutFlush();
      EXPECT_EQ(rig.captured, stream);
      EXPECT_EQ(rig.f.TotalSigns(), static_cast<std::int64_t>(stream.size()));
      return rig.lines;
    };
    const auto whole = run([&] { return stream.size(); });
    EXPECT_GT(whole.size(), 100u);
    EXPECT_EQ(run([] { return std::size_t{1}; }), whole);
    std::mt19937 cut(s);
    EXPECT_EQ(run([&] { return std::size_t{1} + cut() % 5000; }), whole);
    EXPECT_EQ(run([] { return std::size_t{4096}; }), whole);
  }
}

}  // namespace
}  // namespace talmo
