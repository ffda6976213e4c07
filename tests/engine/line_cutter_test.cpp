#include "engine/line_cutter.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace talmo {
namespace {

constexpr std::int64_t kMs = 1000000;
// 2026-12-09 22:38:56.896047 UTC.
constexpr std::int64_t kT0 = 1796855936896047000;

struct TBlock {
  std::string Bytes;
  std::int64_t At = kT0;
};

// The lines a cutter gives for the blocks, each as "<piece>|<piece>...";
// a line still open at the end is ended (as the end of a run does) and
// marked with a trailing "~".
std::vector<std::string> Cut(const TLineRules& rules, const std::vector<TBlock>& blocks) {
  std::vector<std::string> lines;
  std::string line;
  TLineCutter cutter(rules,
                     {[&line](std::string_view piece) {
                        if (!line.empty()) line += '|';
                        line += piece;
                      },
                      [&lines, &line] {
                        lines.push_back(line);
                        line.clear();
                      }},
                     kT0 - 500 * kMs);
  for (const TBlock& b : blocks)
    cutter.Feed(reinterpret_cast<const std::uint8_t*>(b.Bytes.data()), b.Bytes.size(), b.At);
  if (cutter.InLine()) {
    cutter.EndLine();
    lines.back() += "~";
  }
  return lines;
}

TLineRules Text() {
  TLineRules r;
  r.Cut = true;
  r.End = 0x0A;
  return r;
}

TLineRules With(TLineRules r, TLineLook look, std::optional<std::uint8_t> end = std::nullopt,
                std::size_t max = TLineRules::kMaxDefault) {
  r.Look = look;
  r.End = end;
  r.Max = max;
  return r;
}

TLineRules Stamped(TStampForm form) {
  TLineRules r = Text();
  r.Stamp = form;
  return r;
}

TEST(LineCutter, CutsAndShowsLinesAsTheRulesSay) {
  // Local time in the stamps is the machine's: the table is read in UTC.
  ::setenv("TZ", "UTC0", 1);
  ::tzset();
  const struct {
    const char* Name;
    TLineRules Rules;
    std::vector<TBlock> Blocks;
    std::vector<std::string> Lines;
  } kCases[] = {
      {"CR LF ends one line, LF alone too", Text(), {{"boot ok\r\ntemp\n"}}, {"boot ok", "temp"}},
      {"an empty line is a line", Text(), {{"\r\n\n"}}, {"", ""}},
      {"a CR that is no line end is shown", Text(), {{"50%\r60%\r\n"}}, {"50%\\r60%"}},
      {"a CR at a block's end waits for the next byte",
       Text(),
       {{"a\r"}, {"\nb\r"}, {"c"}},
       {"a", "b|\\rc~"}},
      {"a CR left at the end is shown", Text(), {{"a\r"}}, {"a|\\r~"}},
      {"controls and the backslash as escapes",
       Text(),
       {{std::string("\x00\a\b\t\v\f\x1b\x7f\\z\x01", 11)}},
       {"\\0\\a\\b\\t\\v\\f\\e\\x7F\\\\z\\x01~"}},
      {"UTF-8 as itself, even split between blocks",
       Text(),
       {{"caf\xC3"}, {"\xA9 \xE2\x82"}, {"\xAC\n"}},
       {"caf|\xC3\xA9 |\xE2\x82\xAC"}},
      {"a broken or over-long character, a C1 control: escapes",
       Text(),
       {{"\xC3(\xC0\xAF\xC2\x9B\xED\xA0\x80\xF5\n"}},
       {"\\xC3(\\xC0\\xAF\\xC2\\x9B\\xED\\xA0\\x80\\xF5"}},
      {"a character cut by the end of the line", Text(), {{"\xE2\x82"}}, {"\\xE2\\x82~"}},
      {"the length ends a line",
       With(Text(), TLineLook::Text, 0x0A, 4),
       {{"abcdefghi\n"}},
       {"abcd", "efgh", "i"}},
      {"a held CR counts toward the length",
       With(Text(), TLineLook::Text, 0x0A, 2),
       {{"a\rb"}},
       {"a\\r", "b~"}},
      {"hex look: the end byte is shown",
       With(Text(), TLineLook::Hex, 0x0A),
       {{"A\r\nB"}},
       {" 41 0D 0A", " 42~"}},
      {"a stamp before a look that spaces its bytes itself",
       With(Stamped(TStampForm::Utc), TLineLook::Hex, 0x0A),
       {{"A\n", kT0}},
       {"[22:38:56.896Z] 41 0A"}},
      {"names look with no end byte: one line",
       With(Text(), TLineLook::Names),
       {{"A\r\nB"}},
       {" A CR  LF  B~"}},
      {"text look with another end byte keeps it",
       With(Text(), TLineLook::Text, ';'),
       {{"a;b\n;"}},
       {"a;", "b\\n;"}},
      {"the bytes themselves, a start byte ending the line before it",
       [] {
         TLineRules r = With(Text(), TLineLook::Bytes, 0x03);
         r.Start = 0x02;
         return r;
       }(),
       {{std::string("\x02"
                     "a\x03"
                     "x\x02"
                     "b\x02"
                     "c\x00\x03",
                     10)}},
       {"\x02"
        "a\x03",
        "x",
        "\x02"
        "b",
        std::string("\x02"
                    "c\x00\x03",
                    4)}},
      {"time of day, ms",
       Stamped(TStampForm::Time),
       {{"a\nb\n", kT0}},
       {"[22:38:56.896] a", "[22:38:56.896] b"}},
      {"UTC", Stamped(TStampForm::Utc), {{"a\n", kT0}}, {"[22:38:56.896Z] a"}},
      {"ISO 8601 with microseconds",
       Stamped(TStampForm::Iso),
       {{"a\n", kT0}},
       {"[2026-12-09T22:38:56.896047Z] a"}},
      {"the gap since the line before (the first: since the start)",
       Stamped(TStampForm::Gap),
       {{"a\n", kT0}, {"b", kT0 + 12 * kMs}, {"c\n", kT0 + 20 * kMs}, {"d\n", kT0 + 20 * kMs}},
       {"[+0.500000] a", "[+0.012000] b|c", "[+0.008000] d"}},
      {"the time since the start",
       Stamped(TStampForm::Since),
       {{"a\n", kT0 + 1500 * kMs}},
       {"[2.000000] a"}},
      {"a clock that went back",
       Stamped(TStampForm::Since),
       {{"a\n", kT0 - 1000 * kMs}},
       {"[-0.500000] a"}},
  };
  for (const auto& c : kCases) EXPECT_EQ(Cut(c.Rules, c.Blocks), c.Lines) << c.Name;
}

// The silence as --gap and the window's field take it.
TEST(LineCutter, ASilenceIsMillisecondsOrCharacterTimes) {
  const struct {
    const char* text;
    std::int64_t ns;  // -1: refused
    double chars;
  } rows[] = {
      {"5", 5 * kMs, 0},  {"1.75", 1750000, 0}, {"3.5c", 0, 3.5}, {"10000000", 10000000 * kMs, 0},
      {"0.001", 1000, 0}, {"", -1, 0},          {"c", -1, 0},     {"0", -1, 0},
      {"0c", -1, 0},      {"-1", -1, 0},        {" 5", -1, 0},    {"5 ms", -1, 0},
      {"1e3", -1, 0},     {"0x10", -1, 0},      {"1.2.3", -1, 0}, {"10000001", -1, 0},
      {"3.5cc", -1, 0},   {"inf", -1, 0}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.text);
    const std::optional<TSilence> s = ParseSilence(r.text);
    ASSERT_EQ(s.has_value(), r.ns >= 0);
    if (!s) continue;
    EXPECT_EQ(s->Ns, r.ns);
    EXPECT_EQ(s->Chars, r.chars);
  }
}

TEST(LineCutter, EveryByteValueInTheTextLookIsTextOrAnEscape) {
  // No byte may reach the screen as a control: whatever comes out is
  // printable ASCII (or a whole UTF-8 character, which needs a lead byte).
  for (int b = 0; b < 256; ++b) {
    const std::string shown = TextLookOf(std::string(1, static_cast<char>(b)));
    for (const char c : shown)
      EXPECT_TRUE(c >= 0x20 && c < 0x7F) << "byte " << b << " shows as '" << shown << "'";
  }
}

}  // namespace
}  // namespace talmo
