#include "app/decode_command.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "capture/pcapng.h"
#include "support/signal_scope.h"
#include "support/temp_dir.h"

namespace talmo {
namespace {

struct Result {
  int code;
  std::string out, err;
};

// Runs the command with its output captured in memory.
Result Decode(const std::vector<std::string>& args, int inputFd = -1) {
  char* outBuf = nullptr;
  char* errBuf = nullptr;
  std::size_t outLen = 0, errLen = 0;
  std::FILE* out = open_memstream(&outBuf, &outLen);
  std::FILE* err = open_memstream(&errBuf, &errLen);
  const int code = RunDecode(args, inputFd, out, err);
  std::fclose(out);
  std::fclose(err);
  Result r{code, std::string(outBuf, outLen), std::string(errBuf, errLen)};
  std::free(outBuf);
  std::free(errBuf);
  return r;
}

class DecodeTest : public ::testing::Test {
 protected:
  std::string WriteFile(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    const std::string path = FDir + "/" + name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path;
  }

  test::TTempDir FTemp{"talmo-decode"};
  std::string FDir = FTemp.Path();
};

std::string FirstLine(const std::string& s) { return s.substr(0, s.find('\n')); }

// A timed capture made here: serial interfaces, then received blocks at
// the times given (nanoseconds since the epoch).
struct TTimed {
  std::vector<std::uint8_t> Bytes;

  explicit TTimed(const std::vector<std::string>& ports, std::string_view description = "") {
    pcapng::AppendSectionHeader(Bytes, "test");
    for (const std::string& name : ports) pcapng::AppendInterface(Bytes, name, description);
  }
  TTimed& Rx(std::uint32_t port, std::int64_t ns, std::string_view data, bool sent = false) {
    pcapng::TPacket p;
    p.Interface = port;
    p.TimeNs = ns;
    p.Direction = sent ? pcapng::TDirection::Out : pcapng::TDirection::In;
    if (sent) p.Event = pcapng::TEvent::TxData;
    p.Data = reinterpret_cast<const std::uint8_t*>(data.data());
    p.Size = data.size();
    pcapng::AppendPacket(Bytes, p);
    return *this;
  }
  // A block of `type` as other writers make it (little-endian): the body
  // padded to 4 bytes between the two lengths.
  TTimed& Block(std::uint32_t type, std::vector<std::uint8_t> body) {
    while (body.size() % 4) body.push_back(0);
    std::vector<std::uint8_t> b;
    const auto put = [&b](std::uint32_t v) {
      for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    };
    put(type);
    put(static_cast<std::uint32_t>(body.size() + 12));
    b.insert(b.end(), body.begin(), body.end());
    put(static_cast<std::uint32_t>(body.size() + 12));
    Bytes.insert(Bytes.end(), b.begin(), b.end());
    return *this;
  }
};

constexpr std::int64_t kT0 = 1700000000000000000;  // 2023-11-14
constexpr std::int64_t kMs = 1000000;

// The serial header of a received block (its time is not read) and the bytes.
std::vector<std::uint8_t> SerialRx(std::string_view data) {
  std::vector<std::uint8_t> b(12 + data.size(), 0);
  b[8] = static_cast<std::uint8_t>(pcapng::TEvent::RxData);
  for (std::size_t i = 0; i < data.size(); ++i) b[12 + i] = static_cast<std::uint8_t>(data[i]);
  return b;
}

std::vector<std::uint8_t> Le(std::initializer_list<std::uint32_t> words) {
  std::vector<std::uint8_t> b;
  for (std::uint32_t v : words)
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  return b;
}

std::vector<std::uint8_t> operator+(std::vector<std::uint8_t> a,
                                    const std::vector<std::uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST_F(DecodeTest, BadUsageIsExplainedWithExitTwo) {
  struct Row {
    std::vector<std::string> args;
    const char* message;
  };
  const Row rows[] = {
      {{"--frobnicate"}, "talmocli: unknown option '--frobnicate'"},
      {{"--first"}, "talmocli: --first needs a value"},
      {{"--first", "XYZ"},
       "talmocli: bad value for --first: 'XYZ' (one or two letters or digits expected, e.g. 02)"},
      {{"--last=0!"},
       "talmocli: bad value for --last: '0!' (one or two letters or digits expected, e.g. 02)"},
      {{"--last="},
       "talmocli: bad value for --last: '' (one or two letters or digits expected, e.g. 02)"},
      {{"--stxhl", "--prod2"}, "talmocli: --stxhl and --prod2 cannot be used together"},
      {{"a.cap", "b.cap"}, "talmocli: more than one FILE given ('a.cap', 'b.cap')"},
      {{"--hex=1"}, "talmocli: --hex takes no value"},
      {{"--modbus", "tcp"}, "talmocli: bad value for --modbus: 'tcp' (rtu or ascii expected)"},
      {{"--modbus", "rtu", "--hex"},
       "talmocli: --hex does not go with --modbus, which frames and shows the stream itself (a "
       "stamp on every frame: --stamp; another silence: --gap)"},
      {{"--answer-timeout", "50"}, "talmocli: --answer-timeout needs --modbus"},
      {{"--bcc-check", "crc"}, "talmocli: bad value for --bcc-check: 'crc' (xor or sum expected)"},
      {{"--bcc-check", "xor", "--bcc-span", "start-stop"},
       "talmocli: bad value for --bcc-span: 'start-stop' (FROM..TO expected: FROM start or "
       "after-start, TO stop or before-stop)"},
      {{"--bcc-span", "start..stop"}, "talmocli: --bcc-span needs --bcc-check"},
      {{"--prod2", "--bcc-check", "sum"},
       "talmocli: --bcc-check does not go with --prod2, whose frames have no block-check byte"},
      {{"--no-bcc", "--bcc-check", "sum"},
       "talmocli: --bcc-check checks the byte that --bcc takes: drop --no-bcc"},
      {{"--text", "--bcc-check", "xor"},
       "talmocli: --bcc-check frames the stream by its signs, which --text, --gap and --max "
       "replace (a stamp on every line: --stamp)"},
      {{"--modbus", "rtu", "--answer-timeout", "0"},
       "talmocli: bad value for --answer-timeout: '0' (a whole number from 1 to 3600000 "
       "expected)"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.message);
    const Result res = Decode(r.args);
    EXPECT_EQ(res.code, kExitUsage);
    EXPECT_EQ(res.err, std::string(r.message) + "\nTry 'talmocli decode --help'.\n");
    EXPECT_EQ(res.out, "");
  }
}

TEST_F(DecodeTest, UnreadableFileNamesThePathAndReason) {
  const std::string missing = FDir + "/no-such.cap";
  Result r = Decode({missing});
  EXPECT_EQ(r.code, kExitFailure);
  EXPECT_EQ(r.err, "talmocli: cannot read '" + missing + "': No such file or directory\n");

  r = Decode({FDir});  // a folder opens but cannot be read
  EXPECT_EQ(r.code, kExitFailure);
  EXPECT_EQ(r.err, "talmocli: cannot read '" + FDir + "': Is a directory\n");
}

TEST_F(DecodeTest, PresetsAndExplicitOptions) {
  struct Row {
    std::vector<std::string> args;
    std::vector<std::uint8_t> input;
    const char* out;
  };
  const Row rows[] = {
      {{}, {'A', 0x00, 'B'}, " A NUL\n B\n"},
      {{"--stxhl"}, {0x02, 0x00, 0x03, 'A', 'B', 'Z'}, " STX NUL ETX A B Z\n"},
      {{"--stxhl", "--hex"}, {0x78, 0x02, 0x00, 0x00}, " 78\n 02 00 00\n"},
      {{"--first", "02", "--last", "03", "--bcc"},
       {0x78, 0x02, 'A', 0x03, 0x7F},
       " x\n STX A ETX $7F\n"},
      {{"--first=02", "--last=03", "--no-bcc"}, {0x02, 'A', 0x03, 0x7F}, " STX A ETX\n $7F\n"},
      {{"--first", "02", "--last", "03", "--bcc-check", "sum", "--bcc-span", "start..stop"},
       {0x02, 'A', 0x03, 'F', 0x02, 'A', 0x03, 'G'},
       " STX A ETX F | BCC ok\n STX A ETX G | BCC BAD (got 47, expected 46)\n"},
      {{"--stxhl", "--hex", "--bcc-check", "xor"},
       {0x02, 0x00, 0x03, 'A', 0x03, 0x41},
       " 02 00 03 41 03 41 | BCC ok\n"},
      {{"--stxhl", "--no-bcc", "--first", "41"},
       {0x02, 'A', 0x00, 0x00, 'B'},
       " STX\n A NUL NUL\n B\n"},
      {{"--prod2", "--no-time", "--hex"},
       {0xAA, 0x00, 1, 2, 3, 4, 5, 0xBB, 0x00},
       " AA 00 01 02 03 04 05\n BB 00\n"},
      {{"--first", "2"}, {'A', ' ', 'B'}, " A\n  SP  B\n"},
      {{"--no-convert", "--first", "02", "--last", "03"}, {0x02, 'A', 0x03, 0x0D}, "A\n\n"},
      {{"--manch", "--hex", "--first", "7E", "--last", "7E"}, {0x55, 0xAA, 0xAA, 0x55}, " F0 0F\n"},
      {{}, {}, ""},
  };
  int n = 0;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.out);
    std::vector<std::string> args = r.args;
    args.push_back(WriteFile("in" + std::to_string(n++), r.input));
    const Result res = Decode(args);
    EXPECT_EQ(res.code, kExitOk) << res.err;
    EXPECT_EQ(res.out, r.out);
    EXPECT_EQ(res.err, "");
  }
}

TEST_F(DecodeTest, TimeStampsShowNoGapForACapture) {
  const std::string in = WriteFile("t", {0x02, 'A', 0x03, 0x02, 'B', 0x03});
  const Result r = Decode({"--time", "--no-convert", "--first", "02", "--last", "03", in});
  ASSERT_EQ(r.code, kExitOk);
  EXPECT_TRUE(std::regex_match(
      r.out, std::regex(R"((\[\d\d\.\d\d\d/0000000\]A\n)(\[\d\d\.\d\d\d/0000000\]B\n))")))
      << r.out;
}

TEST_F(DecodeTest, ShippedSampleShowsItsFrames) {
  const Result r = Decode({"--stxhl", TALMO_SOURCE_DIR "/samples/stxhl.cap"});
  ASSERT_EQ(r.code, kExitOk) << r.err;
  EXPECT_EQ(r.out,
            " STX NUL SI  I D = T A L M O - D E M O ETX F\n"
            " STX NUL DLE T = 2 1 . 5 C  SP  R H = 4 8 % ETX US \n"
            " STX NUL DLE T = 2 1 . 6 C  SP  R H = 4 7 % ETX DC3\n"
            " $FF NUL $7F\n"
            " STX NUL DC1 A L A R M : D O O R  SP  O P E N ETX H\n"
            " STX NUL DLE T = 2 1 . 6 C  SP  R H = 4 7 % ETX DC3\n"
            " STX NUL ENQ B Y E ETX ]\n");
}

// Timed captures: the blocks other writers use, and times at the end of
// the clock, decode as the live view would have shown them.
TEST_F(DecodeTest, TimedCapturesOfOtherWritersAndExtremeTimes) {
  constexpr std::int64_t kEnd = std::numeric_limits<std::int64_t>::max();
  const std::vector<std::string> frames = {"--first", "02", "--last", "03"};
  // An obsolete packet block: interface (16 bits), drops, time, lengths.
  const auto obsolete = [](std::uint16_t port, std::int64_t ns, std::string_view data) {
    const std::vector<std::uint8_t> packet = SerialRx(data);
    const auto n = static_cast<std::uint32_t>(packet.size());
    const auto t = static_cast<std::uint64_t>(ns);
    return Le({port, static_cast<std::uint32_t>(t >> 32), static_cast<std::uint32_t>(t), n, n}) +
           packet;
  };
  const auto simple = [](std::string_view data) {
    const std::vector<std::uint8_t> packet = SerialRx(data);
    return Le({static_cast<std::uint32_t>(packet.size())}) + packet;
  };
  const struct {
    const char* name;
    std::vector<std::uint8_t> file;
    std::vector<std::string> args;
    const char* out;
  } rows[] = {
      {"obsolete packet blocks",
       TTimed({"COM1", "COM2"})
           .Block(2, obsolete(1, kT0,
                              "\x02"
                              "ab"))
           .Block(2, obsolete(0, kT0 + kMs,
                              "\x02"
                              "cd\x03"))
           .Block(2, obsolete(1, kT0 + 2 * kMs, "\x03"))
           .Bytes,
       frames, "COM1  STX c d ETX\nCOM2  STX a b ETX\n"},
      {"simple packet blocks: the first port's, at the time of the packet before",
       TTimed({"COM1", "COM2"})
           .Rx(0, kT0,
               "\x02"
               "a")
           .Block(3, simple("bc\x03"
                            "\x02"
                            "d"))
           .Rx(0, kT0 + 1998 * kMs, "e")
           // Due 1999 ms after the packet before it, not after the file's start.
           .Block(3, simple("f"))
           .Rx(0, kT0 + 3996 * kMs, "\x03")
           .Bytes,
       frames, "COM1  STX a b c ETX\nCOM1  STX d e f ETX\n"},
      {"a line at the clock's end is one line",
       TTimed({"COM1"})
           .Rx(0, kEnd - 2 * kMs,
               "\x02"
               "ab")
           .Rx(0, kEnd - kMs, "cd\x03")
           .Bytes,
       frames, " STX a b c d ETX\n"},
      {"a line left open at the clock's end ends with the input",
       TTimed({"COM1"})
           .Rx(0, kEnd - 2 * kMs,
               "\x02"
               "ab")
           .Rx(0, kEnd - kMs, "cd")
           .Bytes,
       frames, " STX a b c d\n"},
  };
  int n = 0;
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    std::vector<std::string> args = r.args;
    args.push_back(WriteFile("t" + std::to_string(n++) + ".pcapng", r.file));
    const Result res = Decode(args);
    EXPECT_EQ(res.code, kExitOk) << res.err;
    EXPECT_EQ(res.out, r.out);
    EXPECT_EQ(res.err, "");
  }
}

// Lines without a stop sign end by their time-out; across several ports
// they end oldest due first, whether the next block wakes them all at once
// or the end of the input does, whichever port was heard from first.
TEST_F(DecodeTest, LinesEndedByTheirTimeOutAcrossPortsEndInTheOrderDue) {
  const std::vector<std::string> frames = {"--first", "02", "--last", "03"};
  const struct {
    const char* name;
    std::vector<std::uint8_t> file;
    const char* out;
  } rows[] = {
      {"woken at once by a later block: the port heard from last is due first",
       TTimed({"A", "B"})
           .Rx(1, kT0,
               "\x02"
               "b")
           .Rx(0, kT0 + 100 * kMs,
               "\x02"
               "a")
           .Rx(1, kT0 + 1000 * kMs, "c")  // B's line is now due after A's
           .Rx(0, kT0 + 10000 * kMs,
               "\x02"
               "n\x03")
           .Bytes,
       "A  STX a\nB  STX b c\nA  STX n ETX\n"},
      // (B's line would fall due first; the end of the input ends both.)
      {"lines open at the end of the input come out in the order they began",
       TTimed({"A", "B"})
           .Rx(0, kT0,
               "\x02"
               "a1")
           .Rx(1, kT0 + 10 * kMs,
               "\x02"
               "b1")
           .Rx(0, kT0 + 20 * kMs,
               "\x03"
               "\x02"
               "a2")  // A: due at 2019 ms
           .Rx(1, kT0 + 30 * kMs,
               "\x03"
               "\x02"
               "b2")                    // B: due at 2029 ms
           .Rx(0, kT0 + 40 * kMs, "x")  // A: due at 2039 ms
           .Bytes,
       "A  STX a 1 ETX\nB  STX b 1 ETX\nA  STX a 2 x\nB  STX b 2\n"},
      {"several due by one block, each port's own block after",
       TTimed({"A", "B", "C"})
           .Rx(2, kT0,
               "\x02"
               "c")
           .Rx(1, kT0 + 1 * kMs,
               "\x02"
               "b")
           .Rx(0, kT0 + 2 * kMs,
               "\x02"
               "a")
           .Rx(2, kT0 + 3 * kMs, "c")
           .Rx(0, kT0 + 5000 * kMs,
               "\x02"
               "z\x03")
           .Bytes,
       "B  STX b\nA  STX a\nC  STX c c\nA  STX z ETX\n"},
      {"a line that goes on past its first due time, twice, ends after one due between",
       TTimed({"A", "B"})
           .Rx(0, kT0,
               "\x02"
               "a")
           .Rx(0, kT0 + 1500 * kMs, "a")  // A: due at 3499 ms
           .Rx(1, kT0 + 1600 * kMs,
               "\x02"
               "b")                       // B: due at 3599 ms
           .Rx(0, kT0 + 3000 * kMs, "a")  // A: due at 4999 ms
           .Rx(0, kT0 + 10000 * kMs,
               "\x02"
               "n\x03")
           .Bytes,
       "B  STX b\nA  STX a a a\nA  STX n ETX\n"},
  };
  int n = 0;
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    std::vector<std::string> args = frames;
    args.push_back(WriteFile("due" + std::to_string(n++) + ".pcapng", r.file));
    const Result res = Decode(args);
    EXPECT_EQ(res.code, kExitOk) << res.err;
    EXPECT_EQ(res.out, r.out);
  }
}

// Modbus frames of a timed capture: cut by the silence of each port's own
// settings, found by length and CRC within what arrived at once, joined
// across a block boundary, and paired across directions and ports with
// the recorded times.
TEST_F(DecodeTest, ModbusFramesArePairedOnTheRecordedTimeline) {
  // 01 03 00 00 00 02 with its CRC, and the answer 1, 2 with its CRC.
  const std::string request("\x01\x03\x00\x00\x00\x02\xC4\x0B", 8);
  const std::string answer("\x01\x03\x04\x00\x01\x00\x02\x2A\x32", 9);
  const std::string kRequest =
      "unit 1 read holding registers (3) request address 0 count 2 | CRC ok | "
      "01 03 00 00 00 02 C4 0B";
  const std::string kAnswer =
      "unit 1 read holding registers (3) answer bytes 4 values 1, 2 | CRC ok";
  const std::string kAnswerBytes = " | 01 03 04 00 01 00 02 2A 32";
  const std::string kUnanswered =
      "unit 1 read holding registers (3) request unanswered within 1000.000 ms";
  const std::string k9600 = "/dev/ttyUSB0 9600 8N1";  // 3.5 characters: 3.6 ms
  // Write coil 0 on: its answer is the request again.
  const std::string kWrite("\x01\x05\x00\x00\xFF\x00\x8C\x3A", 8);
  const std::string kWriteLine =
      "unit 1 write single coil (5) request address 0 on | CRC ok | 01 05 00 00 FF 00 8C 3A";
  const struct {
    const char* name;
    std::vector<std::uint8_t> file;
    std::vector<std::string> args;
    std::string out;
  } rows[] = {
      {"a tap: the request sent, the answer received in two blocks within the silence",
       TTimed({"tap"}, k9600)
           .Rx(0, kT0, request, true)
           .Rx(0, kT0 + 5 * kMs, answer.substr(0, 4))
           .Rx(0, kT0 + 7 * kMs, answer.substr(4))
           .Bytes,
       {},
       "TX " + kRequest + "\nRX " + kAnswer + " | answer after 5.000 ms" + kAnswerBytes + "\n"},
      {"an adapter's late block: a frame split by more than the silence is joined",
       TTimed({"tap"}, k9600)
           .Rx(0, kT0, request, true)
           .Rx(0, kT0 + 5 * kMs, answer.substr(0, 4))
           .Rx(0, kT0 + 21 * kMs, answer.substr(4))
           .Bytes,
       {},
       "TX " + kRequest + "\nRX " + kAnswer + " | answer after 5.000 ms" + kAnswerBytes + "\n"},
      {"an adapter's block holding the request and its answer (one port on RS-485)",
       TTimed({"bus"}, k9600).Rx(0, kT0, request + answer).Bytes,
       {},
       "RX " + kRequest + "\nRX " + kAnswer + " | answer after 0.000 ms" + kAnswerBytes + "\n"},
      {"two ports: the request on one, the answer on the other; noise stays noise",
       TTimed({"master", "slave"}, k9600)
           .Rx(0, kT0, request)
           .Rx(1, kT0 + 12 * kMs, std::string("\0", 1) + answer)
           .Bytes,
       {},
       "master RX " + kRequest + "\nslave RX noise 1 byte | 00\nslave RX " + kAnswer +
           " | answer after 12.000 ms" + kAnswerBytes + "\n"},
      {"unanswered: told when due, before a later port's frame",
       TTimed({"master", "slave"}, k9600).Rx(0, kT0, request).Rx(1, kT0 + 1500 * kMs, answer).Bytes,
       {"--stamp=since"},
       "master RX [0.000000] " + kRequest + "\nmaster RX [1.000000] " + kUnanswered +
           "\nslave RX [1.500000] " + kAnswer + " | no request waiting" + kAnswerBytes + "\n"},
      {"a time-out of one's own",
       TTimed({"tap"}, k9600).Rx(0, kT0, request, true).Rx(0, kT0 + 60 * kMs, answer).Bytes,
       {"--answer-timeout", "50"},
       "TX " + kRequest +
           "\nTX unit 1 read holding registers (3) request unanswered within 50.000 ms\nRX " +
           kAnswer + " | no request waiting" + kAnswerBytes + "\n"},
      {"a tap whose slave never spoke: a write repeated is a request again, not its answer",
       TTimed({"tap"}, k9600).Rx(0, kT0, kWrite, true).Rx(0, kT0 + 100 * kMs, kWrite, true).Bytes,
       {},
       "TX " + kWriteLine +
           "\nTX unit 1 write single coil (5) request unanswered: the next request "
           "came first\nTX " +
           kWriteLine + "\n"},
      {"a raw capture: frames by length and CRC alone",
       std::vector<std::uint8_t>(request.begin(), request.end()),
       {},
       kRequest + "\n" + kUnanswered + "\n"},
  };
  int n = 0;
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    std::vector<std::string> args = {"--modbus", "rtu"};
    args.insert(args.end(), r.args.begin(), r.args.end());
    args.push_back(WriteFile("modbus" + std::to_string(n++) + ".cap", r.file));
    const Result res = Decode(args);
    EXPECT_EQ(res.code, kExitOk) << res.err;
    EXPECT_EQ(res.out, r.out);
  }
}

// A long run of exchanges on two ports: each request's chunk ends for
// silence while the other port is quiet, so only the queue of what falls
// due puts it before its answer, however many requests' time-outs lie
// ahead in it (the queue is pruned as they pile up).
TEST_F(DecodeTest, ModbusLongRunOfTwoPortsStaysInTimeOrder) {
  const std::string request("\x01\x03\x00\x00\x00\x02\xC4\x0B", 8);
  const std::string answer("\x01\x03\x04\x00\x01\x00\x02\x2A\x32", 9);
  const std::string name = "unit 1 read holding registers (3)";
  TTimed file({"master", "slave"}, "/dev/ttyUSB0 115200 8N1");  // silence: 1.75 ms
  std::string expected;
  std::int64_t t = kT0;
  for (int i = 0; i < 1000; ++i, t += 4 * kMs) {
    file.Rx(0, t, request);
    expected +=
        "master RX " + name + " request address 0 count 2 | CRC ok | 01 03 00 00 00 02 C4 0B\n";
    if (i % 7 == 6) {
      expected += "master RX " + name + " request unanswered: the next request came first\n";
      continue;
    }
    file.Rx(1, t + 2 * kMs, answer);
    expected += "slave RX " + name +
                " answer bytes 4 values 1, 2 | CRC ok | answer after 2.000 ms | 01 03 04 00 01 00 "
                "02 2A 32\n";
  }
  const Result res = Decode({"--modbus", "rtu", WriteFile("run.pcapng", file.Bytes)});
  EXPECT_EQ(res.code, kExitOk) << res.err;
  EXPECT_EQ(res.out, expected);
}

// A capture of many ports, each with a line waiting for its time-out:
// every block costs about the same however many ports wait (a cost that
// grew with them took minutes for a hostile file of thousands). The same
// number of blocks over 40 times the ports takes about as long.
// Thousands of ports with a line waiting each: every line whole, the
// oldest due first (what the cost per port is, bench/decode_timed.sh says).
TEST_F(DecodeTest, ManyPortsWithLinesWaitingDecodeWhole) {
  constexpr std::uint32_t kPackets = 100000, kPorts = 4000;
  std::vector<std::string> names;
  for (std::uint32_t i = 0; i < kPorts; ++i) names.push_back("p" + std::to_string(i));
  TTimed file(names);
  std::int64_t t = kT0;
  const std::uint32_t blocks = kPackets / kPorts;
  for (std::uint32_t b = 0; b < blocks; ++b)
    for (std::uint32_t i = 0; i < kPorts; ++i) file.Rx(i, t += 10, b == 0 ? "\x02" : "x");
  const std::string path = WriteFile("many.pcapng", file.Bytes);
  const Result res = Decode({"--first", "02", "--last", "03", path});
  EXPECT_EQ(res.code, kExitOk) << res.err;
  EXPECT_EQ(std::count(res.out.begin(), res.out.end(), '\n'), kPorts);
  std::string first = "p0  STX";
  for (std::uint32_t b = 1; b < blocks; ++b) first += " x";
  EXPECT_EQ(FirstLine(res.out), first);
}

// Standard input fed through a pipe in ragged pieces gives the same output
// as the whole file.
TEST_F(DecodeTest, StandardInputInPiecesMatchesTheFile) {
  std::mt19937 rng(7);
  std::vector<std::uint8_t> data(300000);
  for (auto& b : data)
    b = rng() % 4 == 0 ? static_cast<std::uint8_t>(rng() % 4) : static_cast<std::uint8_t>(rng());
  const std::string path = WriteFile("big", data);

  for (const std::vector<std::string>& opts : {std::vector<std::string>{"--stxhl"},
                                               {"--hex"},
                                               {"--first", "02", "--last", "03", "--bcc"}}) {
    std::vector<std::string> fileArgs = opts;
    fileArgs.push_back(path);
    const Result whole = Decode(fileArgs);
    ASSERT_EQ(whole.code, kExitOk);

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::thread writer([&] {
      std::mt19937 cut(11);
      std::size_t pos = 0;
      while (pos < data.size()) {
        const std::size_t n = std::min<std::size_t>(1 + cut() % 3000, data.size() - pos);
        ASSERT_EQ(write(fds[1], data.data() + pos, n), static_cast<ssize_t>(n));
        pos += n;
      }
      close(fds[1]);
    });
    std::vector<std::string> pipeArgs = opts;
    pipeArgs.push_back("-");
    const Result piped = Decode(pipeArgs, fds[0]);
    writer.join();
    close(fds[0]);
    EXPECT_EQ(piped.code, kExitOk);
    EXPECT_EQ(piped.out, whole.out);
  }
}

// A live source: each finished line is shown while the input is still
// open, as soon as the input pauses. The time-out only guards against a hang.
TEST_F(DecodeTest, LivePipeShowsFinishedLinesBeforeTheInputEnds) {
  int in[2], out[2];
  ASSERT_EQ(pipe(in), 0);
  ASSERT_EQ(pipe(out), 0);
  std::FILE* outFile = fdopen(out[1], "w");
  ASSERT_NE(outFile, nullptr);
  std::FILE* errFile = std::tmpfile();
  int code = -1;
  std::thread decode([&] {
    code = RunDecode({"--first", "02", "--last", "03", "-"}, in[0], outFile, errFile);
    std::fclose(outFile);
  });

  std::string got;
  // Reads what the decode writes until `want` lines have come, or the guard ends.
  auto readLines = [&](int want) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::count(got.begin(), got.end(), '\n') < want &&
           std::chrono::steady_clock::now() < until) {
      pollfd p{out[0], POLLIN, 0};
      if (poll(&p, 1, 200) <= 0) continue;
      char buf[256];
      const ssize_t n = read(out[0], buf, sizeof buf);
      if (n <= 0) break;
      got.append(buf, static_cast<std::size_t>(n));
    }
  };
  ASSERT_EQ(write(in[1],
                  "\x02"
                  "AB\x03\x02"
                  "C",
                  6),
            6);
  readLines(1);
  EXPECT_EQ(got, " STX A B ETX\n");
  ASSERT_EQ(write(in[1],
                  "D\x03\x02"
                  "E",
                  4),
            4);
  readLines(2);
  EXPECT_EQ(got, " STX A B ETX\n STX C D ETX\n");

  close(in[1]);  // the end of input shows the unfinished line
  readLines(3);
  decode.join();
  close(in[0]);
  close(out[0]);
  EXPECT_EQ(code, kExitOk);
  EXPECT_EQ(got, " STX A B ETX\n STX C D ETX\n STX E\n");
  std::fclose(errFile);
}

// A failed write ends the decode of a long input with one line.
TEST_F(DecodeTest, OutputThatCannotBeWrittenIsOneLineAndExitOne) {
  int in[2];
  ASSERT_EQ(pipe(in), 0);
  const test::TSignalScope pipe(SIGPIPE, SIG_IGN);  // the feeder learns of the end by EPIPE
  std::thread feeder([&] {
    // Lines keep coming until the decode stops reading (bounded, so that a
    // decode that reads on to the end still ends).
    const std::string piece = [] {
      std::string p;
      for (int i = 0; i < 1000; ++i)
        p += "\x02"
             "ABC\x03";
      return p;
    }();
    for (int i = 0; i < 2000 && write(in[1], piece.data(), piece.size()) > 0; ++i) {
    }
    close(in[1]);
  });
  std::FILE* full = std::fopen("/dev/full", "w");
  ASSERT_NE(full, nullptr);
  char* errBuf = nullptr;
  std::size_t errLen = 0;
  std::FILE* err = open_memstream(&errBuf, &errLen);
  const int code = RunDecode({"--stxhl", "-"}, in[0], full, err);
  std::fclose(err);
  close(in[0]);  // the feeder's next write fails and it ends
  feeder.join();
  std::fclose(full);
  EXPECT_EQ(code, kExitFailure);
  EXPECT_EQ(std::string(errBuf, errLen),
            "talmocli: cannot write output: No space left on device\n");
  std::free(errBuf);
}

}  // namespace
}  // namespace talmo
