#include "session/respond_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/checks.h"
#include "session/capture_twin.h"
#include "session/modbus_slave.h"

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

TEST(RespondRules, ALongFrameThatNoPatternOfRunsMatchesIsTriedInReasonableTime) {
  // Four runs over 4096 bytes would be 10^14 ways, each tried anew.
  TRespondRules r = TRespondRules::Parse("* A * B * C * D -> x\n", "r");
  EXPECT_FALSE(r.Answer(std::string(4096, 'A')).has_value());
  EXPECT_TRUE(r.Answer(std::string(4000, 'A') + "BCD").has_value());
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

namespace talmo {
namespace {

std::string Rtu(std::string body) {
  const std::uint16_t crc = Crc16Modbus(body);
  return body + static_cast<char>(crc & 0xFF) + static_cast<char>(crc >> 8);
}

TEST(ModbusSlave, AnswersAsASlaveDoesAndTellsWhatItDid) {
  TModbusSlave slave = TModbusSlave::Parse(
      "unit 1\ncoil 0-9 = 0\ncoil 2 = 1\nholding 0-3 = 0x0102\ninput 5 = 7\n"
      "unit 2\nholding 0 = 9\n",
      "map");
  const struct {
    std::string Frame;
    std::string Answer;  // without its CRC; "" for none
    const char* Note;
  } kCases[] = {
      {Rtu("\x01\x03\x00\x00\x00\x02"s), "\x01\x03\x04\x01\x02\x01\x02"s,
       "read holding registers 0+2"},
      {Rtu("\x01\x01\x00\x00\x00\x0A"s), "\x01\x01\x02\x04\x00"s, "read coils 0+10"},
      {Rtu("\x01\x04\x00\x05\x00\x01"s), "\x01\x04\x02\x00\x07"s, "read input registers 5+1"},
      {Rtu("\x01\x07"s), "\x01\x87\x01"s, "function 7: exception 1 (illegal function)"},
      {Rtu("\x01\x03\x00\x03\x00\x02"s), "\x01\x83\x02"s, "exception 2 (illegal data address)"},
      {Rtu("\x01\x03\x00\x00\x00\x00"s), "\x01\x83\x03"s, "exception 3 (illegal data value)"},
      {Rtu("\x01\x03\x00\x00\x00\x7E"s), "\x01\x83\x03"s, "exception 3"},  // 126 registers
      {Rtu("\x01\x05\x00\x01\x12\x34"s), "\x01\x85\x03"s, "exception 3"},  // a coil is FF00 or 0
      {Rtu("\x01\x05\x00\x01\xFF\x00"s), "\x01\x05\x00\x01\xFF\x00"s, "write single coil 1"},
      {Rtu("\x01\x10\x00\x00\x00\x02\x04\x00\x0A\x00\x0B"s), "\x01\x10\x00\x00\x00\x02"s,
       "write multiple registers 0+2"},
      {Rtu("\x01\x10\x00\x00\x00\x02\x03\x00\x0A\x00"s), "\x01\x90\x03"s, "exception 3"},
      {Rtu("\x01\x0F\x00\x00\x00\x03\x01\x05"s), "\x01\x0F\x00\x00\x00\x03"s,
       "write multiple coils 0+3"},
      {Rtu("\x01\x03\x00\x00\x00\x02"s), "\x01\x03\x04\x00\x0A\x00\x0B"s, "read holding"},
      {Rtu("\x01\x01\x00\x00\x00\x03"s), "\x01\x01\x01\x05"s, "read coils 0+3"},
      {Rtu("\x00\x06\x00\x00\x00\x63"s), "", "broadcast: not answered"},
      {Rtu("\x02\x03\x00\x00\x00\x01"s), "\x02\x03\x02\x00\x63"s,
       "read holding"},  // the broadcast wrote
      {Rtu("\x03\x03\x00\x00\x00\x01"s), "", "unit 3 is not in the map"},
      {"\x01\x03\x00\x00\x00\x01\x00\x00"s, "", "CRC bad"},
      {"\x01\x03"s, "", "too short"},
  };
  for (const auto& c : kCases) {
    const TModbusSlave::TResult r = slave.Handle(c.Frame);
    EXPECT_EQ(r.Answer, c.Answer.empty() ? "" : Rtu(c.Answer)) << c.Note;
    EXPECT_NE(r.Note.find(c.Note), std::string::npos) << c.Note << ": " << r.Note;
  }
  EXPECT_EQ(slave.Text(),
            "# the register map as the run left it\n"
            "unit 1\ncoil 0 = 1\ncoil 1 = 0\ncoil 2 = 1\ncoil 3-9 = 0\n"
            "holding 0 = 99\nholding 1 = 11\nholding 2-3 = 258\ninput 5 = 7\n"
            "unit 2\nholding 0 = 99\n");
  for (const auto& [text, said] : std::vector<std::pair<std::string, std::string>>{
           {"coil 0 = 1", "map:1:1: expected a 'unit N' line"},
           {"unit 0", "map:1:6: expected a unit address from 1 to 247 (0 is the broadcast)"},
           {"unit 1\nholding 5-2 = 0", "map:2:11: expected a last address not below the first"},
           {"unit 1\ncoil 1 = 2", "map:2:10: expected 0 or 1"},
           {"unit 1\nholding 1 = 0x10000", "map:2:13: expected a register value"},
           {"unit 1\nregister 1 = 0", "map:2:1: expected unit, coil, discrete, holding or input"},
           {"unit 1\ninput 1 0", "map:2:9: expected '=' and a value"}}) {
    try {
      TModbusSlave::Parse(text, "map");
      ADD_FAILURE() << text;
    } catch (const EMapError& e) {
      EXPECT_EQ(std::string(e.what()).rfind(said, 0), 0u) << text << ": " << e.what();
    }
  }
}

}  // namespace
}  // namespace talmo
