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
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

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
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.message);
    const Result res = Decode(r.args);
    EXPECT_EQ(res.code, kExitUsage);
    EXPECT_EQ(FirstLine(res.err), r.message);
    EXPECT_NE(res.err.find("usage: talmocli decode"), std::string::npos);
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
  signal(SIGPIPE, SIG_IGN);  // the feeder learns of the end by EPIPE
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
