// The built `talmocli play --capture` as a user runs it: a timed capture
// written here, replayed into a pseudo-terminal whose far end the test
// reads. Timing is measured by bench/replay, not asserted here.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "capture/pcapng.h"
#include "support/cli_child.h"
#include "support/pty_pair.h"
#include "support/temp_dir.h"

namespace {

using talmo::pcapng::TDirection;
using talmo::pcapng::TEvent;
using talmo::test::TPtyPair;
using talmo::test::TTempDir;
using namespace std::chrono_literals;

std::string Talmocli() {
  const char* e = std::getenv("TALMOCLI");
  return e && *e ? e : TALMOCLI_PATH;
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

struct TPkt {
  std::int64_t Ms;
  TEvent Event;
  std::string Bytes;
  std::uint32_t Interface = 0;
};

// A capture as the monitor writes it: received, sent and status packets.
std::vector<std::uint8_t> Capture(const std::vector<TPkt>& packets,
                                  const std::vector<std::string>& names = {"COM5"}) {
  std::vector<std::uint8_t> out;
  talmo::pcapng::AppendSectionHeader(out, "test");
  for (const std::string& n : names)
    talmo::pcapng::AppendInterface(out, n, "/dev/ttyUSB0 19200 8N1");
  for (const TPkt& p : packets) {
    talmo::pcapng::TPacket w;
    w.Interface = p.Interface;
    w.TimeNs = 1700000000LL * 1000000000 + p.Ms * 1000000;
    w.Event = p.Event;
    w.Direction = p.Event == TEvent::TxData   ? TDirection::Out
                  : p.Event == TEvent::RxData ? TDirection::In
                                              : TDirection::Unknown;
    w.Data = reinterpret_cast<const std::uint8_t*>(p.Bytes.data());
    w.Size = p.Bytes.size();
    if (p.Event == TEvent::Status) w.Comment = "port opened";
    talmo::pcapng::AppendPacket(out, w);
  }
  return out;
}

struct TRun {
  int Code = -1;
  std::string Out, Err, Line;  // Line: what the far end of the pty read
};

class ReplayCli : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    const std::string path = FDir / name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
    return path;
  }

  // Runs talmocli; with `line` its far end is read meanwhile (from
  // `readAfter` on, to hold the reader back).
  TRun Run(const std::vector<std::string>& args, TPtyPair* line = nullptr,
           std::chrono::milliseconds readAfter = 0ms) {
    talmo::test::TChildOutput files;
    files.File = FDir / "out.txt";
    files.ErrFile = FDir / "err.txt";
    std::vector<std::string> argv = {"play"};
    argv.insert(argv.end(), args.begin(), args.end());
    talmo::test::TChild child(Talmocli(), argv, FDir.Path(), files);
    TRun r;
    const auto start = std::chrono::steady_clock::now();
    for (bool done = false; !done;) {
      r.Code = child.Wait(0ms);
      done = r.Code >= 0;
      if (std::chrono::steady_clock::now() - start > 60s) {
        ADD_FAILURE() << "talmocli did not end";
        break;
      }
      if (!line || std::chrono::steady_clock::now() - start < readAfter) {
        std::this_thread::sleep_for(2ms);
        continue;
      }
      pollfd p{line->Master, POLLIN, 0};
      if (::poll(&p, 1, 5) > 0 && (p.revents & POLLIN)) {
        char buf[4096];
        const long n = ::read(line->Master, buf, sizeof buf);
        if (n > 0) r.Line.append(buf, static_cast<std::size_t>(n));
      }
    }
    if (line) {  // what is still in the pty after the end
      char buf[4096];
      long n;
      while ((n = ::read(line->Master, buf, sizeof buf)) > 0)
        r.Line.append(buf, static_cast<std::size_t>(n));
    }
    r.Out = Slurp(files.File);
    r.Err = Slurp(files.ErrFile);
    return r;
  }

  TTempDir FDir{"talmo-replay"};
};

// Every byte value, so nothing on the way may change one.
const std::string kAllBytes = [] {
  std::string s;
  for (int i = 0; i < 256; ++i) s += static_cast<char>(i);
  return s;
}();

// Received blocks with gaps of 0, 1, 5, 50 and 200 ms, sent blocks and
// status packets between them.
const std::vector<TPkt> kSession = {
    {0, TEvent::Status, ""},        {3, TEvent::TxData, "?\r\n"},
    {10, TEvent::RxData, "\x02OK"}, {10, TEvent::RxData, std::string("\0\xFF", 2)},
    {11, TEvent::RxData, "\r\n"},   {12, TEvent::Status, ""},
    {16, TEvent::RxData, "abc"},    {40, TEvent::TxData, "!"},
    {66, TEvent::RxData, ""},       {66, TEvent::RxData, kAllBytes},
    {266, TEvent::RxData, "\x03"},
};

TEST_F(ReplayCli, ReceivedOrSentBytesArriveAsRecordedNothingAdded) {
  const std::string cap = Write("session.pcapng", Capture(kSession));
  struct Case {
    bool sent;
    std::string bytes;
    int blocks;
  } cases[] = {
      {false, std::string("\x02OK\0\xFF\r\nabc", 10) + kAllBytes + "\x03", 6},
      {true, "?\r\n!", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sent ? "sent" : "received");
    TPtyPair line;
    ASSERT_TRUE(line.Open());
    std::vector<std::string> args = {"--capture", cap, "--device", line.Path};
    if (c.sent) args.push_back("--sent");
    const TRun r = Run(args, &line);
    EXPECT_EQ(r.Code, 0) << r.Err;
    EXPECT_EQ(r.Line, c.bytes);
    EXPECT_EQ(r.Err.rfind("talmocli: replaying '" + cap +
                              "', interface 'COM5' (/dev/ttyUSB0 "
                              "19200 8N1): " +
                              std::to_string(c.blocks) + " " + (c.sent ? "sent" : "received"),
                          0),
              0u)
        << r.Err;
    EXPECT_EQ(std::count(r.Err.begin(), r.Err.end(), '\n'), 1) << r.Err;
    EXPECT_EQ(std::count(r.Out.begin(), r.Out.end(), '\n'), c.blocks) << r.Out;
    EXPECT_EQ(r.Out.rfind("T+0.", 0), 0u) << r.Out;
  }
}

TEST_F(ReplayCli, DryRunListsTheSchedule) {
  const std::string cap = Write("session.pcapng", Capture(kSession));
  std::string all = "00";
  for (int i = 1; i < 256; ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, " %02X", i);
    all += hex;
  }
  struct Case {
    std::vector<std::string> options;
    std::string out;
  } cases[] = {
      {{},
       "T+0.000 TX[3] 02 4F 4B\nT+0.000 TX[2] 00 FF\nT+1.000 TX[2] 0D 0A\nT+6.000 TX[3] 61 62 "
       "63\nT+56.000 TX[256] " +
           all + "\nT+256.000 TX[1] 03\n"},
      {{"--speed", "3"},
       "T+0.000 TX[3] 02 4F 4B\nT+0.000 TX[2] 00 FF\nT+0.333 TX[2] 0D 0A\nT+2.000 TX[3] 61 62 "
       "63\nT+18.666 TX[256] " +
           all + "\nT+85.333 TX[1] 03\n"},
      {{"--sent", "--speed=0.5"}, "T+0.000 TX[3] 3F 0D 0A\nT+74.000 TX[1] 21\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"--dry-run", "--capture", cap};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const TRun r = Run(args);
    EXPECT_EQ(r.Code, 0) << r.Err;
    EXPECT_EQ(r.Out, c.out);
  }
}

TEST_F(ReplayCli, TheInterfaceIsChosenAndSaid) {
  const std::string cap = Write("two.pcapng", Capture({{0, TEvent::TxData, "q"},
                                                       {1, TEvent::RxData, "b", 1},
                                                       {2, TEvent::RxData, "a", 0},
                                                       {3, TEvent::RxData, "c", 1}},
                                                      {"COM5", "COM6"}));
  const TRun first = Run({"--dry-run", "--capture", cap});
  EXPECT_EQ(first.Out, "T+0.000 TX[1] 61\n");
  EXPECT_NE(first.Err.find("interface 'COM5' (/dev/ttyUSB0 19200 8N1), 1 of 2 (--interface "
                           "picks another): 1 received blocks"),
            std::string::npos)
      << first.Err;
  const TRun named = Run({"--dry-run", "--capture", cap, "--interface", "COM6"});
  EXPECT_EQ(named.Out, "T+0.000 TX[1] 62\nT+2.000 TX[1] 63\n");
  EXPECT_NE(named.Err.find("interface 'COM6' (/dev/ttyUSB0 19200 8N1), 2 of 2: 2 received"),
            std::string::npos)
      << named.Err;
}

TEST_F(ReplayCli, ACutCaptureReplaysItsWholeBlocksThenSaysWhereItEnds) {
  std::vector<std::uint8_t> file =
      Capture({{0, TEvent::RxData, "one"}, {1, TEvent::RxData, "two"}, {2, TEvent::RxData, "3"}});
  const std::size_t whole = file.size();
  const std::size_t last = Capture({{0, TEvent::RxData, "one"}, {1, TEvent::RxData, "two"}}).size();
  file.resize(whole - 10);
  const std::string cap = Write("cut.pcapng", file);
  TPtyPair line;
  ASSERT_TRUE(line.Open());
  const TRun r = Run({"--capture", cap, "--device", line.Path}, &line);
  EXPECT_EQ(r.Code, 1);
  EXPECT_EQ(r.Line, "onetwo");
  EXPECT_EQ(r.Err.substr(r.Err.rfind("talmocli:")),
            "talmocli: '" + cap + "' ends at byte " + std::to_string(whole - 10) +
                ", inside the block at byte " + std::to_string(last) + " of " +
                std::to_string(whole - last) +
                " bytes; the 2 received blocks before it were replayed\n");
}

TEST_F(ReplayCli, BadInputIsOneClearLineAndNoPortIsOpened) {
  const std::string good = Write("good.pcapng", Capture({{0, TEvent::RxData, "x"}}));
  std::vector<std::uint8_t> other = Capture({{0, TEvent::RxData, "x"}});
  other[other[4] + 8] = 1;  // the interface's link type (after the section header): Ethernet
  const std::string ethernet = Write("eth.pcapng", other);
  const std::string text = Write("notes.pcapng", {'h', 'e', 'l', 'l', 'o', '\n', '.', '.'});
  const std::string empty = Write("empty.pcapng", {});
  const std::string status = Write("status.pcapng", Capture({{0, TEvent::Status, ""}}));
  const std::string fifo = FDir / "fifo.pcapng";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  TPtyPair line;
  ASSERT_TRUE(line.Open());
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int code;
    std::string says;
  } cases[] = {
      {"not pcapng",
       {"--capture", text, "--device", line.Path},
       1,
       "'" + text + "' is not a pcapng file: no section header at byte 0"},
      {"empty file", {"--capture", empty, "--dry-run"}, 1, "'" + empty + "' is empty"},
      {"another link type",
       {"--capture", ethernet, "--device", line.Path},
       1,
       "has interface 'COM5' of link type 1; only serial captures (link type 250) are replayed"},
      {"only status packets",
       {"--capture", status, "--device", line.Path},
       1,
       "has no received blocks with bytes to replay"},
      {"missing file", {"--capture", FDir / "none.pcapng", "--dry-run"}, 1, "cannot read '"},
      {"a folder", {"--capture", FDir.Path(), "--dry-run"}, 1, "cannot read '"},
      {"a FIFO", {"--capture", fifo, "--dry-run"}, 1, "not a regular file"},
      {"unknown interface",
       {"--capture", good, "--dry-run", "--interface", "COM9"},
       1,
       "has no interface 'COM9' (its interfaces: 'COM5')"},
      {"speed zero",
       {"--capture", good, "--dry-run", "--speed", "0"},
       2,
       "bad value for --speed: '0' (a number from 0.001 to 1000 expected"},
      {"speed too high",
       {"--capture", good, "--dry-run", "--speed", "1001"},
       2,
       "bad value for --speed: '1001'"},
      {"speed not a number",
       {"--capture", good, "--dry-run", "--speed", "fast"},
       2,
       "bad value for --speed: 'fast'"},
      {"no port", {"--capture", good}, 2, "give --dry-run, or either --port COMn or --device PATH"},
      {"dry run on a port",
       {"--capture", good, "--dry-run", "--device", line.Path},
       2,
       "--dry-run plays without a port"},
      {"a script too",
       {"--capture", good, "--dry-run", "script.txt"},
       2,
       "unexpected word 'script.txt'"},
      {"--until", {"--capture", good, "--dry-run", "--until", "5"}, 2, "--until is for scripts"},
      {"no file", {"--capture=", "--dry-run"}, 2, "--capture needs a FILE"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TRun r = Run(c.args);
    EXPECT_EQ(r.Code, c.code);
    EXPECT_EQ(r.Out, "");
    EXPECT_EQ(r.Err.rfind("talmocli: ", 0), 0u) << r.Err;
    EXPECT_NE(r.Err.find(c.says), std::string::npos) << r.Err;
    if (c.code == 1) {
      EXPECT_EQ(std::count(r.Err.begin(), r.Err.end(), '\n'), 1) << r.Err;
    }
  }
  char b;
  EXPECT_EQ(::read(line.Master, &b, 1), -1) << "a refused replay sent something";
}

TEST_F(ReplayCli, AReaderThatHoldsBackGetsEveryByteOnceOrTheStallEndsIt) {
  // 48 KiB at once: more than the pty and the write queue take.
  std::vector<TPkt> burst;
  std::string all;
  for (int i = 0; i < 48; ++i) {
    std::string block(1024, static_cast<char>('A' + i % 26));
    block[0] = static_cast<char>(i);
    burst.push_back({0, TEvent::RxData, block});
    all += block;
  }
  const std::string cap = Write("burst.pcapng", Capture(burst));
  {
    SCOPED_TRACE("reader starts late");
    TPtyPair line;
    ASSERT_TRUE(line.Open());
    const TRun r = Run({"--capture", cap, "--device", line.Path, "--stall", "5"}, &line, 500ms);
    EXPECT_EQ(r.Code, 0) << r.Err;
    EXPECT_TRUE(r.Line == all) << r.Line.size() << " bytes read of " << all.size();
  }
  {
    SCOPED_TRACE("reader never reads");
    TPtyPair line;
    ASSERT_TRUE(line.Open());
    const TRun r = Run({"--capture", cap, "--device", line.Path, "--stall", "1"});
    EXPECT_EQ(r.Code, 1);
    EXPECT_NE(r.Err.find(line.Path + ": the port has taken nothing for 1 s; "), std::string::npos)
        << r.Err;
  }
}

}  // namespace
