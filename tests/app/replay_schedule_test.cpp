// The replay schedule: which packets go out and when (gaps, speed,
// direction, interface choice, files with nothing to replay), and the
// replay loop against an injected clock.

#include "app/replay_schedule.h"

#include <gtest/gtest.h>

#include <cstring>

namespace talmo {
namespace {

using pcapng::TDirection;
using pcapng::TEvent;

constexpr std::int64_t kMs = 1000000;
constexpr std::int64_t kT0 = 1700000000LL * 1000000000;  // some UTC time

struct TIface {
  std::string Name;
  std::uint16_t LinkType = pcapng::kLinkSerial;
};

struct TPkt {
  std::uint32_t Interface;
  std::int64_t Ms;  // from kT0
  TEvent Event;
  TDirection Direction;
  std::string Bytes;
};

std::vector<std::uint8_t> Capture(const std::vector<TIface>& ifaces,
                                  const std::vector<TPkt>& packets) {
  std::vector<std::uint8_t> out;
  pcapng::AppendSectionHeader(out, "test");
  for (const TIface& i : ifaces) {
    const std::size_t at = out.size();
    pcapng::AppendInterface(out, i.Name, "");
    out[at + 8] = static_cast<std::uint8_t>(i.LinkType);
    out[at + 9] = static_cast<std::uint8_t>(i.LinkType >> 8);
  }
  for (const TPkt& p : packets) {
    pcapng::TPacket w;
    w.Interface = p.Interface;
    w.TimeNs = kT0 + p.Ms * kMs;
    w.Event = p.Event;
    w.Direction = p.Direction;
    w.Data = reinterpret_cast<const std::uint8_t*>(p.Bytes.data());
    w.Size = p.Bytes.size();
    if (p.Event == TEvent::Status) w.Comment = "port opened";
    pcapng::AppendPacket(out, w);
  }
  return out;
}

pcapng::TPcapngReader::TRead FromMemory(const std::vector<std::uint8_t>& data) {
  auto pos = std::make_shared<std::size_t>(0);
  return [&data, pos](std::uint8_t* p, std::size_t n) -> long {
    n = std::min(n, data.size() - *pos);
    std::memcpy(p, data.data() + *pos, n);
    *pos += n;
    return static_cast<long>(n);
  };
}

TPkt Rx(std::int64_t ms, std::string bytes, std::uint32_t iface = 0) {
  return {iface, ms, TEvent::RxData, TDirection::In, std::move(bytes)};
}
TPkt Tx(std::int64_t ms, std::string bytes, std::uint32_t iface = 0) {
  return {iface, ms, TEvent::TxData, TDirection::Out, std::move(bytes)};
}
TPkt Status(std::int64_t ms) { return {0, ms, TEvent::Status, TDirection::Unknown, ""}; }

// "at_us:bytes" of every packet the schedule hands out, or "!" + problem.
std::string Schedule(const std::vector<std::uint8_t>& file, TDirection d,
                     const std::optional<std::string>& name, std::int64_t speed) {
  pcapng::TPcapngReader first(FromMemory(file));
  const TReplaySurvey survey = Survey(first);
  std::string problem;
  const auto chosen = ChooseInterface(survey, name, d, problem);
  if (!chosen) return "!" + problem;
  pcapng::TPcapngReader reader(FromMemory(file));
  TReplaySchedule s(reader, static_cast<std::uint32_t>(*chosen), d, speed);
  std::string out = "#" + std::to_string(*chosen);
  while (s.Next() == TReplaySchedule::TStep::Packet)
    out += " " + std::to_string(s.AtNs() / 1000) + ":" + std::string(s.Bytes());
  return out;
}

TEST(ReplaySchedule, WhatGoesOutAndWhen) {
  const std::vector<TIface> one = {{"COM5"}};
  const std::vector<TPkt> mixed = {Status(-5), Rx(0, "a"),  Tx(1, "Q"),   Rx(1, "b"),  Rx(6, "c"),
                                   Rx(56, ""), Rx(56, "d"), Tx(100, "R"), Rx(256, "e")};
  struct Case {
    const char* name;
    std::vector<TIface> ifaces;
    std::vector<TPkt> packets;
    TDirection direction;
    std::optional<std::string> interface;
    std::int64_t speed;
    std::string expected;
  } cases[] = {
      {"gaps 0 1 5 50 200 ms, status and empty blocks left out", one, mixed, TDirection::In,
       std::nullopt, kSpeedOne, "#0 0:a 1000:b 6000:c 56000:d 256000:e"},
      {"twice as fast", one, mixed, TDirection::In, std::nullopt, 2 * kSpeedOne,
       "#0 0:a 500:b 3000:c 28000:d 128000:e"},
      {"a thousandth of the speed",
       one,
       {Rx(0, "a"), Rx(1, "b")},
       TDirection::In,
       std::nullopt,
       kSpeedMin,
       "#0 0:a 1000000:b"},
      {"the sent direction, from its own first packet", one, mixed, TDirection::Out, std::nullopt,
       kSpeedOne, "#0 0:Q 99000:R"},
      {"a packet stamped earlier follows the one before",
       one,
       {Rx(10, "a"), Rx(30, "b"), Rx(20, "c"), Rx(40, "d")},
       TDirection::In,
       std::nullopt,
       kSpeedOne,
       "#0 0:a 20000:b 20000:c 30000:d"},
      {"first interface with received blocks",
       {{"COM5"}, {"COM6"}},
       {Tx(0, "Q"), Rx(1, "x", 1), Rx(2, "y", 1), Rx(3, "a", 0)},
       TDirection::In,
       std::nullopt,
       kSpeedOne,
       "#0 0:a"},
      {"first interface with sent blocks skips one without",
       {{"COM5"}, {"COM6"}},
       {Rx(0, "a"), Tx(1, "X", 1), Tx(4, "Y", 1)},
       TDirection::Out,
       std::nullopt,
       kSpeedOne,
       "#1 0:X 3000:Y"},
      {"interface by name",
       {{"COM5"}, {"COM6"}},
       {Rx(0, "a"), Rx(1, "x", 1), Rx(3, "y", 1)},
       TDirection::In,
       "COM6",
       kSpeedOne,
       "#1 0:x 2000:y"},
      {"interface by number",
       {{"COM5"}, {"COM6"}},
       {Rx(0, "a"), Rx(1, "x", 1)},
       TDirection::In,
       "1",
       kSpeedOne,
       "#1 0:x"},
      {"another link type is passed over",
       {{"eth0", 1}, {"COM5"}},
       {Rx(0, "x", 0), Rx(1, "a", 1)},
       TDirection::In,
       std::nullopt,
       kSpeedOne,
       "#1 0:a"},
      {"unknown interface",
       {{"COM5"}, {"COM6"}},
       {Rx(0, "a")},
       TDirection::In,
       "COM7",
       kSpeedOne,
       "!has no interface 'COM7' (its interfaces: 'COM5', 'COM6')"},
      {"named interface of another link type",
       {{"eth0", 1}, {"COM5"}},
       {Rx(1, "a", 1)},
       TDirection::In,
       "eth0",
       kSpeedOne,
       "!has interface 'eth0' of link type 1; only serial captures (link type 250) are replayed"},
      {"only other link types",
       {{"", 147}},
       {Rx(0, "x")},
       TDirection::In,
       std::nullopt,
       kSpeedOne,
       "!has interface #0 of link type 147; only serial captures (link type 250) are replayed"},
      {"named interface without blocks",
       {{"COM5"}, {"COM6"}},
       {Rx(0, "a")},
       TDirection::In,
       "COM6",
       kSpeedOne,
       "!has no received blocks with bytes on interface 'COM6' to replay"},
      {"no packets at all",
       one,
       {},
       TDirection::In,
       std::nullopt,
       kSpeedOne,
       "!has no received blocks with bytes to replay"},
      {"only status packets and line errors",
       one,
       {Status(0), {0, 1, TEvent::Framing, TDirection::In, ""}, Status(2)},
       TDirection::In,
       std::nullopt,
       kSpeedOne,
       "!has no received blocks with bytes to replay"},
      {"only sent blocks, received asked for",
       one,
       {Tx(0, "Q"), Tx(1, "R")},
       TDirection::In,
       std::nullopt,
       kSpeedOne,
       "!has no received blocks with bytes to replay (it has 2 sent ones: add --sent)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Schedule(Capture(c.ifaces, c.packets), c.direction, c.interface, c.speed),
              c.expected);
  }
}

TEST(ReplaySchedule, ACutFileHandsOutEveryWholeBlockThenStops) {
  std::vector<std::uint8_t> file = Capture({{"COM5"}}, {Rx(0, "ab"), Rx(5, "cd"), Rx(9, "ef")});
  file.resize(file.size() - 7);
  pcapng::TPcapngReader reader(FromMemory(file));
  TReplaySchedule s(reader, 0, TDirection::In);
  std::string got;
  TReplaySchedule::TStep step;
  while ((step = s.Next()) == TReplaySchedule::TStep::Packet) got += s.Bytes();
  EXPECT_EQ(step, TReplaySchedule::TStep::Error);
  EXPECT_EQ(got, "abcd");
  EXPECT_EQ(s.Played(), 2u);
  EXPECT_TRUE(s.Reader().Truncated());
  EXPECT_EQ(s.Next(), TReplaySchedule::TStep::Error);
}

// A clock that wakes every wait late and whose writes take time: the due
// times must still be the start plus each packet's offset.
class TLateClock : public TReplayClock {
 public:
  std::int64_t Now() override { return FNow; }
  bool WaitUntil(std::int64_t at) override {
    Targets.push_back(at);
    if (Targets.size() == StopAt) return false;
    FNow = std::max(FNow, at) + 300000;  // 0.3 ms late
    return true;
  }
  void Spend(std::int64_t ns) { FNow += ns; }
  std::vector<std::int64_t> Targets;
  std::size_t StopAt = 0;

 private:
  std::int64_t FNow = 5 * kMs;
};

TEST(ReplaySchedule, EveryPacketIsDueAtAnAbsoluteTime) {
  const std::vector<std::uint8_t> file =
      Capture({{"COM5"}}, {Rx(0, "a"), Rx(0, "b"), Rx(1, "c"), Rx(5, "d"), Rx(55, "e")});
  for (const std::size_t stopAt : {std::size_t{0}, std::size_t{3}}) {
    SCOPED_TRACE(stopAt);
    pcapng::TPcapngReader reader(FromMemory(file));
    TReplaySchedule s(reader, 0, TDirection::In);
    TLateClock clock;
    clock.StopAt = stopAt;
    std::string sent;
    const TReplayEnd end = Replay(s, clock, [&](std::int64_t, std::string_view bytes) {
      sent += bytes;
      clock.Spend(700000);  // each write takes 0.7 ms
      return true;
    });
    const std::vector<std::int64_t> due = {5 * kMs, 5 * kMs, 6 * kMs, 10 * kMs, 60 * kMs};
    if (stopAt == 0) {
      EXPECT_EQ(end, TReplayEnd::Done);
      EXPECT_EQ(sent, "abcde");
      EXPECT_EQ(clock.Targets, due);
    } else {
      EXPECT_EQ(end, TReplayEnd::Stopped);
      EXPECT_EQ(sent, "ab");
      EXPECT_EQ(clock.Targets, std::vector<std::int64_t>(due.begin(), due.begin() + 3));
    }
  }
}

TEST(ReplaySchedule, SpeedText) {
  const std::pair<const char*, std::optional<std::int64_t>> cases[] = {
      {"1", kSpeedOne},
      {"2", 2 * kSpeedOne},
      {"0.5", kSpeedOne / 2},
      {"1.25", 1250000},
      {"0.001", kSpeedMin},
      {"1000", kSpeedMax},
      {"1000.0", kSpeedMax},
      {"0.0009", std::nullopt},
      {"1000.000001", std::nullopt},
      {"0", std::nullopt},
      {"", std::nullopt},
      {".", std::nullopt},
      {"-1", std::nullopt},
      {"1e3", std::nullopt},
      {"2x", std::nullopt},
      {"1.2.3", std::nullopt},
      {"99999999999999999999", std::nullopt},
      {"0.1234567", std::nullopt},
      {".5", kSpeedOne / 2}};
  for (const auto& [text, speed] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(ParseSpeed(text), speed);
  }
}

TEST(ReplaySchedule, Stamps) {
  EXPECT_EQ(ReplayStamp(0), "T+0.000");
  EXPECT_EQ(ReplayStamp(1999999), "T+1.999");
  EXPECT_EQ(ReplayStamp(200 * kMs + 1500), "T+200.001");
}

}  // namespace
}  // namespace talmo
