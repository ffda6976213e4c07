#pragma once
// Modbus on a serial line: frames found in what the line delivered,
// checked, decoded into one text line each, and each answer paired with
// its request.
//
// Index:
//   SplitModbus               a chunk of received bytes into frames and noise
//   DescribeModbus            one frame as one text line
//   TModbusPairing            frames of one or several sources on one
//                             timeline: forms told apart, answers paired,
//                             requests without an answer reported
//
// RTU frames are delimited by silence, but a USB adapter hands bytes over
// on its own timer, so one silence-delimited chunk may hold a request and
// its answer, or half a frame. Boundaries are therefore found by the
// length rules of each function code and the CRC, and a chunk's unfinished
// tail is held for the next chunk of the same source. Bytes that form no
// frame are noise and are shown as such, never glued onto a frame.
//
// The checks themselves (CRC-16, LRC) are those of engine/checks.h.
//
// Pure and single-threaded; no call fails or throws (malformed input is
// shown as noise or as a frame with a bad check).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace talmo {

enum class TModbusMode : std::uint8_t { None, Rtu, Ascii };

// One piece of a chunk: a frame (checked) or noise.
struct TModbusPiece {
  bool Noise = false;
  // RTU: the frame's bytes with its CRC. ASCII: the frame's characters as
  // received (':' ... CR LF). Noise: the bytes as received.
  std::vector<std::uint8_t> Raw;
  // The frame's binary content without its check (address, function, data).
  std::vector<std::uint8_t> Pdu;
  bool CheckGood = false;
  std::uint16_t Got = 0, Expected = 0;  // the check received and computed
  // Which forms the frame's length fits (an exception is an answer).
  bool CanRequest = false, CanAnswer = false;
  // A malformed ASCII frame (not hex digits, no CR LF): shown, not decoded.
  bool Malformed = false;
  std::size_t Offset = 0;  // where in the chunk the piece begins
};

// The frames and noise in `n` bytes. RTU: one silence-delimited chunk;
// ASCII: any run of characters (frames are ':' ... CR LF).
std::vector<TModbusPiece> SplitModbus(TModbusMode mode, const std::uint8_t* p, std::size_t n);

// How many more bytes the RTU bytes need to be a whole frame of some form,
// 0 when they already are one or cannot begin one.
std::size_t ModbusMissing(const std::uint8_t* p, std::size_t n);

enum class TModbusForm : std::uint8_t { Request, Answer };

// The function's name ("read holding registers"), or nullptr.
const char* ModbusFunctionName(std::uint8_t function);
// The exception code's name ("illegal data address"), or nullptr.
const char* ModbusExceptionName(std::uint8_t code);

// The line of a piece: "unit 1 read holding registers (3) request address
// 0 count 2 | CRC ok | 01 03 00 00 00 02 C4 0B"; noise as "noise 3 bytes |
// 00 FF 12". `form` is read for frames that are no exception. `extra`
// (pairing) stands before the raw bytes.
std::string DescribeModbus(TModbusMode mode, const TModbusPiece& piece, TModbusForm form,
                           const std::string& extra = {});

// What became of a frame or a request, for statistics.
struct TModbusEvent {
  enum class TKind : std::uint8_t { Request, Answer, Exception, BadCheck, Unanswered, Noise };
  TKind Kind;
  int Source;
  std::uint8_t Unit = 0, Function = 0;
  // Answers and exceptions paired with their request: the time from its
  // last byte to their first; -1 when none was waiting.
  std::int64_t ResponseNs = -1;
  std::size_t Bytes = 0;  // the frame's or the noise's (0 for Unanswered)
};

// Frames of several sources (ports, directions) on one timeline. Times are
// nanoseconds on one clock (UTC of the sessions).
class TModbusPairing {
 public:
  struct TLine {
    std::int64_t AtNs;  // the frame's first byte; the due time of an unanswered request
    std::string Text;
  };
  // When a source's bytes arrived: block `Offset` onwards came at `AtNs`.
  struct TBlockTime {
    std::size_t Offset;
    std::int64_t AtNs;
  };

  TModbusPairing(TModbusMode mode, std::int64_t answerTimeoutNs);

  // A new source (a port or direction); its number.
  int AddSource();
  // A chunk of `source`: its frames' lines, in order, appended to `out`.
  // `blocks` (at least one, the first at offset 0) tells when each part of
  // the chunk arrived.
  void Chunk(int source, const std::uint8_t* p, std::size_t n, std::span<const TBlockTime> blocks,
             std::vector<TLine>& out);
  // The lines of `source` that fall due by `t`: a held tail that no chunk
  // completed, requests unanswered within the time-out; in order.
  void DueBy(int source, std::int64_t t, std::vector<TLine>& out);
  // When the next of `source`'s lines falls due.
  std::optional<std::int64_t> NextDue(int source) const;
  // The time allowed for an answer.
  std::int64_t AnswerTimeoutNs() const { return FTimeoutNs; }
  // Told of every frame, noise and unanswered request, as its line is made.
  std::function<void(const TModbusEvent&)> OnEvent;

  // How long an unfinished RTU tail waits for the rest of its frame: longer
  // than any adapter's latency timer (at most 16 ms by default, 255 ms at
  // the most one can set, rarely used).
  static constexpr std::int64_t kTailHoldNs = 50000000;

 private:
  struct TPending {
    int Source;
    std::uint8_t Unit, Function;
    std::int64_t EndNs;  // the request's last byte
    std::string Name;    // "unit 1 read holding registers (3)"
  };
  struct TTail {
    std::vector<std::uint8_t> Bytes;
    std::vector<TBlockTime> Blocks;
  };

  void Frames(int source, const std::vector<TModbusPiece>& pieces,
              std::span<const TBlockTime> blocks, std::vector<TLine>& out);
  void ReportUnanswered(const TPending& p, std::int64_t atNs, const char* why,
                        std::vector<TLine>& out) const;
  void Tell(const TModbusEvent& e) const {
    if (OnEvent) OnEvent(e);
  }

  TModbusMode FMode;
  std::int64_t FTimeoutNs;
  int FSources = 0;
  // Requests waiting for their answer, oldest first.
  std::vector<TPending> FPending;
  std::map<int, TTail> FTails;
};

}  // namespace talmo
