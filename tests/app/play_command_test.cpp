// talmocli play: dry runs against the virtual clock (golden outputs), bad
// input, and a script played on a pseudo-terminal.

#include "app/play_command.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <poll.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "support/pty_pair.h"
#include "support/settings_file.h"
#include "support/temp_dir.h"

namespace talmo {
namespace {

struct Result {
  int code;
  std::string out, err;
};

std::string ReadAll(std::FILE* f) {
  std::rewind(f);
  std::string s;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  std::fclose(f);
  return s;
}

Result Play(const std::vector<std::string>& args) {
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  const int code = RunPlay(args, out, err);
  return {code, ReadAll(out), ReadAll(err)};
}

class PlayCommand : public ::testing::Test {
 protected:
  std::string Script(const std::string& text, const std::string& name = "s.txt") {
    const std::string path = FDir + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  test::TTempDir FTemp{"talmo-play"};
  std::string FDir = FTemp.Path();
};

TEST_F(PlayCommand, DryRunGoldenOutputs) {
  struct Case {
    const char* name;
    std::string script;
    std::vector<std::string> options;
    std::string out;
  } cases[] = {
      {"every command",
       "; demo\r\nm100 $02 ABC $03\r\nl2 250 X\r\nw15 500 Y\r\n   \r\n // skipped\r\ns1 %h%m%s $2E "
       "%3\r\nM5 no\r\n",
       {"--at", "2018-12-17T12:00:10.200"},
       "T+1 TX[5] 02 41 42 43 03\n"
       "T+101 TX[1] 58\n"
       "T+351 TX[1] 58\n"
       "T+601 Wait 4699 ms\n"
       "T+5299 TX[1] 59\n"
       "T+5299 TX[10] 31 32 30 30 31 35 2E 34 39 39\n"
       "T+6300 End\n"},
      {"restart until the limit",
       "m100 X\nr\n",
       {"--at", "2018-12-17T12:00:00.000", "--until", "250"},
       "T+1 TX[1] 58\nT+101 TX[1] 58\nT+201 TX[1] 58\n"},
      {"limit is inclusive",
       "m100 X\nr\n",
       {"--at", "2018-12-17T12:00:00.000", "--until", "201"},
       "T+1 TX[1] 58\nT+101 TX[1] 58\nT+201 TX[1] 58\n"},
      {"date rolls over",
       "m0 %Y%M%D%h%m%s%3\n",
       {"--at", "2099-12-31T23:59:59.999"},
       "T+1 TX[15] 30 30 30 31 30 31 30 30 30 30 30 30 30 30 30\nT+2 End\n"},
      {"leap day",
       "m0 %D%M\n",
       {"--at", "2024-02-28T23:59:59.999"},
       "T+1 TX[4] 32 39 30 32\nT+2 End\n"},
      {"time without milliseconds",
       "m0 %3\n",
       {"--at", "2018-12-17T12:00:00"},
       "T+1 TX[3] 30 30 31\nT+2 End\n"},
      {"no data lines",
       "; only\r\n/ comments\r\n",
       {"--at", "2018-12-17T12:00:00.000"},
       "T+1 End\n"},
      {"wait across the minute",
       "w15 500 X\n",
       {"--at", "2018-12-17T12:00:16.000"},
       "T+1 Wait 59499 ms\nT+59499 TX[1] 58\nT+59499 End\n"},
      {"wait beyond the limit",
       "w15 500 X\n",
       {"--at", "2018-12-17T12:00:16.000", "--until", "59498"},
       "T+1 Wait 59499 ms\n"},
      {"lone CR line breaks, 8-bit bytes",
       "m0 \xC4\rm0 $00\r",
       {"--at", "2018-12-17T12:00:00.000"},
       "T+1 TX[1] C4\nT+2 TX[1] 00\nT+3 End\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = {"--dry-run"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.push_back(Script(c.script));
    const Result r = Play(args);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, "");
  }
}

TEST_F(PlayCommand, BadInputGivesOneClearLine) {
  const std::string good = Script("m1 X\n");
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int code;
    std::string mentions;
  } cases[] = {
      {"missing script", {"--dry-run", FDir + "/none.txt"}, 1, FDir + "/none.txt"},
      {"script is a folder", {"--dry-run", FDir}, 1, FDir},
      {"no script", {"--dry-run"}, 2, "no SCRIPT"},
      {"two scripts", {"--dry-run", good, good}, 2, "more than one SCRIPT"},
      {"bad --at", {"--dry-run", "--at", "yesterday", good}, 2, "yesterday"},
      {"impossible date", {"--dry-run", "--at", "2018-02-30T00:00:00.000", good}, 2, "2018-02-30"},
      {"hour 24", {"--dry-run", "--at", "2018-02-03T24:00:00.000", good}, 2, "--at"},
      {"negative --until", {"--dry-run", "--until", "-5", good}, 2, "--until"},
      {"no port and no dry run", {good}, 2, "--port"},
      {"dry run with a port", {"--dry-run", "--device", "/dev/null", good}, 2, "--dry-run"},
      {"unknown option", {"--dry-run", "--fast", good}, 2, "--fast"},
      {"bad parity", {"--device", "/dev/null", "--parity", "mark", good}, 2, "mark"},
      {"device that does not exist", {"--device", FDir + "/ttyNone", good}, 1, FDir + "/ttyNone"},
      {"unknown port", {"--port", "COM250", good}, 1, "COM250"},
      // Numbers are plain digits: no sign, no spaces.
      {"baud with a leading space",
       {"--device", FDir + "/ttyNone", "--baud", " 9600", good},
       2,
       "' 9600'"},
      {"baud with a plus sign",
       {"--device", FDir + "/ttyNone", "--baud", "+9600", good},
       2,
       "'+9600'"},
      {"baud inline with a plus sign",
       {"--device", FDir + "/ttyNone", "--baud=+9600", good},
       2,
       "--baud"},
      {"baud with a trailing space",
       {"--device", FDir + "/ttyNone", "--baud", "9600 ", good},
       2,
       "'9600 '"},
      {"baud in hex", {"--device", FDir + "/ttyNone", "--baud", "0x2580", good}, 2, "'0x2580'"},
      {"until with a plus sign", {"--dry-run", "--until", "+5", good}, 2, "--until"},
      {"until with a tab", {"--dry-run", "--until", "\t5", good}, 2, "--until"},
      {"until far too large",
       {"--dry-run", "--until", "99999999999999999999999", good},
       2,
       "--until"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Result r = Play(c.args);
    EXPECT_EQ(r.code, c.code);
    EXPECT_EQ(r.out, "");
    // One line says what is wrong; a usage error is followed by where to
    // read the usage, as in every command.
    const std::string first = r.err.substr(0, r.err.find('\n') + 1);
    EXPECT_NE(first.find(c.mentions), std::string::npos) << r.err;
    EXPECT_EQ(r.err.substr(first.size()), c.code == 2 ? "Try 'talmocli play --help'.\n" : "")
        << r.err;
  }
}

TEST_F(PlayCommand, NumbersWithLeadingZerosAreStillPlainDigits) {
  const Result r = Play({"--dry-run", "--at", "2018-12-17T12:00:00.000", "--until", "0000150",
                         Script("m100 X\nr\n")});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "T+1 TX[1] 58\nT+101 TX[1] 58\n");
}

// An output that cannot be written is a failure with one line saying why,
// for a dry run and for a run on a port alike.
TEST_F(PlayCommand, OutputThatCannotBeWrittenIsOneLineAndExitOne) {
  test::TPtyPair line;
  ASSERT_TRUE(line.Open(test::TPtyPair::TMaster::Blocking));
  const char* const name = line.Path.c_str();
  const std::string script = Script("m1 X\r\nm1 Y\r\n");
  const std::vector<std::string> runs[] = {{"--dry-run", script}, {"--device", name, script}};
  for (const auto& args : runs) {
    SCOPED_TRACE(args[0]);
    std::FILE* full = std::fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    std::FILE* err = std::tmpfile();
    const int code = RunPlay(args, full, err);
    std::fclose(full);
    EXPECT_EQ(code, 1);
    EXPECT_EQ(ReadAll(err), "talmocli: cannot write output: No space left on device\n");
  }
}

// A port in use by another program is named by its port name and its
// device path.
TEST_F(PlayCommand, BusyPortIsNamedWithItsDevicePath) {
  test::TPtyPair line;
  ASSERT_TRUE(line.Open(test::TPtyPair::TMaster::Blocking));
  const char* const name = line.Path.c_str();
  test::WriteSettings(FDir, test::PortListed(name, "COM5"));
  setenv("XDG_CONFIG_HOME", FDir.c_str(), 1);
  // Another program holds the device.
  const int holder = ::open(name, O_RDWR | O_NOCTTY);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
  const Result r = Play({"--port", "COM5", "--until", "100", Script("m1 X\r\n")});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_EQ(r.err.rfind("talmocli: COM5: ", 0), 0u) << r.err;
  EXPECT_NE(r.err.find(name), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("busy"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("\\\\.\\"), std::string::npos) << r.err;
  ::close(holder);
}

TEST_F(PlayCommand, ScriptArrivesByteForByteOnAPseudoTerminal) {
  test::TPtyPair line;
  ASSERT_TRUE(line.Open(test::TPtyPair::TMaster::Blocking));
  const int master = line.Master;
  const char* const name = line.Path.c_str();
  // Kept open so the line does not hang up between the port's close and the
  // test's read.
  std::string expected;
  std::string script;
  for (int i = 0; i < 40; ++i) {
    script += "m2 'line_" + std::to_string(i) + " $00$0D$0A$FF $" + (i % 2 ? "7F" : "80") + "\r\n";
    expected +=
        "line " + std::to_string(i) + std::string("\x00\r\n\xFF", 4) + (i % 2 ? "\x7F" : "\x80");
  }
  // A line longer than the port's write queue goes out whole.
  const std::string big(3000, 'B');
  script += "l2 1 " + big + "\r\n";
  expected += big + big;
  const Result r = Play({"--device", name, "--baud", "115200", Script(script)});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  std::string got;
  fcntl(master, F_SETFL, O_NONBLOCK);
  char buf[4096];
  ssize_t n;
  while ((n = ::read(master, buf, sizeof buf)) > 0) got.append(buf, static_cast<std::size_t>(n));
  EXPECT_EQ(got.size(), expected.size());
  EXPECT_EQ(got, expected);
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 43);
  EXPECT_NE(r.out.find(" End\n"), std::string::npos);
}

// A reader that stops for longer than the port waits for room in its
// queue: the line being sent when the queue refused goes on from where it
// was, never again from its start; play ends when every byte has gone out.
// A reader that never comes back ends play with one line and exit 1.
TEST_F(PlayCommand, AStalledReaderGetsEveryByteOnceOrPlayEndsAndSaysSo) {
  const struct {
    const char* name;
    std::chrono::milliseconds pause;  // the reader stops after 20 KB for this long
    const char* stall;                // play's bound
    int code;
  } rows[] = {
      {"reader back after 3 s", std::chrono::milliseconds(3000), "5", 0},
      {"reader gone for good", std::chrono::milliseconds(-1), "2", 1},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    test::TPtyPair line;
    ASSERT_TRUE(line.Open(test::TPtyPair::TMaster::Blocking));
    std::string script, expected;
    for (int i = 0; i < 40; ++i) {
      const std::string text(2997, static_cast<char>('A' + i % 26));
      script += "m1 " + text + "\r\n";
      expected += text;
    }
    std::string got;
    std::atomic<bool> done{false};
    std::thread reader([&] {
      char buf[4096];
      bool paused = false;
      while (!done) {
        if (!paused && got.size() >= 20000) {
          paused = true;
          if (r.pause.count() < 0) return;
          std::this_thread::sleep_for(r.pause);
        }
        pollfd p{line.Master, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const ssize_t n = ::read(line.Master, buf, sizeof buf);
        if (n <= 0) return;
        got.append(buf, static_cast<std::size_t>(n));
      }
    });
    const Result res =
        Play({"--device", line.Path, "--baud", "115200", "--stall", r.stall, Script(script)});
    // What was written before play ended is still in the line.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    done = true;
    reader.join();
    EXPECT_EQ(res.code, r.code) << res.err;
    if (r.code == 0) {
      EXPECT_EQ(res.err, "");
      EXPECT_EQ(got.size(), expected.size());
      EXPECT_TRUE(got == expected) << "every byte once, in order";
      EXPECT_NE(res.out.find(" End\n"), std::string::npos);
    } else {
      EXPECT_EQ(
          res.err.rfind("talmocli: " + line.Path + ": the port has taken nothing for 2 s; ", 0), 0u)
          << res.err;
      EXPECT_EQ(std::count(res.err.begin(), res.err.end(), '\n'), 1) << res.err;
      EXPECT_TRUE(got == expected.substr(0, got.size())) << "nothing twice, nothing out of order";
    }
  }
}

TEST_F(PlayCommand, PortNamePlaysOnTheBuiltInLoopback) {
  setenv("XDG_CONFIG_HOME", FDir.c_str(), 1);  // no user port entries
  const Result r = Play({"--port", "COM99", "--until", "5000", Script("l3 5 $02 ABC $03\r\n")});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const std::string tx = " TX[5] 02 41 42 43 03\n";
  std::size_t count = 0;
  for (std::size_t at = r.out.find(tx); at != std::string::npos; at = r.out.find(tx, at + 1))
    ++count;
  EXPECT_EQ(count, 3u) << r.out;
  EXPECT_NE(r.out.find(" End\n"), std::string::npos);
}

}  // namespace
}  // namespace talmo
