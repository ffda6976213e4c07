#pragma once
// Modbus on a serial line: frames found in what the line delivered,
// checked, decoded into one text line each, and each answer paired with
// its request.
//
// Index:
//   TModbusFramer             a chunk of received bytes into frames and noise
//   AppendModbus              one frame as one text line
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
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace talmo {

enum class TModbusMode : std::uint8_t { None, Rtu, Ascii };

// One piece of a chunk: a frame (checked) or noise. Its views are into the
// chunk split (Raw; Pdu of RTU) or the framer's own store (Pdu of ASCII),
// valid until the framer's next call while the chunk's bytes are.
struct TModbusPiece {
  bool Noise = false;
  // RTU: the frame's bytes with its CRC. ASCII: the frame's characters as
  // received (':' ... CR LF). Noise: the bytes as received.
  std::span<const std::uint8_t> Raw;
  // The frame's binary content without its check (address, function, data).
  std::span<const std::uint8_t> Pdu;
  bool CheckGood = false;
  std::uint16_t Got = 0, Expected = 0;  // the check received and computed
  // Which forms the frame's length fits (an exception is an answer).
  bool CanRequest = false, CanAnswer = false;
  // A malformed ASCII frame (not hex digits, no CR LF): shown, not decoded.
  bool Malformed = false;
  std::size_t Offset = 0;  // where in the chunk the piece begins
};

// Splits chunks into frames and noise. It keeps its pieces and its store
// from call to call: a line delivers a frame per block, thousands a
// second, and each would otherwise cost allocations of its own.
class TModbusFramer {
 public:
  explicit TModbusFramer(TModbusMode mode) : FMode(mode) {}
  // The frames and noise in `n` bytes. RTU: one silence-delimited chunk;
  // ASCII: any run of characters (frames are ':' ... CR LF).
  std::span<const TModbusPiece> Split(const std::uint8_t* p, std::size_t n);

 private:
  void SplitRtu(const std::uint8_t* p, std::size_t n);
  void SplitAscii(const std::uint8_t* p, std::size_t n);
  TModbusPiece AsciiFrame(const std::uint8_t* p, std::size_t len, std::size_t offset);

  TModbusMode FMode;
  std::vector<TModbusPiece> FPieces;
  // ASCII frames' binary content, which their Pdu views.
  std::vector<std::uint8_t> FDecoded;
  // An ASCII frame's content as long as in RTU: its forms are told by that.
  std::vector<std::uint8_t> FScratch;
};

// How many more bytes the RTU bytes need to be a whole frame of some form,
// 0 when they already are one or cannot begin one.
std::size_t ModbusMissing(const std::uint8_t* p, std::size_t n);

enum class TModbusForm : std::uint8_t { Request, Answer };

// The function's name ("read holding registers"), or nullptr.
const char* ModbusFunctionName(std::uint8_t function);
// The exception code's name ("illegal data address"), or nullptr.
const char* ModbusExceptionName(std::uint8_t code);

// Appends the line of a piece to `s`: "unit 1 read holding registers (3)
// request address 0 count 2 | CRC ok | 01 03 00 00 00 02 C4 0B"; noise as
// "noise 3 bytes | 00 FF 12". `form` is read for frames that are no
// exception. `extra` (pairing) stands before the raw bytes.
void AppendModbus(std::string& s, TModbusMode mode, const TModbusPiece& piece, TModbusForm form,
                  std::string_view extra = {});

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
  // The lines the calls append. Clear keeps the lines' strings for the
  // lines after: a stream of frames then makes its text without
  // allocating.
  class TLines {
   public:
    TLine& Add(std::int64_t atNs);
    void Clear() { FCount = 0; }
    std::size_t size() const { return FCount; }
    bool empty() const { return FCount == 0; }
    const TLine& operator[](std::size_t i) const { return FItems[i]; }
    const TLine* begin() const { return FItems.data(); }
    const TLine* end() const { return FItems.data() + FCount; }

   private:
    std::vector<TLine> FItems;
    std::size_t FCount = 0;
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
             TLines& out);
  // The lines of `source` that fall due by `t`: a held tail that no chunk
  // completed, requests unanswered within the time-out; in order.
  void DueBy(int source, std::int64_t t, TLines& out);
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
  // The pending request's line is made from its unit and function when
  // it is told: most requests are answered and need none.
  struct TPending {
    int Source;
    std::uint8_t Unit, Function;
    std::int64_t EndNs;  // the request's last byte
  };
  // An unfinished RTU frame of a source; none while Bytes is empty.
  struct TTail {
    std::vector<std::uint8_t> Bytes;
    std::vector<TBlockTime> Blocks;
  };

  void Frames(int source, std::span<const TModbusPiece> pieces, std::span<const TBlockTime> blocks,
              TLines& out);
  void ReportUnanswered(const TPending& p, std::int64_t atNs, const char* why, TLines& out) const;
  void Tell(const TModbusEvent& e) const {
    if (OnEvent) OnEvent(e);
  }
  TTail& TailOf(int source);

  TModbusMode FMode;
  std::int64_t FTimeoutNs;
  int FSources = 0;
  // Requests waiting for their answer, oldest first: a master asks one
  // thing at a time, so this holds at most one request per source.
  std::vector<TPending> FPending;
  // Per source; a tail is held, and joined, rarely.
  std::vector<TTail> FTails;
  TModbusFramer FFramer;
  // Kept from frame to frame, as the lines are.
  std::string FExtra;
  std::vector<std::uint8_t> FJoined;
  std::vector<TBlockTime> FJoinedBlocks;
};

}  // namespace talmo
