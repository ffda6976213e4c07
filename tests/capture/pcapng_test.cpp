// The timed capture's format: what our writer makes, the reader reads back
// field for field; files of other writers (big-endian, microseconds, other
// link types, blocks we do not know, several sections) read as the format
// says; hostile files stop the reader with one sentence naming the byte,
// after every whole packet before the fault, without a large allocation.

#include "capture/pcapng.h"

#include "base/control_lines.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace talmo::pcapng {
namespace {

using Bytes = std::vector<std::uint8_t>;
using TStep = TPcapngReader::TStep;

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes Text(std::string_view s) { return Bytes(s.begin(), s.end()); }

std::string Str(const Bytes& b) { return std::string(b.begin(), b.end()); }

// Blocks built by hand from the format's description, in either byte order:
// the files of other writers, and faults our writer never makes.
struct TOrder {
  bool Big = false;

  Bytes U16(std::uint16_t v) const {
    return Big ? Bytes{std::uint8_t(v >> 8), std::uint8_t(v)}
               : Bytes{std::uint8_t(v), std::uint8_t(v >> 8)};
  }
  Bytes U32(std::uint32_t v) const {
    Bytes b(4);
    for (int i = 0; i < 4; ++i) b[Big ? 3 - i : i] = std::uint8_t(v >> (8 * i));
    return b;
  }
  // An option: code, length, value padded to 4 bytes.
  Bytes Opt(std::uint16_t code, const Bytes& value) const {
    Bytes b = U16(code) + U16(static_cast<std::uint16_t>(value.size())) + value;
    while (b.size() % 4) b.push_back(0);
    return b;
  }
  Bytes EndOpt() const { return U32(0); }
  // A block whose both lengths say what it holds (body padded to 4).
  Bytes Block(std::uint32_t type, Bytes body) const {
    while (body.size() % 4) body.push_back(0);
    const auto length = static_cast<std::uint32_t>(body.size() + 12);
    return U32(type) + U32(length) + body + U32(length);
  }
  // A block header claiming `length`, with nothing after it.
  Bytes Head(std::uint32_t type, std::uint32_t length) const { return U32(type) + U32(length); }
  Bytes Section(std::uint16_t major = 1, std::uint16_t minor = 0, const Bytes& options = {}) const {
    return Block(0x0A0D0D0A, U32(0x1A2B3C4D) + U16(major) + U16(minor) + U32(0xFFFFFFFF) +
                                 U32(0xFFFFFFFF) + options);
  }
  Bytes Interface(std::uint16_t link, const Bytes& options = {}) const {
    return Block(1, U16(link) + U16(0) + U32(0) + options);
  }
  // Serial, nanoseconds.
  Bytes SerialInterface(std::string_view name = "") const {
    const Bytes nameOpt = name.empty() ? Bytes{} : Opt(2, Text(name));
    return Interface(kLinkSerial, nameOpt + Opt(9, {9}) + EndOpt());
  }
  Bytes Packet(std::uint32_t interface, std::uint64_t stamp, const Bytes& data,
               const Bytes& options = {}, std::optional<std::uint32_t> captured = {}) const {
    const auto n = captured.value_or(static_cast<std::uint32_t>(data.size()));
    Bytes padded = data;
    while (padded.size() % 4) padded.push_back(0);
    return Block(6, U32(interface) + U32(std::uint32_t(stamp >> 32)) + U32(std::uint32_t(stamp)) +
                        U32(n) + U32(static_cast<std::uint32_t>(data.size())) + padded + options);
  }
};

// The 12-byte serial header (big-endian whatever the file's order) and the
// bytes after it.
Bytes Serial(std::uint32_t seconds, std::uint32_t micros, TEvent event, std::uint8_t lines,
             const Bytes& payload) {
  const TOrder be{true};
  return be.U32(seconds) + be.U32(micros) + Bytes{static_cast<std::uint8_t>(event), lines, 0, 0} +
         payload;
}

// A read function over bytes in memory, at most `Piece` bytes a call; it
// notes the most bytes the reader asked for at once, and may fail.
struct TSource {
  Bytes Data;
  std::size_t Piece = std::numeric_limits<std::size_t>::max();
  std::size_t At = 0;
  std::size_t LargestAsk = 0;
  std::size_t FailAt = std::numeric_limits<std::size_t>::max();  // -1/EIO from this offset
  int Interrupts = 0;  // EINTR before each successful read, this many times in all

  TPcapngReader::TRead Read() {
    return [this](std::uint8_t* p, std::size_t n) -> long {
      LargestAsk = std::max(LargestAsk, n);
      if (Interrupts > 0) {
        --Interrupts;
        errno = EINTR;
        return -1;
      }
      if (At >= FailAt) {
        errno = EIO;
        return -1;
      }
      std::size_t k = std::min({n, Piece, Data.size() - At, FailAt - At});
      if (k > 0) std::memcpy(p, Data.data() + At, k);
      At += k;
      return static_cast<long>(k);
    };
  }
};

// A packet as read, copied out of the reader's buffer.
struct TGot {
  std::uint32_t Interface = 0;
  std::int64_t TimeNs = 0;
  TDirection Direction = TDirection::Unknown;
  bool Serial = false;
  TEvent Event = TEvent::RxData;
  std::uint8_t Lines = 0;
  std::string Payload;
  std::string Comment;
  bool operator==(const TGot&) const = default;
};

std::ostream& operator<<(std::ostream& os, const TGot& g) {
  return os << "{if " << g.Interface << ", " << g.TimeNs << " ns, dir "
            << static_cast<int>(g.Direction) << ", serial " << g.Serial << ", event "
            << static_cast<int>(g.Event) << ", lines " << static_cast<int>(g.Lines) << ", "
            << g.Payload.size() << " bytes, comment \"" << g.Comment << "\"}";
}

struct TRun {
  std::vector<TGot> Packets;
  TStep Last = TStep::Error;
  std::string Error;
  bool Truncated = false;
  int ReadErrno = 0;
  std::uint64_t Offset = 0;
  std::vector<TInterfaceInfo> Interfaces;
  std::size_t LargestAsk = 0;
};

TRun Drain(TPcapngReader& reader) {
  TRun run;
  TStep step;
  while ((step = reader.Next()) == TStep::Packet) {
    const TReadPacket& p = reader.Packet();
    run.Packets.push_back({p.Interface, p.TimeNs, p.Direction, p.Serial, p.Event, p.Lines,
                           std::string(p.Payload), std::string(p.Comment)});
  }
  run.Last = step;
  run.Error = reader.Error();
  run.Truncated = reader.Truncated();
  run.ReadErrno = reader.ReadErrno();
  run.Offset = reader.Offset();
  run.Interfaces = reader.Interfaces();
  // The end stays the end.
  EXPECT_EQ(reader.Next(), step);
  EXPECT_EQ(reader.Next(), step);
  EXPECT_EQ(reader.Error(), run.Error);
  return run;
}

TRun ReadAll(const Bytes& file, std::size_t piece = std::numeric_limits<std::size_t>::max()) {
  TSource source{file, piece};
  TPcapngReader reader(source.Read());
  TRun run = Drain(reader);
  run.LargestAsk = source.LargestAsk;
  return run;
}

// --- what our writer makes ----------------------------------------------------

struct TRow {
  std::uint32_t Interface;
  std::int64_t TimeNs;
  TEvent Event;
  std::uint8_t Lines;
  TDirection Direction;
  std::string Payload;
  std::string Comment;
};

std::string Counting(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 7 + 1);
  return s;
}

std::string EveryByte() {
  std::string s(256, '\0');
  for (int i = 0; i < 256; ++i) s[i] = static_cast<char>(i);
  return s;
}

// The direction a reader gives: the written one, else the one the event says.
TDirection ReadDirection(const TRow& r) {
  if (r.Direction != TDirection::Unknown) return r.Direction;
  if (r.Event == TEvent::TxData) return TDirection::Out;
  if (r.Event == TEvent::RxData) return TDirection::In;
  return TDirection::Unknown;
}

std::vector<TRow> RoundTripRows() {
  constexpr std::int64_t t0 = 1700000000123456789;  // 2023-11-14, with nanoseconds
  std::vector<TRow> rows = {
      {0, t0, TEvent::RxData, 0, TDirection::In, "hello", ""},
      {1, t0 + 1, TEvent::TxData, kLineRts | kLineDtr, TDirection::Out, "\x01\x03", "sent"},
      {0, 0, TEvent::Status, kLineCts | kLineDcd | kLineDsr | kLineRts | kLineDtr | kLineRing,
       TDirection::Unknown, "", std::string(kFrameClockComment)},
      {0, 1, TEvent::RxData, 0, TDirection::Unknown, "x", ""},
      {1, 999999999, TEvent::TxData, 0, TDirection::Unknown, "y", ""},
      // Year 2100: past 2^32 seconds' worth of microseconds, below 2^32 seconds.
      {0, 4102444800LL * 1000000000 + 7, TEvent::RxData, 0, TDirection::In, EveryByte(), "2100"},
      {0, t0, TEvent::RxData, 0, TDirection::In, EveryByte(), ""},
      {0, t0, TEvent::RxData, 0, TDirection::Out, "in the file, the direction written wins", ""},
      {0, t0, TEvent::TxData, 0, TDirection::In, "", "a sent block said to come in"},
  };
  // Every event, with and without a direction and a comment.
  for (int e = 0; e <= 0x0A; ++e)
    rows.push_back({static_cast<std::uint32_t>(e % 2), t0 + e, static_cast<TEvent>(e),
                    static_cast<std::uint8_t>(e * 5), static_cast<TDirection>(e % 3),
                    Counting(static_cast<std::size_t>(e)),
                    std::string(static_cast<std::size_t>(e), 'c')});
  // Payloads of 0..20 bytes: every padding of the data, and comments of
  // every padding.
  for (std::size_t n = 0; n <= 20; ++n)
    rows.push_back({0, t0 + static_cast<std::int64_t>(n) * 1000, TEvent::RxData, 0, TDirection::In,
                    Counting(n), std::string(n % 5, 'k')});
  for (std::size_t n : {255u, 256u, 257u, 258u, 4096u, 65535u, 65536u, 65537u})
    rows.push_back({1, t0, TEvent::TxData, 0, TDirection::Out, Counting(n), ""});
  return rows;
}

TPacket ToPacket(const TRow& r) {
  TPacket p;
  p.Interface = r.Interface;
  p.TimeNs = r.TimeNs;
  p.Event = r.Event;
  p.Lines = r.Lines;
  p.Direction = r.Direction;
  p.Data = reinterpret_cast<const std::uint8_t*>(r.Payload.data());
  p.Size = r.Payload.size();
  p.Comment = r.Comment;
  return p;
}

Bytes WrittenFile(const std::vector<TRow>& rows) {
  Bytes file;
  AppendSectionHeader(file, "TALMO test");
  AppendInterface(file, "COM5", "/dev/ttyUSB0 19200 8N1");
  AppendInterface(file, "COM6", "");
  for (const TRow& r : rows) AppendPacket(file, ToPacket(r));
  return file;
}

TEST(PcapngRoundTrip, EveryFieldOfEveryPacketReadsBack) {
  const std::vector<TRow> rows = RoundTripRows();
  const Bytes file = WrittenFile(rows);
  ASSERT_EQ(file.size() % 4, 0u);
  // In one piece, and in pieces that cut every field somewhere.
  for (std::size_t piece : {std::numeric_limits<std::size_t>::max(), std::size_t{1}, std::size_t{3},
                            std::size_t{7}, std::size_t{4096}}) {
    SCOPED_TRACE("read in pieces of " + std::to_string(piece));
    const TRun run = ReadAll(file, piece);
    EXPECT_EQ(run.Last, TStep::End) << run.Error;
    EXPECT_EQ(run.Error, "");
    EXPECT_FALSE(run.Truncated);
    EXPECT_EQ(run.Offset, file.size());
    ASSERT_EQ(run.Interfaces.size(), 2u);
    EXPECT_EQ(run.Interfaces[0].LinkType, kLinkSerial);
    EXPECT_EQ(run.Interfaces[0].Name, "COM5");
    EXPECT_EQ(run.Interfaces[0].Description, "/dev/ttyUSB0 19200 8N1");
    EXPECT_EQ(run.Interfaces[1].LinkType, kLinkSerial);
    EXPECT_EQ(run.Interfaces[1].Name, "COM6");
    EXPECT_EQ(run.Interfaces[1].Description, "");
    ASSERT_EQ(run.Packets.size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
      SCOPED_TRACE("packet " + std::to_string(i));
      const TRow& r = rows[i];
      const TGot want{r.Interface, r.TimeNs, ReadDirection(r), true,
                      r.Event,     r.Lines,  r.Payload,        r.Comment};
      EXPECT_EQ(run.Packets[i], want);
    }
  }
}

TEST(PcapngRoundTrip, ATimeBeforeTheEpochIsWrittenAsTheEpoch) {
  const TRow row{0, -5, TEvent::RxData, 0, TDirection::In, "a", ""};
  const TRun run = ReadAll(WrittenFile({row}));
  ASSERT_EQ(run.Packets.size(), 1u);
  EXPECT_EQ(run.Packets[0].TimeNs, 0);
}

// Our writer's blocks are the format's blocks, byte for byte: little-endian
// fields, the serial header big-endian with seconds and microseconds,
// padding, options, both lengths.
TEST(PcapngWriter, BlocksAreTheFormatsByteForByte) {
  const TOrder le;
  Bytes section;
  AppendSectionHeader(section, "TALMO 1.80");
  EXPECT_EQ(section, le.Section(1, 0, le.Opt(4, Text("TALMO 1.80")) + le.EndOpt()));

  Bytes interface;
  AppendInterface(interface, "COM5", "/dev/ttyS0 9600 8N1");
  EXPECT_EQ(interface, le.Interface(kLinkSerial, le.Opt(2, Text("COM5")) +
                                                     le.Opt(3, Text("/dev/ttyS0 9600 8N1")) +
                                                     le.Opt(9, {9}) + le.EndOpt()));
  Bytes unnamed;
  AppendInterface(unnamed, "", "");
  EXPECT_EQ(unnamed, le.Interface(kLinkSerial, le.Opt(9, {9}) + le.EndOpt()));

  const std::uint8_t data[] = {0x01, 0x03, 0x00, 0x00, 0x00};
  TPacket p;
  p.Interface = 1;
  p.TimeNs = 1700000000123456789;
  p.Event = TEvent::TxData;
  p.Lines = kLineRts | kLineDtr;
  p.Direction = TDirection::Out;
  p.Data = data;
  p.Size = sizeof data;
  p.Comment = "abc";
  Bytes packet;
  AppendPacket(packet, p);
  const std::uint64_t stamp = 1700000000123456789;
  const Bytes serial = Serial(1700000000, 123456, TEvent::TxData, kLineRts | kLineDtr,
                              Bytes(data, data + sizeof data));
  EXPECT_EQ(packet, le.Packet(1, stamp, serial,
                              le.Opt(2, {2, 0, 0, 0}) + le.Opt(1, Text("abc")) + le.EndOpt()));

  // No direction and no comment: no options at all.
  p.Direction = TDirection::Unknown;
  p.Comment = {};
  p.Size = 0;
  Bytes bare;
  AppendPacket(bare, p);
  EXPECT_EQ(bare, le.Packet(1, stamp,
                            Serial(1700000000, 123456, TEvent::TxData, kLineRts | kLineDtr, {})));
}

// Wireshark refuses a file with a packet over 262144 bytes: a longer block
// becomes several packets of the same time, the comment on the first.
TEST(PcapngWriter, ABlockLongerThanWiresharkTakesIsWrittenAsSeveralPackets) {
  const std::string big = Counting(2 * kMaxPacketData + 5);
  const TRow row{0, 1700000000000000001, TEvent::TxData, kLineDtr, TDirection::Out, big, "big"};
  const TRun run = ReadAll(WrittenFile({row}));
  EXPECT_EQ(run.Last, TStep::End) << run.Error;
  ASSERT_EQ(run.Packets.size(), 3u);
  std::string joined;
  for (std::size_t i = 0; i < 3; ++i) {
    const TGot& g = run.Packets[i];
    EXPECT_EQ(g.TimeNs, row.TimeNs);
    EXPECT_EQ(g.Event, TEvent::TxData);
    EXPECT_EQ(g.Lines, kLineDtr);
    EXPECT_EQ(g.Direction, TDirection::Out);
    EXPECT_EQ(g.Comment, i == 0 ? "big" : "");
    EXPECT_LE(g.Payload.size() + kSerialHeaderSize, 262144u);
    joined += g.Payload;
  }
  EXPECT_EQ(run.Packets[0].Payload.size(), kMaxPacketData);
  EXPECT_EQ(run.Packets[2].Payload.size(), 5u);
  EXPECT_EQ(joined, big);
}

TEST(PcapngWriter, TimedNamesAndTheFirstBytes) {
  const struct {
    const char* path;
    bool timed;
  } rows[] = {
      {"a.pcapng", true},       {"/tmp/A.PCAPNG", true}, {"x.PcapNg", true}, {".pcapng", true},
      {"a.pcap", false},        {"a.pcapng.log", false}, {"pcapng", false},  {"", false},
      {"/tmp/a.pcapngx", false}};
  for (const auto& r : rows) EXPECT_EQ(IsTimedName(r.path), r.timed) << r.path;
  Bytes file;
  AppendSectionHeader(file, "");
  EXPECT_TRUE(StartsPcapng(file.data(), file.size()));
  EXPECT_TRUE(StartsPcapng(file.data(), 4));
  EXPECT_FALSE(StartsPcapng(file.data(), 3));
  const std::uint8_t raw[] = {0x0A, 0x0D, 0x0A, 0x0D};
  EXPECT_FALSE(StartsPcapng(raw, 4));
}

// The reader given the file's first bytes already taken (a decode that
// looked at them to choose the format) reads the same.
TEST(PcapngReader, BytesAlreadyTakenAreTheStartOfTheFile) {
  const std::vector<TRow> rows = RoundTripRows();
  const Bytes file = WrittenFile(rows);
  const TRun whole = ReadAll(file);
  for (std::size_t taken : {std::size_t{0}, std::size_t{4}, std::size_t{8}, std::size_t{13},
                            std::size_t{100}, file.size()}) {
    SCOPED_TRACE(taken);
    TSource rest{Bytes(file.begin() + static_cast<long>(taken), file.end()), 5};
    TPcapngReader reader(rest.Read(), Bytes(file.begin(), file.begin() + static_cast<long>(taken)));
    const TRun run = Drain(reader);
    EXPECT_EQ(run.Last, TStep::End) << run.Error;
    EXPECT_EQ(run.Packets, whole.Packets);
    EXPECT_EQ(run.Offset, file.size());
  }
}

// --- files of other writers ----------------------------------------------------

TEST(PcapngReader, BigEndianFile) {
  const TOrder be{true};
  const Bytes file =
      be.Section(1, 0, be.Opt(4, Text("a big-endian writer")) + be.EndOpt()) +
      be.Interface(kLinkSerial, be.Opt(2, Text("ttyS1")) + be.Opt(3, Text("big")) + be.Opt(9, {9}) +
                                    be.EndOpt()) +
      be.Packet(0, 1700000000123456789,
                Serial(1700000000, 123456, TEvent::TxData, kLineCts, Text("ab")),
                be.Opt(2, be.U32(2)) + be.Opt(1, Text("out")) + be.EndOpt()) +
      be.Packet(0, 1700000000123456790, Serial(1700000000, 123456, TEvent::RxData, 0, Text("cde")),
                be.Opt(2, be.U32(1)) + be.EndOpt()) +
      be.Packet(0, 5, Serial(0, 0, TEvent::Break, kLineRing, {}));
  const TRun run = ReadAll(file, 3);
  EXPECT_EQ(run.Last, TStep::End) << run.Error;
  ASSERT_EQ(run.Interfaces.size(), 1u);
  EXPECT_EQ(run.Interfaces[0].LinkType, kLinkSerial);
  EXPECT_EQ(run.Interfaces[0].Name, "ttyS1");
  EXPECT_EQ(run.Interfaces[0].Description, "big");
  const std::vector<TGot> want = {
      {0, 1700000000123456789, TDirection::Out, true, TEvent::TxData, kLineCts, "ab", "out"},
      {0, 1700000000123456790, TDirection::In, true, TEvent::RxData, 0, "cde", ""},
      {0, 5, TDirection::Unknown, true, TEvent::Break, kLineRing, "", ""},
  };
  EXPECT_EQ(run.Packets, want);
}

TEST(PcapngReader, TimeResolutionsOfOtherWriters) {
  const TOrder le;
  const Bytes data = Serial(0, 0, TEvent::RxData, 0, Text("z"));
  const struct {
    const char* name;
    Bytes options;  // of the interface
    std::uint64_t stamp;
    std::int64_t ns;
  } rows[] = {
      {"no if_tsresol: microseconds", {}, 1700000000123456, 1700000000123456000},
      {"if_tsresol 6", le.Opt(9, {6}) + le.EndOpt(), 1700000000123456, 1700000000123456000},
      {"if_tsresol 3: milliseconds", le.Opt(9, {3}) + le.EndOpt(), 1700000000123,
       1700000000123000000},
      {"if_tsresol 0: seconds", le.Opt(9, {0}) + le.EndOpt(), 1700000000, 1700000000000000000},
      {"if_tsresol 9", le.Opt(9, {9}) + le.EndOpt(), 1700000000123456789, 1700000000123456789},
      {"if_tsresol 12: picoseconds", le.Opt(9, {12}) + le.EndOpt(), 1700000000123456789,
       1700000000123456},
      {"if_tsresol 2^-10", le.Opt(9, {0x80 | 10}) + le.EndOpt(), 5 * 1024 + 512, 5500000000},
      {"if_tsresol 2^-20", le.Opt(9, {0x80 | 20}) + le.EndOpt(), (1ULL << 20) * 3 + (1ULL << 18),
       3250000000},
      {"if_tsresol 2^0", le.Opt(9, {0x80}) + le.EndOpt(), 42, 42000000000},
      {"if_tsresol after a name, no end of options", le.Opt(2, Text("n")) + le.Opt(9, {3}), 1500,
       1500000000},
      {"seconds too many for 64-bit nanoseconds: the latest time", le.Opt(9, {0}) + le.EndOpt(),
       0xFFFFFFFFFFFFFFFFULL, std::numeric_limits<std::int64_t>::max()},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    const Bytes file =
        le.Section() + le.Interface(kLinkSerial, r.options) + le.Packet(0, r.stamp, data);
    const TRun run = ReadAll(file);
    EXPECT_EQ(run.Last, TStep::End) << run.Error;
    ASSERT_EQ(run.Packets.size(), 1u);
    EXPECT_EQ(run.Packets[0].TimeNs, r.ns);
  }
}

TEST(PcapngReader, OtherLinkTypesAndShortSerialPacketsAreNotSerial) {
  const TOrder le;
  const Bytes frame = Text("an Ethernet frame, 33 bytes long.");
  const Bytes file = le.Section() + le.Interface(1, le.Opt(2, Text("eth0")) + le.EndOpt()) +
                     le.SerialInterface("tty") +
                     le.Packet(0, 7, frame, le.Opt(2, le.U32(1)) + le.EndOpt()) +
                     le.Packet(1, 8, Text("short")) +
                     le.Packet(0, 9, Serial(0, 0, TEvent::TxData, 0xFF, Text("!")));
  const TRun run = ReadAll(file);
  EXPECT_EQ(run.Last, TStep::End) << run.Error;
  ASSERT_EQ(run.Interfaces.size(), 2u);
  EXPECT_EQ(run.Interfaces[0].LinkType, 1);
  EXPECT_EQ(run.Interfaces[0].Name, "eth0");
  const std::vector<TGot> want = {
      {0, 7000, TDirection::In, false, TEvent::RxData, 0, Str(frame), ""},
      {1, 8, TDirection::Unknown, false, TEvent::RxData, 0, "short", ""},
      // A serial header on another link type is the packet's bytes.
      {0, 9000, TDirection::Unknown, false, TEvent::RxData, 0,
       Str(Serial(0, 0, TEvent::TxData, 0xFF, Text("!"))), ""},
  };
  EXPECT_EQ(run.Packets, want);
}

TEST(PcapngReader, DirectionFlagsOfOtherWriters) {
  const TOrder le;
  const Bytes rx = Serial(0, 0, TEvent::RxData, 0, Text("r"));
  const Bytes status = Serial(0, 0, TEvent::Status, 0, {});
  const struct {
    const char* name;
    Bytes data, options;
    TDirection direction;
  } rows[] = {
      {"inbound", status, le.Opt(2, le.U32(1)) + le.EndOpt(), TDirection::In},
      {"outbound", rx, le.Opt(2, le.U32(2)) + le.EndOpt(), TDirection::Out},
      {"other bits kept out", rx, le.Opt(2, le.U32(0xFFFFFFF2)) + le.EndOpt(), TDirection::Out},
      {"both: unknown, then from the event", rx, le.Opt(2, le.U32(3)) + le.EndOpt(),
       TDirection::In},
      {"both on a status: unknown", status, le.Opt(2, le.U32(3)) + le.EndOpt(),
       TDirection::Unknown},
      {"flags of 2 bytes: not flags", status, le.Opt(2, {2, 0}) + le.EndOpt(), TDirection::Unknown},
      {"unknown options skipped", status,
       le.Opt(0x7FFF, Text("x")) + le.Opt(2, le.U32(1)) + le.Opt(0xFFFF, {}) + le.EndOpt(),
       TDirection::In},
      {"after the end of options nothing counts", status, le.EndOpt() + le.Opt(2, le.U32(1)),
       TDirection::Unknown},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    const TRun run =
        ReadAll(le.Section() + le.SerialInterface() + le.Packet(0, 1, r.data, r.options));
    EXPECT_EQ(run.Last, TStep::End) << run.Error;
    ASSERT_EQ(run.Packets.size(), 1u);
    EXPECT_EQ(run.Packets[0].Direction, r.direction);
  }
}

TEST(PcapngReader, BlocksOfOtherKindsAreSkipped) {
  const TOrder le;
  const Bytes a = le.Packet(0, 1, Serial(0, 0, TEvent::RxData, 0, Text("a")));
  const Bytes b = le.Packet(0, 2, Serial(0, 0, TEvent::TxData, 0, Text("b")));
  const Bytes file =
      le.Section() + le.Block(0x00000BAD, Text("unknown")) + le.SerialInterface() +
      le.Block(4, le.U16(1) + le.U16(4) + Bytes{10, 0, 0, 1} + le.EndOpt()) +  // names
      a + le.Block(3, le.U32(1) + Text("p")) +                                 // simple packet
      le.Block(5, le.U32(0) + le.U32(0) + le.U32(0)) +                         // statistics
      le.Block(0x40000BAD, {}) +                                               // custom, empty
      le.Block(2, Bytes(40, 0)) +                                              // obsolete packet
      b + le.Block(0xFFFFFFFF, Bytes(100, 0xEE));
  const TRun run = ReadAll(file, 5);
  EXPECT_EQ(run.Last, TStep::End) << run.Error;
  // The simple and the obsolete packet blocks are packets (too short for a
  // serial header: their bytes as they are).
  ASSERT_EQ(run.Packets.size(), 4u);
  EXPECT_EQ(run.Packets[0].Payload, "a");
  EXPECT_EQ(run.Packets[1].Payload, "p");
  EXPECT_EQ(run.Packets[2].Payload, "");
  EXPECT_EQ(run.Packets[3].Payload, "b");
  EXPECT_EQ(run.Offset, file.size());
}

// The packet blocks older writers make: an obsolete packet block has the
// enhanced one's fields with a 16-bit interface number; a simple packet
// block is interface 0's, has no time (the packet before it gives it) and
// holds at most the interface's snap length.
TEST(PcapngReader, ObsoleteAndSimplePacketBlocks) {
  const TOrder le, be{true};
  const Bytes rx = Serial(0, 0, TEvent::RxData, 0, Text("rx"));
  const auto obsolete = [](const TOrder& o, std::uint16_t id, std::uint64_t stamp,
                           const Bytes& data, const Bytes& options = {}) {
    Bytes padded = data;
    while (padded.size() % 4) padded.push_back(0);
    const auto n = static_cast<std::uint32_t>(data.size());
    return o.Block(2, o.U16(id) + o.U16(7) + o.U32(std::uint32_t(stamp >> 32)) +
                          o.U32(std::uint32_t(stamp)) + o.U32(n) + o.U32(n) + padded + options);
  };
  const auto simple = [](const TOrder& o, std::uint32_t original, const Bytes& data) {
    return o.Block(3, o.U32(original) + data);
  };
  const auto snapped = [](const TOrder& o, std::uint32_t snap) {
    return o.Block(1, o.U16(kLinkSerial) + o.U16(0) + o.U32(snap) + o.Opt(9, {9}) + o.EndOpt());
  };
  const struct {
    const char* name;
    Bytes file;
    std::vector<TGot> want;
  } rows[] = {
      {"obsolete: interface, time, flags and comment",
       le.Section() + le.SerialInterface("a") + le.SerialInterface("b") +
           obsolete(le, 1, 1700000000123456789, Serial(0, 0, TEvent::TxData, kLineRts, Text("t")),
                    le.Opt(2, le.U32(2)) + le.Opt(1, Text("old")) + le.EndOpt()),
       {{1, 1700000000123456789, TDirection::Out, true, TEvent::TxData, kLineRts, "t", "old"}}},
      {"obsolete, big-endian",
       be.Section() + be.SerialInterface() + obsolete(be, 0, 42, rx),
       {{0, 42, TDirection::In, true, TEvent::RxData, 0, "rx", ""}}},
      {"simple: interface 0, the time of the packet before it",
       le.Section() + le.SerialInterface() + le.Packet(0, 1000, rx) +
           simple(le, 14, Serial(0, 0, TEvent::RxData, 0, Text("s1"))) + le.Packet(0, 2000, rx) +
           simple(le, 14, Serial(0, 0, TEvent::RxData, 0, Text("s2"))),
       {{0, 1000, TDirection::In, true, TEvent::RxData, 0, "rx", ""},
        {0, 1000, TDirection::In, true, TEvent::RxData, 0, "s1", ""},
        {0, 2000, TDirection::In, true, TEvent::RxData, 0, "rx", ""},
        {0, 2000, TDirection::In, true, TEvent::RxData, 0, "s2", ""}}},
      {"simple first: time 0",
       le.Section() + le.SerialInterface() + simple(le, 14, rx),
       {{0, 0, TDirection::In, true, TEvent::RxData, 0, "rx", ""}}},
      {"simple, padding not taken: the original length counts",
       le.Section() + le.SerialInterface() + simple(le, 13, rx + Text("xyz")),
       {{0, 0, TDirection::In, true, TEvent::RxData, 0, "r", ""}}},
      {"simple claiming more than its block: what it holds",
       le.Section() + le.SerialInterface() + simple(le, 0xFFFFFFFF, rx + Text("ab")),
       {{0, 0, TDirection::In, true, TEvent::RxData, 0, "rxab", ""}}},
      {"simple longer than the snap length: cut there",
       le.Section() + snapped(le, 13) + simple(le, 14, rx),
       {{0, 0, TDirection::In, true, TEvent::RxData, 0, "r", ""}}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    for (std::size_t piece : {std::numeric_limits<std::size_t>::max(), std::size_t{3}}) {
      const TRun run = ReadAll(r.file, piece);
      EXPECT_EQ(run.Last, TStep::End) << run.Error;
      EXPECT_EQ(run.Packets, r.want);
    }
  }
}

// Interfaces are numbered per section; each section has its byte order.
TEST(PcapngReader, SeveralSections) {
  const TOrder le, be{true};
  const Bytes file = le.Section() + le.SerialInterface("first 0") + le.SerialInterface("first 1") +
                     le.Packet(1, 10, Serial(0, 0, TEvent::RxData, 0, Text("s1"))) + be.Section() +
                     be.Interface(kLinkSerial, be.Opt(2, Text("second 0")) + be.EndOpt()) +
                     be.Packet(0, 20, Serial(0, 0, TEvent::TxData, 0, Text("s2"))) + le.Section() +
                     le.SerialInterface("third 0") +
                     le.Packet(0, 30, Serial(0, 0, TEvent::RxData, 0, Text("s3")));
  TSource source{file, 7};
  TPcapngReader reader(source.Read());
  ASSERT_EQ(reader.Next(), TStep::Packet);
  EXPECT_EQ(reader.Packet().Payload, "s1");
  EXPECT_EQ(reader.Packet().Interface, 1u);
  ASSERT_EQ(reader.Interfaces().size(), 2u);
  ASSERT_EQ(reader.Next(), TStep::Packet);
  EXPECT_EQ(reader.Packet().Payload, "s2");
  EXPECT_EQ(reader.Packet().TimeNs, 20000) << "microseconds: the second section has no if_tsresol";
  ASSERT_EQ(reader.Interfaces().size(), 1u);
  EXPECT_EQ(reader.Interfaces()[0].Name, "second 0");
  ASSERT_EQ(reader.Next(), TStep::Packet);
  EXPECT_EQ(reader.Packet().Payload, "s3");
  EXPECT_EQ(reader.Packet().TimeNs, 30);
  EXPECT_EQ(reader.Interfaces()[0].Name, "third 0");
  EXPECT_EQ(reader.Next(), TStep::End) << reader.Error();

  // A packet of an interface of an earlier section is refused.
  const Bytes stale = le.Section() + le.SerialInterface() + le.SerialInterface() + le.Section() +
                      le.SerialInterface() + le.Packet(1, 1, Serial(0, 0, TEvent::RxData, 0, {}));
  const TRun run = ReadAll(stale);
  EXPECT_EQ(run.Last, TStep::Error);
  EXPECT_EQ(run.Error,
            "has a packet at byte 152 of interface 1, but its section describes 1 "
            "interface before it");
  EXPECT_FALSE(run.Truncated);
}

// --- hostile files ---------------------------------------------------------------

// A small capture of our writer and where its blocks start.
struct TSmall {
  Bytes File;
  std::vector<std::size_t> Ends;  // of every block
  std::size_t Headers = 2;        // section and interface come first
};

TSmall SmallCapture() {
  TSmall s;
  AppendSectionHeader(s.File, "TALMO");
  s.Ends.push_back(s.File.size());
  AppendInterface(s.File, "COM1", "/dev/ttyS0 9600 8N1");
  s.Ends.push_back(s.File.size());
  const std::vector<TRow> rows = {
      {0, 1700000000000000000, TEvent::RxData, 0, TDirection::In, "", ""},
      {0, 1700000000000000001, TEvent::RxData, 0, TDirection::In, "1", "c"},
      {0, 1700000000000000002, TEvent::TxData, kLineRts, TDirection::Out, "12345", ""},
      {0, 1700000000000000003, TEvent::Status, kLineCts, TDirection::Unknown, "",
       "frame clock starts"},
  };
  for (const TRow& r : rows) {
    AppendPacket(s.File, ToPacket(r));
    s.Ends.push_back(s.File.size());
  }
  return s;
}

// Cut at every byte: every whole packet before the cut, then End at a
// block's end, else a cut naming both offsets.
TEST(PcapngHostile, CutAtEveryByte) {
  const TSmall s = SmallCapture();
  const TRun whole = ReadAll(s.File);
  ASSERT_EQ(whole.Last, TStep::End);
  ASSERT_EQ(whole.Packets.size(), s.Ends.size() - s.Headers);
  for (std::size_t cut = 0; cut < s.File.size(); ++cut) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    const Bytes file(s.File.begin(), s.File.begin() + static_cast<long>(cut));
    std::size_t wholeBlocks = 0, start = 0;
    while (wholeBlocks < s.Ends.size() && s.Ends[wholeBlocks] <= cut) start = s.Ends[wholeBlocks++];
    const std::size_t packets = wholeBlocks > s.Headers ? wholeBlocks - s.Headers : 0;
    for (std::size_t piece : {std::numeric_limits<std::size_t>::max(), std::size_t{1}}) {
      const TRun run = ReadAll(file, piece);
      ASSERT_EQ(run.Packets.size(), packets);
      for (std::size_t i = 0; i < packets; ++i) EXPECT_EQ(run.Packets[i], whole.Packets[i]);
      EXPECT_EQ(run.Offset, start);
      if (cut == 0) {
        EXPECT_EQ(run.Last, TStep::Error);
        EXPECT_EQ(run.Error, "is empty: no pcapng section header");
        EXPECT_FALSE(run.Truncated);
      } else if (cut == start) {
        EXPECT_EQ(run.Last, TStep::End) << run.Error;
        EXPECT_FALSE(run.Truncated);
      } else {
        EXPECT_EQ(run.Last, TStep::Error);
        EXPECT_TRUE(run.Truncated);
        const std::string head = "ends at byte " + std::to_string(cut) +
                                 ", inside the block at byte " + std::to_string(start);
        // The length is known once the block's head is (a section's
        // once its byte order is).
        if (cut - start < 8 || (start == 0 && cut < 12))
          EXPECT_EQ(run.Error, head);
        else
          EXPECT_EQ(run.Error,
                    head + " of " + std::to_string(s.Ends[wholeBlocks] - start) + " bytes");
      }
    }
  }
}

TEST(PcapngHostile, FaultsNamedWithTheirByte) {
  const TOrder le, be{true};
  const Bytes good = le.Section() + le.SerialInterface();  // 28 + 32 bytes
  ASSERT_EQ(good.size(), 60u);
  const Bytes packet = le.Packet(0, 1, Serial(0, 0, TEvent::RxData, 0, Text("ok")));  // 48 bytes
  ASSERT_EQ(packet.size(), 48u);
  const Bytes data = Serial(0, 0, TEvent::RxData, 0, Text("abcd"));  // 16 bytes
  // Blocks whose trailing length differs from the leading one.
  Bytes mismatched = le.Packet(0, 1, data);
  mismatched[mismatched.size() - 4] += 4;
  Bytes mismatchedSection = le.Section();
  mismatchedSection.back() = 1;
  const struct {
    const char* name;
    Bytes file;
    std::size_t packets;  // read before the fault
    std::string error;
  } rows[] = {
      {"block length not a multiple of 4", good + packet + le.Head(6, 30) + Bytes(22, 0), 1,
       "has a block at byte 108 with a length of 30 (a block is a multiple of 4, at least 12)"},
      {"block length 8", good + le.Head(0xBAD, 8) + Bytes(8, 0), 0,
       "has a block at byte 60 with a length of 8 (a block is a multiple of 4, at least 12)"},
      {"block length 0", good + le.Head(6, 0), 0,
       "has a block at byte 60 with a length of 0 (a block is a multiple of 4, at least 12)"},
      {"block of 16 MiB + 4", good + le.Head(6, kMaxBlock + 4), 0,
       "has a block at byte 60 that claims 16777220 bytes; blocks over 16 MiB are refused"},
      {"block of 4 GiB", good + packet + le.Head(6, 0xFFFFFFFC) + Bytes(100, 0), 1,
       "has a block at byte 108 that claims 4294967292 bytes; blocks over 16 MiB are refused"},
      {"block of 4 GiB, big-endian", be.Section() + be.Head(1, 0xFFFFFFFC), 0,
       "has a block at byte 28 that claims 4294967292 bytes; blocks over 16 MiB are refused"},
      {"section claiming 4 GiB", le.Head(0x0A0D0D0A, 0xFFFFFFFC) + le.U32(0x1A2B3C4D), 0,
       "has a block at byte 0 that claims 4294967292 bytes; blocks over 16 MiB are refused"},
      {"lengths differ", good + packet + mismatched, 1,
       "has a block at byte 108 whose two lengths differ (48, 52)"},
      {"lengths differ in a section", mismatchedSection, 0,
       "has a block at byte 0 whose two lengths differ (28, 16777244)"},
      {"packet of an interface not described", good + packet + le.Packet(1, 1, data), 1,
       "has a packet at byte 108 of interface 1, but its section describes 1 interface before it"},
      {"packet before any interface", le.Section() + le.Packet(0, 1, data), 0,
       "has a packet at byte 28 of interface 0, but its section describes no interface before it"},
      {"packet of interface 0xFFFFFFFF",
       good + le.SerialInterface() + le.Packet(0xFFFFFFFF, 1, data), 0,
       "has a packet at byte 92 of interface 4294967295, but its section describes 2 interfaces "
       "before it"},
      {"captured length past the block", good + le.Packet(0, 1, data, {}, 17), 0,
       "has a packet at byte 60 that claims 17 bytes in a block of 48 bytes"},
      {"captured length of 4 GiB", good + packet + le.Packet(0, 1, data, {}, 0xFFFFFFFF), 1,
       "has a packet at byte 108 that claims 4294967295 bytes in a block of 48 bytes"},
      {"packet option past its block",
       good + le.Packet(0, 1, data, le.U16(1) + le.U16(5) + Text("abcd")), 0,
       "has a packet at byte 60 whose option runs past its end"},
      {"packet option of 65535 bytes", good + le.Packet(0, 1, data, le.U16(1) + le.U16(0xFFFF)), 0,
       "has a packet at byte 60 whose option runs past its end"},
      {"interface option past its block",
       le.Section() + le.Interface(kLinkSerial, le.U16(2) + le.U16(9) + Text("12345678")), 0,
       "has an interface description at byte 28 whose option runs past its end"},
      {"if_tsresol 10^-19", le.Section() + le.Interface(kLinkSerial, le.Opt(9, {19}) + le.EndOpt()),
       0,
       "has an interface description at byte 28 with a time resolution of 10^-19 s that no clock "
       "has"},
      {"if_tsresol 10^-127",
       le.Section() + le.Interface(kLinkSerial, le.Opt(9, {0x7F}) + le.EndOpt()), 0,
       "has an interface description at byte 28 with a time resolution of 10^-127 s that no clock "
       "has"},
      {"if_tsresol 2^-63", le.Section() + le.Interface(kLinkSerial, le.Opt(9, {0x80 | 63})), 0,
       "has an interface description at byte 28 with a time resolution of 2^-63 s that no clock "
       "has"},
      {"if_tsresol 2^-127", good + le.Interface(kLinkSerial, le.Opt(9, {0xFF})), 0,
       "has an interface description at byte 60 with a time resolution of 2^-127 s that no clock "
       "has"},
      {"section of version 2", le.Section(2, 0), 0,
       "has a section at byte 0 of version 2.0; version 1 is read"},
      {"a second section of version 2", good + packet + le.Section(2, 1), 1,
       "has a section at byte 108 of version 2.1; version 1 is read"},
      {"section too short", le.Block(0x0A0D0D0A, le.U32(0x1A2B3C4D) + le.U32(0x00000001)), 0,
       "has a section header at byte 0 too short for its fields"},
      {"interface too short", le.Section() + le.Block(1, le.U32(kLinkSerial)), 0,
       "has an interface description at byte 28 too short for its fields"},
      {"packet too short", good + le.Block(6, Bytes(16, 0)), 0,
       "has a packet block at byte 60 too short for its fields"},
      {"obsolete packet too short", good + le.Block(2, Bytes(16, 0)), 0,
       "has a packet block at byte 60 too short for its fields"},
      {"obsolete packet of an interface not described",
       good + packet + le.Block(2, le.U16(1) + le.U16(0) + Bytes(16, 0)), 1,
       "has a packet at byte 108 of interface 1, but its section describes 1 interface before it"},
      {"obsolete packet's captured length past the block",
       good + le.Block(2, le.U16(0) + le.U16(0) + le.U32(0) + le.U32(0) + le.U32(5) + le.U32(5)), 0,
       "has a packet at byte 60 that claims 5 bytes in a block of 32 bytes"},
      {"simple packet before any interface", le.Section() + le.Block(3, le.U32(0)), 0,
       "has a simple packet at byte 28 of interface 0, but its section describes no interface "
       "before it"},
      {"simple packet too short", good + le.Head(3, 12) + le.U32(12), 0,
       "has a simple packet block at byte 60 too short for its fields"},
      {"unknown byte order", le.Head(0x0A0D0D0A, 28) + le.U32(0x12345678) + Bytes(16, 0), 0,
       "has a section header at byte 0 with an unknown byte-order mark"},
      {"unknown byte order in a later section",
       good + packet + le.Head(0x0A0D0D0A, 28) + le.U32(0x1A2B3C4E) + Bytes(16, 0), 1,
       "has a section header at byte 108 with an unknown byte-order mark"},
      {"not pcapng", Text("hello, world! this is a raw capture"), 0,
       "is not a pcapng file: no section header at byte 0"},
      {"a few bytes, not pcapng", Text("abc"), 0,
       "is not a pcapng file: no section header at byte 0"},
      {"a pcap file", Bytes{0xD4, 0xC3, 0xB2, 0xA1, 2, 0, 4, 0, 0, 0, 0, 0}, 0,
       "is not a pcapng file: no section header at byte 0"},
      {"empty", {}, 0, "is empty: no pcapng section header"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    for (std::size_t piece : {std::numeric_limits<std::size_t>::max(), std::size_t{1}}) {
      const TRun run = ReadAll(r.file, piece);
      EXPECT_EQ(run.Last, TStep::Error);
      EXPECT_EQ(run.Packets.size(), r.packets);
      EXPECT_EQ(run.Error, r.error);
      EXPECT_FALSE(run.Truncated);
      EXPECT_EQ(run.ReadErrno, 0);
      EXPECT_LE(run.LargestAsk, kMaxBlock + (1u << 20));
    }
  }
}

// However much a block claims, the reader never asks for (nor holds) more
// than the largest block it accepts and one piece of reading.
TEST(PcapngHostile, NoBufferPastTheLargestBlock) {
  const TOrder le;
  const Bytes good = le.Section() + le.SerialInterface();
  const std::size_t bound = kMaxBlock + (1u << 20);

  // 4 GiB claimed: refused at once, without reading on.
  {
    TSource s{good + le.Head(6, 0xFFFFFFFC) + Bytes(1 << 16, 0)};
    TPcapngReader reader(s.Read());
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(reader.Next(), TStep::Error);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(1));
    EXPECT_LE(s.LargestAsk, std::size_t{1} << 20);
  }
  // The largest block accepted, whole: read and skipped, then a packet.
  {
    Bytes big = le.Head(0xBAD, kMaxBlock);
    big.resize(kMaxBlock - 4, 0x5A);
    big = big + le.U32(kMaxBlock);
    const Bytes file = good + big + le.Packet(0, 1, Serial(0, 0, TEvent::RxData, 0, Text("after")));
    for (std::size_t piece : {std::numeric_limits<std::size_t>::max(), std::size_t{65536}}) {
      const TRun run = ReadAll(file, piece);
      EXPECT_EQ(run.Last, TStep::End) << run.Error;
      ASSERT_EQ(run.Packets.size(), 1u);
      EXPECT_EQ(run.Packets[0].Payload, "after");
      EXPECT_LE(run.LargestAsk, bound);
    }
  }
  // The largest block claimed, the file cut short: a cut, asked for no more.
  {
    const Bytes file = good + le.Head(6, kMaxBlock) + Bytes(1000, 0);
    const TRun run = ReadAll(file, 4096);
    EXPECT_EQ(run.Last, TStep::Error);
    EXPECT_TRUE(run.Truncated);
    EXPECT_EQ(run.Error, "ends at byte 1068, inside the block at byte 60 of 16777216 bytes");
    EXPECT_LE(run.LargestAsk, bound);
  }
  // Blocks of the largest size one after another: the buffer is reused.
  {
    Bytes big = le.Head(0xBAD, kMaxBlock);
    big.resize(kMaxBlock - 4, 0);
    big = big + le.U32(kMaxBlock);
    const Bytes file = good + big + big + big;
    const TRun run = ReadAll(file, 1 << 20);
    EXPECT_EQ(run.Last, TStep::End) << run.Error;
    EXPECT_LE(run.LargestAsk, bound);
  }
}

TEST(PcapngHostile, AFailedReadIsNamedAndInterruptionsAreRetried) {
  const TSmall s = SmallCapture();
  {
    TSource source{s.File, 10};
    source.FailAt = s.Ends[3] + 5;  // inside the third packet
    TPcapngReader reader(source.Read());
    const TRun run = Drain(reader);
    EXPECT_EQ(run.Last, TStep::Error);
    EXPECT_EQ(run.Packets.size(), 2u);
    EXPECT_EQ(run.Error,
              "cannot be read at byte " + std::to_string(s.Ends[3]) + ": Input/output error");
    EXPECT_EQ(run.ReadErrno, EIO);
    EXPECT_FALSE(run.Truncated);
  }
  {
    TSource source{s.File, 3};
    source.Interrupts = 50;
    TPcapngReader reader(source.Read());
    const TRun run = Drain(reader);
    EXPECT_EQ(run.Last, TStep::End) << run.Error;
    EXPECT_EQ(run.Packets.size(), s.Ends.size() - s.Headers);
    EXPECT_EQ(source.Interrupts, 0);
  }
}

}  // namespace
}  // namespace talmo::pcapng
