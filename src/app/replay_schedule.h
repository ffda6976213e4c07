#pragma once
// The replay of a timed capture: which packets go out (the data blocks with
// bytes of one direction, of one interface) and when (their recorded time
// from the first one's, scaled by the speed), and the loop that plays them
// against a clock. Every packet is due at an absolute time on that clock,
// so a late wake-up delays one packet and never the ones after it.
// Needs no port and no GUI; the clock is injected.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "capture/pcapng.h"

namespace talmo {

// A speed in millionths: kSpeedOne plays as recorded, twice that twice as
// fast.
inline constexpr std::int64_t kSpeedOne = 1000000;
inline constexpr std::int64_t kSpeedMin = 1000;        // 0.001
inline constexpr std::int64_t kSpeedMax = 1000000000;  // 1000
// "2", "0.5", "1.25": a plain decimal with at most 6 decimals within the
// bounds; nullopt otherwise.
std::optional<std::int64_t> ParseSpeed(std::string_view text);

// Whether a replay of `direction` sends this packet: a serial data block of
// that direction with at least one byte.
bool IsReplayed(const pcapng::TReadPacket& p, pcapng::TDirection direction);

// What one direction of one interface holds to replay.
struct TReplayCount {
  std::uint64_t Packets = 0, Bytes = 0;
  std::int64_t FirstNs = 0, LastNs = 0;
};

struct TReplayInterface {
  pcapng::TInterfaceInfo Info;
  TReplayCount In, Out;
  const TReplayCount& Of(pcapng::TDirection d) const {
    return d == pcapng::TDirection::Out ? Out : In;
  }
};

// A first reading of the whole file.
struct TReplaySurvey {
  std::vector<TReplayInterface> Interfaces;
  std::uint64_t Packets = 0;  // every packet read, of any kind
  bool Failed = false;        // the reading stopped on Error
  std::string Error;          // the reader's sentence
  std::uint64_t Size = 0;     // bytes the reading took in
};

TReplaySurvey Survey(pcapng::TPcapngReader& reader);

// The interface to replay: the one named `name` (its name, else its
// number), or the first serial interface with packets to replay. nullopt
// when none fits, with `problem`: a sentence that follows the file's quoted
// name ("has no interface 'COM7' ...").
std::optional<std::size_t> ChooseInterface(const TReplaySurvey& survey,
                                           const std::optional<std::string>& name,
                                           pcapng::TDirection direction, std::string& problem);

// "'COM5'", or "#1" for an interface without a name.
std::string InterfaceLabel(const TReplaySurvey& survey, std::size_t index);

// "received" or "sent".
const char* DirectionWord(pcapng::TDirection direction);

class TReplaySchedule {
 public:
  TReplaySchedule(pcapng::TPcapngReader& reader, std::uint32_t interface,
                  pcapng::TDirection direction, std::int64_t speed = kSpeedOne);

  enum class TStep { Packet, End, Error };
  // The next packet to send; Error when the reading stopped (Reader says
  // why). After End or Error every call returns the same.
  TStep Next();
  // When the packet is due, from the first packet: its recorded time from
  // the first one's, divided by the speed. Never before the packet before
  // it (one stamped earlier follows right after it: the file's order is
  // the order on the line).
  std::int64_t AtNs() const { return FAt; }
  std::string_view Bytes() const { return FReader.Packet().Payload; }
  // Packets handed out so far.
  std::uint64_t Played() const { return FPlayed; }
  const pcapng::TPcapngReader& Reader() const { return FReader; }

 private:
  pcapng::TPcapngReader& FReader;
  const std::uint32_t FInterface;
  const pcapng::TDirection FDirection;
  const std::int64_t FSpeed;
  std::optional<std::int64_t> FFirst;
  std::int64_t FAt = 0;
  std::uint64_t FPlayed = 0;
};

// Monotonic nanoseconds, and a wait until a time on them.
class TReplayClock {
 public:
  virtual ~TReplayClock() = default;
  virtual std::int64_t Now() = 0;
  // Returns at `at` or later; false ends the replay.
  virtual bool WaitUntil(std::int64_t at) = 0;
};

enum class TReplayEnd { Done, Stopped, FileError };

// Plays the schedule: every packet at start + AtNs, start being the clock's
// time when the first packet is due. `send` gets the packet's AtNs and its
// bytes, and returns false to stop.
TReplayEnd Replay(TReplaySchedule& schedule, TReplayClock& clock,
                  const std::function<bool(std::int64_t atNs, std::string_view bytes)>& send);

// "T+12.345": nanoseconds as milliseconds to the microsecond.
std::string ReplayStamp(std::int64_t ns);

}  // namespace talmo
