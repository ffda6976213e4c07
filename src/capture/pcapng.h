#pragma once
// The timed capture's format: pcapng with serial packets (link type 250,
// which Wireshark decodes as "rtacser"). Every packet is a 12-byte serial
// header (arrival time in seconds and microseconds, event, control lines,
// footer; big-endian) followed by the bytes of one block.
//
// Writing: the Append* functions build whole blocks in memory; the capture
// file hands each block to the file in one piece, so a file cut anywhere
// holds every block before the cut whole.
//
// Reading: TPcapngReader pulls blocks from a read function, checks every
// length against what a block may hold and what the file holds, and stops
// with one sentence (what was wrong, at which byte) instead of throwing. It
// never allocates more than the largest block it accepts.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace talmo::pcapng {

inline constexpr std::uint16_t kLinkSerial = 250;
inline constexpr std::size_t kSerialHeaderSize = 12;
// The largest block the reader accepts (a block claiming more is refused).
inline constexpr std::size_t kMaxBlock = 16 * 1024 * 1024;
// The most bytes one packet carries after its serial header: Wireshark
// refuses a file holding a packet of more than 262144 bytes (its limit for
// this link type, tshark 4.0), so a longer block is written as several
// packets of the same time.
inline constexpr std::size_t kMaxPacketData = 262144 - kSerialHeaderSize;

enum class TEvent : std::uint8_t {
  Status = 0x00,
  TxData = 0x01,
  RxData = 0x02,
  TxEnd = 0x03,
  RxEnd = 0x04,
  Lost = 0x05,
  Complete = 0x06,
  Framing = 0x07,
  Parity = 0x08,
  Break = 0x09,
  Overrun = 0x0A,
};

// The control-line byte is base/control_lines.h's.

enum class TDirection : std::uint8_t { Unknown = 0, In = 1, Out = 2 };

// A packet to write; Data/Size may be empty (line errors, status).
struct TPacket {
  std::uint32_t Interface = 0;
  std::int64_t TimeNs = 0;  // UTC, nanoseconds since the epoch
  TEvent Event = TEvent::RxData;
  std::uint8_t Lines = 0;
  TDirection Direction = TDirection::Unknown;
  const std::uint8_t* Data = nullptr;
  std::size_t Size = 0;
  std::string_view Comment;
};

// The status comment that restarts the frame clock of a reader that
// stamps frames as the live view did (the gap of the next frame counts
// from this packet's time).
inline constexpr std::string_view kFrameClockComment = "frame clock starts";
// The status comment of a line settings change that a program made, shown
// in a timeline as "-- " and the comment.
inline constexpr std::string_view kProgramSetComment = "the program set ";

void AppendSectionHeader(std::vector<std::uint8_t>& out, std::string_view application);
// Nanosecond time stamps, serial link type.
void AppendInterface(std::vector<std::uint8_t>& out, std::string_view name,
                     std::string_view description);
// One Enhanced Packet Block, or several when the packet holds more than
// kMaxPacketData bytes (each with the packet's time, event, lines and
// direction; the comment goes with the first).
void AppendPacket(std::vector<std::uint8_t>& out, const TPacket& packet);

// A capture name that asks for the timed format: ends in ".pcapng", any case.
bool IsTimedName(std::string_view path);
// The first bytes of a pcapng file (a Section Header Block's type).
bool StartsPcapng(const std::uint8_t* p, std::size_t n);

struct TInterfaceInfo {
  std::uint16_t LinkType = 0;
  std::string Name;
  std::string Description;
};

// A packet as read; the views are valid until the next call of Next.
struct TReadPacket {
  std::uint32_t Interface = 0;
  std::int64_t TimeNs = 0;
  TDirection Direction = TDirection::Unknown;
  // From the serial header when the interface is serial and the packet
  // holds one; else Event is RxData, Lines 0 and Payload the whole packet.
  bool Serial = false;
  TEvent Event = TEvent::RxData;
  std::uint8_t Lines = 0;
  std::string_view Payload;
  std::string_view Comment;
};

class TPcapngReader {
 public:
  // Reads like ::read: bytes read, 0 at the end, -1 with errno set.
  using TRead = std::function<long(std::uint8_t*, std::size_t)>;

  // `first` holds bytes already taken from the input (its start).
  TPcapngReader(TRead read, std::vector<std::uint8_t> first = {});

  enum class TStep { Packet, End, Error };
  // The next packet (enhanced, obsolete or simple packet blocks; a simple
  // one is interface 0's and has the time of the packet before it, or 0);
  // blocks of other kinds are taken in (interfaces) or skipped. After End or Error every call
  // returns the same.
  TStep Next();

  const TReadPacket& Packet() const { return FPacket; }
  const std::vector<TInterfaceInfo>& Interfaces() const { return FInterfaces; }
  // What stopped the reading: a sentence naming the byte offset.
  const std::string& Error() const { return FError; }
  // True when the error is a cut: the file ends inside a block.
  bool Truncated() const { return FTruncated; }
  // errno of a failed read (0 when the file's content was the fault).
  int ReadErrno() const { return FReadErrno; }
  std::uint64_t Offset() const { return FOffset; }
  // Bytes read from the input and not yet taken: 0 when the next call
  // reads (a live source may make it wait).
  std::size_t Buffered() const { return FEnd - FHead; }

 private:
  bool Fill(std::size_t want);
  TStep Fail(std::string why, bool truncated = false);
  std::uint32_t U32(const std::uint8_t* p) const;
  std::uint16_t U16(const std::uint8_t* p) const;
  bool Section(const std::uint8_t* block, std::size_t length);
  bool Interface(const std::uint8_t* block, std::size_t length);
  bool KnownInterface(std::uint32_t id, const char* what);
  bool Timed(const std::uint8_t* block, std::size_t length, bool obsolete);
  bool Simple(const std::uint8_t* block, std::size_t length);
  void Take(TReadPacket& p, const std::uint8_t* data, std::size_t captured);

  TRead FRead;
  std::vector<std::uint8_t> FBuf;
  std::size_t FHead = 0;  // start of the unread bytes in FBuf
  std::size_t FEnd = 0;   // end of the valid bytes in FBuf
  bool FEof = false;
  bool FSwap = false;
  bool FSeenSection = false;
  bool FDone = false;
  bool FTruncated = false;
  int FReadErrno = 0;
  std::uint64_t FOffset = 0;  // file offset of FBuf[FHead]
  std::vector<TInterfaceInfo> FInterfaces;
  std::vector<std::int64_t> FUnitsPerSecond;  // per interface
  std::vector<std::uint32_t> FSnapLengths;    // per interface; 0: no limit
  std::int64_t FLastTimeNs = 0;               // the latest packet's time
  TReadPacket FPacket;
  std::string FError;
};

}  // namespace talmo::pcapng
