#include "session/respond_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/checks.h"
#include "session/capture_twin.h"

namespace talmo {
namespace {

using namespace std::string_literals;

TEST(Checks, KnownValues) {
  // A Modbus request whose CRC every master sends: 01 03 00 00 00 01 84 0A.
  EXPECT_EQ(Crc16Modbus("\x01\x03\x00\x00\x00\x01"s), 0x0A84);
  EXPECT_EQ(Crc16Modbus(""), 0xFFFF);
  EXPECT_EQ(BccXor("\x01\x02\x04"s), 0x07);
  EXPECT_EQ(BccSum("\xFF\x02"s), 0x01);
  // ":010300000001FB": the LRC of 01 03 00 00 00 01 is FB.
  EXPECT_EQ(Lrc("\x01\x03\x00\x00\x00\x01"s), 0xFB);
}

TEST(RespondRules, EachFrameGetsTheAnswerOfTheFirstRuleThatMatches) {
  const std::string rules =
      "# a device\n"
      "AT $0D -> OK $0D$0A\n"
      "'AT_? $0D -> ERROR $0D$0A\n"
      "$02 <seq> * $03 ? -> $02 <seq> ACK $03 [xor from 1] [delay 5]\n"
      "$01 $03 * -> $01$03$02$00$2A [crc16] [times 2]\n"
      "$01 $03 * ->\n"
      "<a> <b> <rest*> -> <b> <a> <rest> [sum] [lrc]\n";
  TRespondRules r = TRespondRules::Parse(rules, "r");
  const struct {
    std::string Frame;
    int Line;  // 0: no rule
    std::string Answer;
    int DelayMs = 0;
  } kFrames[] = {
      {"AT\r", 2, "OK\r\n"},
      {"AT ?\r", 3, "ERROR\r\n"},
      {"\x02\x07hello\x03\x00"s, 4,
       "\x02\x07"
       "ACK\x03"s +
           char(0x07 ^ 'A' ^ 'C' ^ 'K' ^ 0x03),
       5},
      {"\x01\x03\x00\x00\x00\x01\x84\x0A"s, 5, "\x01\x03\x02\x00\x2A\x39\x9B"s},
      {"\x01\x03\x00\x00\x00\x01\x84\x0A"s, 5, "\x01\x03\x02\x00\x2A\x39\x9B"s},
      {"\x01\x03\x00\x00\x00\x01\x84\x0A"s, 6, ""},  // counted out: the next rule
      {"xyz", 7, "yxz"s + char('y' + 'x' + 'z') + char(-('y' + 'x' + 'z' + char('y' + 'x' + 'z')))},
      {"x", 0, ""},
  };
  for (const auto& f : kFrames) {
    const auto m = r.Answer(f.Frame);
    ASSERT_EQ(m.has_value(), f.Line != 0) << f.Frame;
    if (!m) continue;
    EXPECT_EQ(r.Line(m->Rule), f.Line) << f.Frame;
    EXPECT_EQ(m->Answer, f.Answer) << f.Frame;
    EXPECT_EQ(m->Delay.count(), f.DelayMs) << f.Frame;
  }
}

TEST(RespondRules, AMistakeIsToldWithItsLineColumnAndWhatWasExpected) {
  const struct {
    std::string Text;
    std::string Said;
  } kCases[] = {
      {"AT", "r:1:3: expected '->' between"},
      {"\n  -> OK", "r:2:3: expected a pattern"},
      {"$0G -> x", "r:1:1: expected '$' and two hex digits"},
      {"$41$4 -> x", "r:1:4: expected '$' and two hex digits"},
      {"A -> ?", "r:1:6: '?' matches bytes in a pattern; an answer sends it as $3F"},
      {"A -> <n>", "r:1:7: 'n' is not kept by the pattern"},
      {"<n> <n> -> x", "r:1:6: 'n' is kept twice"},
      {"<a-b> -> x", "r:1:2: expected a name"},
      {"A -> [crc32]", "r:1:6: expected [xor], [sum], [crc16], [lrc], [delay MS] or [times N]"},
      {"A -> [xor at 1]", "r:1:6: expected [xor] or [xor from N]"},
      {"A -> [delay x]", "r:1:6: expected milliseconds in [delay x]"},
      {"A -> [times 0]", "r:1:6: expected a count of 1 or more"},
      {"A -> [delay 5", "r:1:6: expected ']'"},
      {"[xor] -> A", "r:1:1: expected bytes: checks"},
      {"A -> B -> C", "r:1:8: expected one '->'"},
      {"%h -> x", "r:1:1: expected bytes: time fields"},
      {"* * * * * -> x", "r:1:9: expected at most 4 runs"},
  };
  for (const auto& c : kCases) {
    try {
      TRespondRules::Parse(c.Text, "r");
      ADD_FAILURE() << c.Text << ": taken";
    } catch (const ERulesError& e) {
      EXPECT_EQ(std::string(e.what()).rfind(c.Said, 0), 0u) << c.Text << ": " << e.what();
    }
  }
}

}  // namespace
}  // namespace talmo

namespace talmo {
namespace {

TEST(CaptureTwin, EachRequestGetsTheAnswersRecordedAfterItInTurn) {
  constexpr std::int64_t kMs = 1000000;
  TCaptureTwin twin(5 * kMs);
  const struct {
    bool Request;
    std::int64_t AtMs;
    std::string Bytes;
  } kRecording[] = {
      {false, 0, "hello"},                       // the device spoke unasked: nothing to learn
      {true, 100, "RE"},   {true, 102, "Q1"},    // one frame in two blocks
      {false, 130, "A1"},  {false, 131, "+"},    // its answer, 28 ms after
      {true, 200, "REQ1"}, {false, 210, "B1"},   // the same request, another answer
      {true, 300, "REQ2"}, {true, 400, "REQ1"},  // REQ2 went unanswered
      {false, 420, "C1"},  {true, 500, "LAST"},
  };
  for (const auto& b : kRecording) twin.Add(b.Request, b.AtMs * kMs, b.Bytes);
  twin.Finish();
  EXPECT_EQ(twin.Pairs(), 3u);
  EXPECT_EQ(twin.Requests(), 3u);
  const struct {
    std::string Request;
    bool Known;
    std::string Answer;
    std::int64_t DelayMs;
  } kAsked[] = {{"REQ1", true, "A1+", 28}, {"REQ1", true, "B1", 10},
                {"REQ1", true, "C1", 20},  {"REQ1", true, "A1+", 28},  // round again
                {"REQ2", true, "", 0},     {"LAST", true, "", 0},
                {"RE", false, "", 0},      {"hello", false, "", 0}};
  for (const auto& a : kAsked) {
    const auto answer = twin.Answer(a.Request, a.DelayMs == 28 ? 2 : 1);
    ASSERT_EQ(answer.has_value(), a.Known) << a.Request;
    if (!answer) continue;
    EXPECT_EQ(answer->Bytes, a.Answer) << a.Request;
    EXPECT_EQ(answer->Delay.count(), a.DelayMs * 1000000 / (a.DelayMs == 28 ? 2 : 1)) << a.Request;
  }
}

}  // namespace
}  // namespace talmo
