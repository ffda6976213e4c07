#pragma once
// The rules by which `talmocli respond` answers like a device: each a
// pattern of a received frame and what to send back.
//
//   # a comment; blank lines are skipped
//   PATTERN -> ANSWER [delay MS] [times N]
//
// Both sides are words in the script language's byte forms: $hh (chained:
// $01$03), text (an underscore is a space), 'text (taken as it is). A
// pattern also takes ? (any one byte), * (any run of bytes, shortest
// first), <name> (one byte, kept) and <name*> (a run, kept); an answer
// puts a kept one back with <name> and places a check where it stands:
// [xor], [sum], [crc16] (Modbus CRC, low byte first), [lrc], each over the
// answer's bytes before it, or from a byte on: [xor from 1]. An answer may
// be empty: the frame is taken and nothing is sent (a device that falls
// silent). [delay MS] waits after the end of the received frame; [times
// N] answers the first N frames only, after which the next rule that
// matches answers. Rules are tried in order; the first that matches
// answers.
//
// Errors: Parse raises ERulesError, its text "NAME:LINE:COLUMN: what was
// expected". Nothing else fails.

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace talmo {

class ERulesError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TRespondRules {
 public:
  struct TMatch {
    std::size_t Rule;  // its index; Line() tells where it was written
    std::string Answer;
    std::chrono::milliseconds Delay{0};
  };

  static TRespondRules Parse(std::string_view text, const std::string& name);

  // The answer to a received frame, or nothing when no rule matches. A
  // rule with a count counts the frame.
  std::optional<TMatch> Answer(std::string_view frame);
  std::size_t Size() const { return FRules.size(); }
  int Line(std::size_t rule) const { return FRules[rule].Line; }

 private:
  enum class TKind : std::uint8_t { Bytes, AnyOne, AnyRun, KeepOne, KeepRun, Put, Check };
  enum class TCheck : std::uint8_t { Xor, Sum, Crc16, Lrc };
  struct TToken {
    TKind Kind;
    std::string Bytes;  // Bytes; the name of KeepOne, KeepRun, Put
    TCheck Check = TCheck::Xor;
    std::size_t From = 0;
  };
  struct TRule {
    std::vector<TToken> Pattern, Answer;
    std::chrono::milliseconds Delay{0};
    std::optional<long long> Times;
    long long Used = 0;
    int Line = 0;
  };
  using TKept = std::vector<std::pair<std::string, std::string>>;

  // `failed` marks the (token, place) pairs known not to match: with runs
  // a frame is tried in many ways, and each pair is tried once, so a long
  // frame costs at most tokens x length x length steps.
  static bool Match(const std::vector<TToken>& pattern, std::size_t at, std::string_view frame,
                    std::size_t pos, TKept& kept, std::vector<bool>& failed);
  static bool MatchHere(const std::vector<TToken>& pattern, std::size_t at, std::string_view frame,
                        std::size_t pos, TKept& kept, std::vector<bool>& failed);
  static std::string Build(const std::vector<TToken>& answer, const TKept& kept);

  std::vector<TRule> FRules;
};

}  // namespace talmo
