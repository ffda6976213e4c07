#include "engine/modbus.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/checks.h"

namespace talmo {
namespace {

constexpr std::int64_t kMs = 1000000;

std::vector<std::uint8_t> Bytes(const std::string& hex) {
  std::vector<std::uint8_t> b;
  for (std::size_t i = 0; i + 1 < hex.size();) {
    if (hex[i] == ' ') {
      ++i;
      continue;
    }
    b.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    i += 2;
  }
  return b;
}

std::string Hex(const std::vector<std::uint8_t>& b) {
  std::string s;
  char t[4];
  for (const std::uint8_t x : b) {
    std::snprintf(t, sizeof t, "%02X ", x);
    s += t;
  }
  return s;
}

// An RTU frame: the bytes with their CRC.
std::string F(const std::string& hex) {
  std::vector<std::uint8_t> b = Bytes(hex);
  const std::uint16_t crc = Crc16Modbus(std::string(b.begin(), b.end()));
  b.push_back(crc & 0xFF);
  b.push_back(crc >> 8);
  return Hex(b);
}

struct TChunk {
  std::string Data;  // RTU: hex; ASCII: the characters
  std::int64_t AtMs = 0;
  int Source = 0;
  // More blocks of the chunk: from this offset on, at this time.
  std::vector<std::pair<std::size_t, std::int64_t>> Later = {};
};

// The lines of a conversation through the framing entry point, each as
// "<ms> <text>" without the raw bytes that end it; what falls due is
// handed over before each chunk and at the end.
std::vector<std::string> Lines(TModbusMode mode, int sources, const std::vector<TChunk>& chunks,
                               std::vector<std::string>* raw = nullptr) {
  TModbusPairing pairing(mode, 1000 * kMs);
  for (int i = 0; i < sources; ++i) pairing.AddSource();
  TModbusPairing::TLines lines;
  for (const TChunk& c : chunks) {
    for (int s = 0; s < sources; ++s) pairing.DueBy(s, c.AtMs * kMs, lines);
    const std::vector<std::uint8_t> data =
        mode == TModbusMode::Ascii ? std::vector<std::uint8_t>(c.Data.begin(), c.Data.end())
                                   : Bytes(c.Data);
    std::vector<TModbusPairing::TBlockTime> blocks{{0, c.AtMs * kMs}};
    for (const auto& [offset, at] : c.Later) blocks.push_back({offset, at * kMs});
    pairing.Chunk(c.Source, data.data(), data.size(), blocks, lines);
  }
  for (int s = 0; s < sources; ++s) pairing.DueBy(s, INT64_MAX, lines);
  std::vector<std::string> out;
  for (const auto& l : lines) {
    const std::size_t bar = l.Text.rfind(" | ");
    const bool hasRaw =
        l.Text.find(" | ") != std::string::npos && l.Text.find("unanswered") == std::string::npos;
    if (raw && hasRaw) raw->push_back(l.Text.substr(bar + 3));
    out.push_back(std::to_string(l.AtNs / kMs) + " " + (hasRaw ? l.Text.substr(0, bar) : l.Text));
  }
  return out;
}

TEST(ModbusCheck, KnownValues) {
  // The frames every Modbus guide shows, which the table's frames rely on.
  const std::vector<std::uint8_t> read = Bytes("01 03 00 00 00 01");
  EXPECT_EQ(Crc16Modbus(std::string(read.begin(), read.end())), 0x0A84);
  const std::vector<std::uint8_t> two = Bytes("01 03 00 00 00 02");
  EXPECT_EQ(Crc16Modbus(std::string(two.begin(), two.end())), 0x0BC4);
  EXPECT_EQ(Lrc(std::string(read.begin(), read.end())), 0xFB);
}

struct TCase {
  const char* Name;
  std::vector<TChunk> Chunks;
  std::vector<std::string> Lines;
  TModbusMode Mode = TModbusMode::Rtu;
  int Sources = 1;
};

// A request at 0 ms and its answer at 5 ms, each a chunk of its own.
TCase Pair(const char* name, const std::string& request, const std::string& answer,
           const std::string& requestLine, const std::string& answerLine) {
  return {
      name,
      {{F(request), 0}, {F(answer), 5}},
      {"0 " + requestLine + " | CRC ok", "5 " + answerLine + " | CRC ok | answer after 5.000 ms"}};
}

TEST(ModbusFraming, EveryFunctionInBothForms) {
  const TCase kCases[] = {
      Pair("read coils", "01 01 00 13 00 25", "01 01 05 CD 6B B2 0E 1B",
           "unit 1 read coils (1) request address 19 count 37",
           "unit 1 read coils (1) answer bytes 5 bits 10110011 11010110 01001101 01110000 "
           "11011000"),
      // The answer has the request's length: told apart by order.
      Pair("read discrete inputs", "01 02 00 C4 00 16", "01 02 03 AC DB 35",
           "unit 1 read discrete inputs (2) request address 196 count 22",
           "unit 1 read discrete inputs (2) answer bytes 3 bits 00110101 11011011 10101100"),
      Pair("read holding registers", "01 03 00 6B 00 03", "01 03 06 02 2B 00 00 00 64",
           "unit 1 read holding registers (3) request address 107 count 3",
           "unit 1 read holding registers (3) answer bytes 6 values 555, 0, 100"),
      Pair("read input registers", "11 04 00 08 00 01", "11 04 02 00 0A",
           "unit 17 read input registers (4) request address 8 count 1",
           "unit 17 read input registers (4) answer bytes 2 values 10"),
      Pair("write single coil (the answer echoes)", "01 05 00 AC FF 00", "01 05 00 AC FF 00",
           "unit 1 write single coil (5) request address 172 on",
           "unit 1 write single coil (5) answer address 172 on"),
      Pair("write single register", "01 06 00 01 00 03", "01 06 00 01 00 03",
           "unit 1 write single register (6) request address 1 value 3",
           "unit 1 write single register (6) answer address 1 value 3"),
      Pair("read exception status", "01 07", "01 07 6D", "unit 1 read exception status (7) request",
           "unit 1 read exception status (7) answer status 0x6D"),
      Pair("diagnostics", "01 08 00 00 A5 37", "01 08 00 00 A5 37",
           "unit 1 diagnostics (8) request sub-function 0 data A5 37",
           "unit 1 diagnostics (8) answer sub-function 0 data A5 37"),
      Pair("diagnostics echoing a longer query", "01 08 00 00 01 02 03 04",
           "01 08 00 00 01 02 03 04",
           "unit 1 diagnostics (8) request sub-function 0 data 01 02 03 04",
           "unit 1 diagnostics (8) answer sub-function 0 data 01 02 03 04"),
      Pair("get comm event counter", "01 0B", "01 0B FF FF 01 08",
           "unit 1 get comm event counter (11) request",
           "unit 1 get comm event counter (11) answer status 0xFFFF events 264"),
      Pair("get comm event log", "01 0C", "01 0C 08 00 00 01 08 01 21 20 00",
           "unit 1 get comm event log (12) request",
           "unit 1 get comm event log (12) answer bytes 8 data 00 00 01 08 01 21 20 00"),
      Pair("write multiple coils", "01 0F 00 13 00 0A 02 CD 01", "01 0F 00 13 00 0A",
           "unit 1 write multiple coils (15) request address 19 count 10 bytes 2 bits 10110011 "
           "10000000",
           "unit 1 write multiple coils (15) answer address 19 count 10"),
      Pair("write multiple registers", "01 10 00 01 00 02 04 00 0A 01 02", "01 10 00 01 00 02",
           "unit 1 write multiple registers (16) request address 1 count 2 bytes 4 values 10, 258",
           "unit 1 write multiple registers (16) answer address 1 count 2"),
      Pair("report server id", "01 11", "01 11 03 41 42 FF", "unit 1 report server id (17) request",
           "unit 1 report server id (17) answer bytes 3 data 41 42 FF"),
      Pair("read file record", "01 14 07 06 00 04 00 01 00 02", "01 14 06 05 06 0D FE 00 20",
           "unit 1 read file record (20) request bytes 7 data 06 00 04 00 01 00 02",
           "unit 1 read file record (20) answer bytes 6 data 05 06 0D FE 00 20"),
      Pair("write file record (the answer echoes)", "01 15 09 06 00 04 00 07 00 01 06 AF",
           "01 15 09 06 00 04 00 07 00 01 06 AF",
           "unit 1 write file record (21) request bytes 9 data 06 00 04 00 07 00 01 06 AF",
           "unit 1 write file record (21) answer bytes 9 data 06 00 04 00 07 00 01 06 AF"),
      Pair("mask write register", "01 16 00 04 00 F2 00 25", "01 16 00 04 00 F2 00 25",
           "unit 1 mask write register (22) request address 4 and 0x00F2 or 0x0025",
           "unit 1 mask write register (22) answer address 4 and 0x00F2 or 0x0025"),
      Pair("read/write multiple registers", "01 17 00 03 00 06 00 0E 00 03 06 00 FF 00 FF 00 FF",
           "01 17 0C 00 FE 0A CD 00 01 00 03 00 0D 00 FF",
           "unit 1 read/write multiple registers (23) request address 3 count 6 write address 14 "
           "count 3 bytes 6 values 255, 255, 255",
           "unit 1 read/write multiple registers (23) answer bytes 12 values 254, 2765, 1, 3, 13, "
           "255"),
      Pair("read FIFO queue", "01 18 04 DE", "01 18 00 06 00 02 01 B8 12 84",
           "unit 1 read FIFO queue (24) request address 1246",
           "unit 1 read FIFO queue (24) answer bytes 6 count 2 values 440, 4740"),
      Pair("read device identification", "01 2B 0E 01 00",
           "01 2B 0E 01 01 00 00 03 00 03 41 42 43 01 02 76 31 02 01 58",
           "unit 1 encapsulated interface (43) request MEI 14 read device identification code 1 "
           "object 0",
           "unit 1 encapsulated interface (43) answer MEI 14 read device identification code 1 "
           "conformity 0x01 more 0 next 0 objects 3: 0 \"ABC\", 1 \"v1\", 2 \"X\""),
      Pair("a function of no known form, found by its CRC", "01 41 01 02 03", "01 41 09",
           "unit 1 function 65 request data 01 02 03", "unit 1 function 65 answer data 09"),
  };
  for (const TCase& c : kCases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(Lines(c.Mode, c.Sources, c.Chunks), c.Lines);
  }
}

TEST(ModbusFraming, ChecksChunksNoiseAndPairing) {
  const std::string request = F("01 03 00 00 00 02");
  const std::string answer = F("01 03 04 00 01 00 02");
  const std::string kRequestLine = "unit 1 read holding registers (3) request address 0 count 2";
  const std::string kAnswerLine = "unit 1 read holding registers (3) answer bytes 4 values 1, 2";
  const TCase kCases[] = {
      {"an exception by name",
       {{request, 0}, {F("01 83 02"), 7}},
       {"0 " + kRequestLine + " | CRC ok",
        "7 unit 1 read holding registers (3) exception 02 illegal data address | CRC ok | answer "
        "after 7.000 ms"}},
      {"an exception of no known name",
       {{F("01 81 2A"), 0}},
       {"0 unit 1 read coils (1) exception 42 | CRC ok | no request waiting"}},
      {"a bad CRC: the one received and the one expected",
       {{"01 03 00 00 00 01 00 00", 0}},
       {"0 unit 1 read holding registers (3) request address 0 count 1 | CRC BAD (got 0000, "
        "expected 840A) | not paired"}},
      {"a bad answer pairs with nothing: the request goes unanswered",
       {{request, 0}, {"01 03 04 00 01 00 02 00 00", 6}},
       {"0 " + kRequestLine + " | CRC ok",
        "6 " + kAnswerLine + " | CRC BAD (got 0000, expected 2A32) | not paired",
        "1000 unit 1 read holding registers (3) request unanswered within 1000.000 ms"}},
      {"a request and its answer in one block (an adapter's)",
       {{request + answer, 0}},
       {"0 " + kRequestLine + " | CRC ok",
        "0 " + kAnswerLine + " | CRC ok | answer after 0.000 ms"}},
      {"one chunk of two blocks: each frame has its own block's time",
       {{request + answer, 0, 0, {{8, 9}}}},
       {"0 " + kRequestLine + " | CRC ok",
        "9 " + kAnswerLine + " | CRC ok | answer after 9.000 ms"}},
      {"noise between two frames stays noise",
       {{request + "00 FF " + answer, 0}},
       {"0 " + kRequestLine + " | CRC ok", "0 noise 2 bytes",
        "0 " + kAnswerLine + " | CRC ok | answer after 0.000 ms"}},
      {"noise before and after",
       {{"00 " + request + "FF", 0}},
       {"0 noise 1 byte", "0 " + kRequestLine + " | CRC ok", "0 noise 1 byte",
        "1000 unit 1 read holding registers (3) request unanswered within 1000.000 ms"}},
      {"a bad frame then a good one in one block",
       {{"01 03 00 00 00 01 00 00 " + answer, 0}},
       {"0 unit 1 read holding registers (3) request address 0 count 1 | CRC BAD (got 0000, "
        "expected 840A) | not paired",
        "0 " + kAnswerLine + " | CRC ok | no request waiting"}},
      {"a frame split by a block boundary is joined",
       {{"01 03 00", 0}, {"00 00 02 C4 0B", 3}},
       {"0 " + kRequestLine + " | CRC ok",
        "1003 unit 1 read holding registers (3) request unanswered within 1000.000 ms"}},
      {"a split frame whose rest never comes is noise, once the wait is over",
       {{"01 03 00", 0}, {answer, 200}},
       {"0 noise 3 bytes", "200 " + kAnswerLine + " | CRC ok | no request waiting"}},
      {"a tail that the next chunk does not complete is shown on its own",
       {{request + "01 03", 0}, {answer, 2}},
       {"0 " + kRequestLine + " | CRC ok", "0 noise 2 bytes",
        "2 " + kAnswerLine + " | CRC ok | answer after 2.000 ms"}},
      {"garbage that has no frame's start is noise", {{"FF FF FF FF FF", 0}}, {"0 noise 5 bytes"}},
      {"a request without an answer, at the time it fell due",
       {{request, 0}, {F("02 06 00 01 00 03"), 1500}},
       {"0 " + kRequestLine + " | CRC ok",
        "1000 unit 1 read holding registers (3) request unanswered within 1000.000 ms",
        "1500 unit 2 write single register (6) request address 1 value 3 | CRC ok",
        "2500 unit 2 write single register (6) request unanswered within 1000.000 ms"}},
      {"a request repeated before any answer: the first is given up",
       {{request, 0}, {request, 300}, {answer, 310}},
       {"0 " + kRequestLine + " | CRC ok",
        "300 unit 1 read holding registers (3) request unanswered: the next request came first",
        "300 " + kRequestLine + " | CRC ok",
        "310 " + kAnswerLine + " | CRC ok | answer after 10.000 ms"}},
      {"a broadcast expects no answer",
       {{F("00 06 00 01 00 03"), 0}},
       {"0 unit 0 (broadcast) write single register (6) request address 1 value 3 | CRC ok | "
        "broadcast: no answer expected"}},
      {"an answer from the other side pairs (a tap: both directions)",
       {{F("01 06 00 01 00 03"), 0, 0}, {F("01 06 00 01 00 03"), 4, 1}},
       {"0 unit 1 write single register (6) request address 1 value 3 | CRC ok",
        "4 unit 1 write single register (6) answer address 1 value 3 | CRC ok | answer after "
        "4.000 ms"},
       TModbusMode::Rtu,
       2},
      {"an echo from the same side of two is a repeated request",
       {{F("01 06 00 01 00 03"), 0, 0}, {F("01 06 00 01 00 03"), 4, 0}},
       {"0 unit 1 write single register (6) request address 1 value 3 | CRC ok",
        "4 unit 1 write single register (6) request unanswered: the next request came first",
        "4 unit 1 write single register (6) request address 1 value 3 | CRC ok",
        "1004 unit 1 write single register (6) request unanswered within 1000.000 ms"},
       TModbusMode::Rtu,
       2},
      {"ASCII: a request and its answer, checked by LRC",
       {{":010300000001FB\r\n", 0}, {":0103020001F9\r\n", 20}},
       {"0 unit 1 read holding registers (3) request address 0 count 1 | LRC ok",
        "20 unit 1 read holding registers (3) answer bytes 2 values 1 | LRC ok | answer after "
        "20.000 ms"},
       TModbusMode::Ascii},
      {"ASCII: a bad LRC, noise before a frame, a malformed frame",
       {{"xy:010300000001FA\r\n", 0}, {":01G3\r\n", 5}, {":0103", 6}},
       {"0 noise 2 bytes",
        "0 unit 1 read holding registers (3) request address 0 count 1 | LRC BAD (got FA, "
        "expected FB) | not paired",
        "5 malformed ASCII frame 7 bytes", "6 malformed ASCII frame 5 bytes"},
       TModbusMode::Ascii},
      {"ASCII: two frames in one chunk, lower-case digits",
       {{":010300000001fb\r\n:0103020001F9\r\n", 0}},
       {"0 unit 1 read holding registers (3) request address 0 count 1 | LRC ok",
        "0 unit 1 read holding registers (3) answer bytes 2 values 1 | LRC ok | answer after "
        "0.000 ms"},
       TModbusMode::Ascii},
  };
  for (const TCase& c : kCases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(Lines(c.Mode, c.Sources, c.Chunks), c.Lines);
  }
}

TEST(ModbusFraming, EveryLineEndsWithTheBytesAsReceived) {
  std::vector<std::string> raw;
  Lines(TModbusMode::Rtu, 1, {{F("01 03 00 00 00 02") + "00 FF", 0}}, &raw);
  EXPECT_EQ(raw, (std::vector<std::string>{"01 03 00 00 00 02 C4 0B", "00 FF"}));
  raw.clear();
  Lines(TModbusMode::Ascii, 1, {{":010300000001FB\r\n", 0}}, &raw);
  EXPECT_EQ(raw, std::vector<std::string>{":010300000001FB\\r\\n"});
  // Characters that are no printable ASCII are escapes: none can move a
  // terminal's cursor or pass for text.
  raw.clear();
  Lines(TModbusMode::Ascii, 1, {{"\xC3\xA9\x1B[2J\\", 0}}, &raw);
  EXPECT_EQ(raw, std::vector<std::string>{"\\xC3\\xA9\\x1B[2J\\\\"});
}

}  // namespace
}  // namespace talmo
