#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "device/device_driver.h"
#include "serial/ser_comm.h"
#include "serial/ser_sync.h"
#include "session/receive_session.h"

namespace talmo {
namespace {

using namespace std::chrono_literals;
using Clock = TReceiveSession::Clock;

// A session on a port that is never opened, on a clock the test moves; its
// wall clock starts at 12:00:00 UTC.
struct TLineBench {
  TSerQueueSync Sync;
  TSerComm Port{std::make_shared<TSerDeviceDriver>(), Sync};
  TFormatOptions Options;
  Clock::time_point Now{};
  std::vector<std::string> Out;
  std::unique_ptr<TReceiveSession> Session;

  TLineBench(const TLineRules& rules, bool pieces, long long baud = 9600) {
    ::setenv("TZ", "UTC0", 1);
    ::tzset();
    Port.SetBaudrate(brUser);
    Port.SetUserBaudrate(static_cast<int>(baud));
    TSessionSink sink;
    sink.Line = [this](std::string_view l) { Out.push_back(std::string(l)); };
    if (pieces) {
      sink.Piece = [this](std::string_view p) { Out.push_back("+" + std::string(p)); };
      sink.LineEnd = [this] { Out.push_back("."); };
    }
    sink.ErrorLine = [this](const std::string& l) { Out.push_back("! " + l.substr(0, 5)); };
    TSessionOptions o;
    o.Lines = rules;
    Session = std::make_unique<TReceiveSession>(
        Port, TSessionDevice{"", "/dev/x"}, Options, std::move(sink), [this] { return Now; }, o,
        [] { return std::int64_t{43200} * 1000000000; });
    Session->Formatter().SetSigns(0x02, 0x03);
  }
  void At(Clock::duration t, const std::string& bytes) {
    Now = Clock::time_point{} + t;
    Session->Receive(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), Now);
  }
};

TLineRules Rules(bool cut, std::int64_t gapNs, double gapChars, TStampForm stamp,
                 TLineLook look = TLineLook::Text) {
  TLineRules r;
  r.Cut = cut;
  r.Look = look;
  if (look == TLineLook::Text) r.End = 0x0A;
  r.GapNs = gapNs;
  r.GapChars = gapChars;
  r.Stamp = stamp;
  return r;
}

TEST(LineRules, ASilenceEndsALineAndEveryLineHasItsFirstBytesStamp) {
  struct TStep {
    Clock::duration At;
    std::string Bytes;  // "" : the clock's time-out check at At
  };
  const struct {
    const char* Name;
    TLineRules Rules;
    bool Pieces;
    std::vector<TStep> Steps;
    std::vector<std::string> Out;
  } kCases[] = {
      {"a silence of 5 ms ends a line; 4 ms does not",
       Rules(true, 5000000, 0, TStampForm::Time, TLineLook::Hex),
       false,
       {{0ms, "\x01\x03"}, {4ms, std::string(1, '\0')}, {9ms, "\x02"}, {20ms, ""}},
       {"[12:00:00.000] 01 03 00", "[12:00:00.009] 02"}},
      {"3.5 character times at 9600 8N1 are 3.646 ms",
       Rules(true, 0, 3.5, TStampForm::None, TLineLook::Hex),
       false,
       {{0ms, "A"}, {3ms, "B"}, {7ms, "C"}, {20ms, ""}},
       {" 41 42", " 43"}},
      {"a console shows pieces at once and ends a line only by its rules",
       Rules(true, 0, 0, TStampForm::Since),
       true,
       {{0ms, "log"}, {100ms, "in: "}, {5000ms, ""}, {6000ms, "x\r\n"}},
       {"+[0.000000] log", "+in: ", "+x", "."}},
      {"a console's silence ends its line too",
       Rules(true, 10000000, 0, TStampForm::None),
       true,
       {{0ms, "a"}, {50ms, ""}, {60ms, "b"}},
       {"+a", ".", "+b"}},
      {"lines of the frames stamped with the block their first byte came in",
       Rules(false, 0, 0, TStampForm::Gap),
       false,
       {{0ms,
         "\x02"
         "A"},
        {30ms,
         "B\x03\x02"
         "C"},
        {50ms, "\x03"}},
       {"[+0.000000] STX A B ETX", "[+0.030000] STX C ETX"}},
      {"the frames' time-out ends a stamped line at its due time",
       Rules(false, 0, 0, TStampForm::Time),
       false,
       {{1000ms,
         "\x02"
         "A"},
        {5000ms, ""},
        {6000ms,
         "\x02"
         "B\x03"}},
       {"[12:00:01.000] STX A", "[12:00:06.000] STX B ETX"}},
  };
  for (const auto& c : kCases) {
    TLineBench b(c.Rules, c.Pieces);
    for (const TStep& s : c.Steps) {
      if (s.Bytes.empty())
        b.Session->CheckTimeout(Clock::time_point{} + s.At);
      else
        b.At(s.At, s.Bytes);
    }
    EXPECT_EQ(b.Out, c.Out) << c.Name;
  }
}

TEST(LineRules, ACharacterTimeIsReadFromTheLineSettingsAsWritten) {
  const struct {
    const char* Text;
    double Ns;  // 0: not line settings
  } kCases[] = {{"/dev/ttyUSB0 9600 8N1", 10 * 1e9 / 9600},
                {"19200 8E1", 11 * 1e9 / 19200},
                {"COM5 1024 7O1.5", 10.5 * 1e9 / 1024},
                {"x 115200 8N2", 11 * 1e9 / 115200},
                {"/dev/ttyS0", 0},
                {"9600 9N1", 0},
                {"9600 8X1", 0},
                {"0 8N1", 0},
                {"fast 8N1", 0}};
  for (const auto& c : kCases) {
    const std::optional<double> ns = CharacterNsOf(c.Text);
    EXPECT_EQ(ns.has_value(), c.Ns > 0) << c.Text;
    if (ns && c.Ns > 0) {
      EXPECT_NEAR(*ns, c.Ns, 1e-6) << c.Text;
    }
  }
}

TEST(LineRules, ALineErrorEndsTheConsolesLineBeforeItIsTold) {
  TLineBench b(Rules(true, 0, 0, TStampForm::None), true);
  b.At(0ms, "abc");
  b.Session->Error(CE_FRAME);
  b.At(1ms, "d\n");
  EXPECT_EQ(b.Out, (std::vector<std::string>{"+abc", ".", "! Error", "! The h", "+d", "."}));
}

}  // namespace
}  // namespace talmo
