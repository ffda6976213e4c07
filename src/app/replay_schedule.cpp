#include "app/replay_schedule.h"

#include <algorithm>
#include <climits>
#include <cstdio>

namespace talmo {

using pcapng::TDirection;
using pcapng::TEvent;

std::optional<std::int64_t> ParseSpeed(std::string_view text) {
  std::int64_t whole = 0, fraction = 0;
  int decimals = 0;
  bool point = false, digits = false;
  for (const char c : text) {
    if (c == '.' && !point) {
      point = true;
      continue;
    }
    if (c < '0' || c > '9') return std::nullopt;
    digits = true;
    if (point) {
      if (++decimals > 6) return std::nullopt;
      fraction = fraction * 10 + (c - '0');
    } else {
      whole = whole * 10 + (c - '0');
      if (whole > kSpeedMax / kSpeedOne) return std::nullopt;
    }
  }
  if (!digits) return std::nullopt;
  for (int i = decimals; i < 6; ++i) fraction *= 10;
  const std::int64_t speed = whole * kSpeedOne + fraction;
  if (speed < kSpeedMin || speed > kSpeedMax) return std::nullopt;
  return speed;
}

bool IsReplayed(const pcapng::TReadPacket& p, TDirection direction) {
  return p.Serial && (p.Event == TEvent::RxData || p.Event == TEvent::TxData) &&
         p.Direction == direction && !p.Payload.empty();
}

TReplaySurvey Survey(pcapng::TPcapngReader& reader) {
  TReplaySurvey s;
  auto take = [&s, &reader] {
    const auto& known = reader.Interfaces();
    for (std::size_t i = s.Interfaces.size(); i < known.size(); ++i)
      s.Interfaces.push_back(TReplayInterface{known[i], {}, {}});
  };
  for (;;) {
    const auto step = reader.Next();
    take();
    if (step == pcapng::TPcapngReader::TStep::End) break;
    if (step == pcapng::TPcapngReader::TStep::Error) {
      s.Failed = true;
      s.Error = reader.Error();
      break;
    }
    ++s.Packets;
    const pcapng::TReadPacket& p = reader.Packet();
    for (const TDirection d : {TDirection::In, TDirection::Out}) {
      if (!IsReplayed(p, d)) continue;
      TReplayInterface& i = s.Interfaces[p.Interface];
      TReplayCount& c = d == TDirection::Out ? i.Out : i.In;
      if (c.Packets == 0) c.FirstNs = p.TimeNs;
      c.LastNs = std::max(c.LastNs, p.TimeNs);
      ++c.Packets;
      c.Bytes += p.Payload.size();
    }
  }
  s.Size = reader.Offset();
  return s;
}

const char* DirectionWord(TDirection direction) {
  return direction == TDirection::Out ? "sent" : "received";
}

std::string InterfaceLabel(const TReplaySurvey& survey, std::size_t index) {
  const std::string& name = survey.Interfaces[index].Info.Name;
  return name.empty() ? "#" + std::to_string(index) : "'" + name + "'";
}

namespace {

std::string LinkTypeRefusal(const TReplaySurvey& survey, std::size_t index) {
  return "has interface " + InterfaceLabel(survey, index) + " of link type " +
         std::to_string(survey.Interfaces[index].Info.LinkType) +
         "; only serial captures (link type " + std::to_string(pcapng::kLinkSerial) +
         ") are replayed";
}

std::string NoneToReplay(const TReplaySurvey& survey, const std::string& where,
                         TDirection direction) {
  const TDirection other = direction == TDirection::Out ? TDirection::In : TDirection::Out;
  std::uint64_t others = 0;
  for (const auto& i : survey.Interfaces) others += i.Of(other).Packets;
  std::string s = "has no " + std::string(DirectionWord(direction)) + " blocks with bytes" + where +
                  " to replay";
  if (others > 0)
    s += std::string(" (it has ") + std::to_string(others) + " " + DirectionWord(other) +
         " ones: " + (direction == TDirection::Out ? "leave out --sent" : "add --sent") + ")";
  return s;
}

std::optional<std::size_t> Named(const TReplaySurvey& survey, const std::string& name) {
  for (std::size_t i = 0; i < survey.Interfaces.size(); ++i)
    if (survey.Interfaces[i].Info.Name == name) return i;
  if (!name.empty() && name.size() < 10 &&
      std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    const auto i = static_cast<std::size_t>(std::stoul(name));
    if (i < survey.Interfaces.size()) return i;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::size_t> ChooseInterface(const TReplaySurvey& survey,
                                           const std::optional<std::string>& name,
                                           TDirection direction, std::string& problem) {
  const auto serial = [&survey](std::size_t i) {
    return survey.Interfaces[i].Info.LinkType == pcapng::kLinkSerial;
  };
  if (name) {
    const std::optional<std::size_t> i = Named(survey, *name);
    if (!i) {
      std::string list;
      for (std::size_t k = 0; k < survey.Interfaces.size(); ++k)
        list += (k ? ", " : "") + InterfaceLabel(survey, k);
      problem = "has no interface '" + *name + "' (" +
                (list.empty() ? "it describes none" : "its interfaces: " + list) + ")";
      return std::nullopt;
    }
    if (!serial(*i)) {
      problem = LinkTypeRefusal(survey, *i);
      return std::nullopt;
    }
    if (survey.Interfaces[*i].Of(direction).Packets == 0) {
      problem = NoneToReplay(survey, " on interface " + InterfaceLabel(survey, *i), direction);
      return std::nullopt;
    }
    return i;
  }
  for (std::size_t i = 0; i < survey.Interfaces.size(); ++i)
    if (serial(i) && survey.Interfaces[i].Of(direction).Packets > 0) return i;
  for (std::size_t i = 0; i < survey.Interfaces.size(); ++i)
    if (serial(i)) {
      problem = NoneToReplay(survey, "", direction);
      return std::nullopt;
    }
  problem =
      survey.Interfaces.empty() ? NoneToReplay(survey, "", direction) : LinkTypeRefusal(survey, 0);
  return std::nullopt;
}

TReplaySchedule::TReplaySchedule(pcapng::TPcapngReader& reader, std::uint32_t interface,
                                 TDirection direction, std::int64_t speed)
    : FReader(reader), FInterface(interface), FDirection(direction), FSpeed(speed) {}

TReplaySchedule::TStep TReplaySchedule::Next() {
  for (;;) {
    const auto step = FReader.Next();
    if (step == pcapng::TPcapngReader::TStep::End) return TStep::End;
    if (step == pcapng::TPcapngReader::TStep::Error) return TStep::Error;
    const pcapng::TReadPacket& p = FReader.Packet();
    if (p.Interface != FInterface || !IsReplayed(p, FDirection)) continue;
    if (!FFirst) FFirst = p.TimeNs;
    // 128 bits: a span of centuries slowed a thousand times still fits the
    // product; the result saturates.
    const __int128 span = static_cast<__int128>(p.TimeNs) - *FFirst;
    const __int128 at = span * kSpeedOne / FSpeed;
    const std::int64_t clamped = at > INT64_MAX ? INT64_MAX : static_cast<std::int64_t>(at);
    FAt = std::max(FAt, clamped);
    ++FPlayed;
    return TStep::Packet;
  }
}

TReplayEnd Replay(TReplaySchedule& schedule, TReplayClock& clock,
                  const std::function<bool(std::int64_t atNs, std::string_view bytes)>& send) {
  std::optional<std::int64_t> start;
  for (;;) {
    const auto step = schedule.Next();
    if (step == TReplaySchedule::TStep::End) return TReplayEnd::Done;
    if (step == TReplaySchedule::TStep::Error) return TReplayEnd::FileError;
    if (!start) start = clock.Now();
    const std::int64_t at =
        schedule.AtNs() > INT64_MAX - *start ? INT64_MAX : *start + schedule.AtNs();
    if (!clock.WaitUntil(at)) return TReplayEnd::Stopped;
    if (!send(schedule.AtNs(), schedule.Bytes())) return TReplayEnd::Stopped;
  }
}

std::string ReplayStamp(std::int64_t ns) {
  char text[48];
  std::snprintf(text, sizeof text, "T+%lld.%03lld", static_cast<long long>(ns / 1000000),
                static_cast<long long>(ns / 1000 % 1000));
  return text;
}

}  // namespace talmo
