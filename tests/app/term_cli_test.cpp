// The console as a user runs it: the built talmocli on a pseudo-terminal
// that stands in for the user's terminal, and another for the board.

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "support/cli_child.h"
#include "support/pty_pair.h"
#include "support/read_until.h"
#include "support/temp_dir.h"

namespace talmo {
namespace {

using namespace std::chrono_literals;
using test::ReadUntil;
using test::TChild;
using test::TChildOutput;
using test::TPtyPair;
using test::TTempDir;

// The terminal's settings as `stty -g` compares them.
bool SameSettings(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

void Write(int fd, const std::string& bytes) {
  ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

// Reads what the board (the device's far end) got until it has `n` bytes.
std::string BoardGot(int master, std::size_t n) {
  std::string got;
  ReadUntil(master, got, [n](const std::string& s) { return s.size() >= n; });
  return got;
}

// The lines of a terminal's output (CR LF), or of a pipe's (LF), that hold `word`.
std::vector<std::string> LinesWith(const std::string& text, const std::string& word) {
  std::vector<std::string> lines;
  std::size_t from = 0;
  while (from < text.size()) {
    std::size_t nl = text.find('\n', from);
    if (nl == std::string::npos) nl = text.size();
    std::string line = text.substr(from, nl - from);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find(word) != std::string::npos) lines.push_back(line);
    from = nl + 1;
  }
  return lines;
}

struct TConsole {
  TTempDir Dir{"talmo-term"};
  TPtyPair Board, Tty;
  termios Before{};

  TConsole() {
    EXPECT_TRUE(Board.Open());
    // The user's terminal as a shell leaves it: line editing and echo on.
    EXPECT_TRUE(Tty.Open(TPtyPair::TMaster::NonBlocking, TPtyPair::TSlave::AsMade));
    ::tcgetattr(Tty.Slave, &Before);
  }
  std::unique_ptr<TChild> Start(std::vector<std::string> args, TChildOutput o = {}) {
    args.insert(args.begin(), {"term", "--device", Board.Path});
    if (o.Input < 0) o.Input = Tty.Slave;
    if (o.OutputFd < 0) o.OutputFd = Tty.Slave;
    auto child = std::make_unique<TChild>(TALMOCLI_PATH, args, Dir.Path(), o);
    EXPECT_TRUE(child->WaitErrLine("connected to")) << child->ErrText;
    return child;
  }
  // What the console showed on the user's terminal until `word` came.
  // Each call looks only at what came after the word the call before found.
  std::string Shown(const std::string& word) {
    ReadUntil(Tty.Master, FShown, [this, &word](const std::string& s) {
      return s.find(word, FFrom) != std::string::npos;
    });
    const std::size_t at = FShown.find(word, FFrom);
    if (at != std::string::npos) FFrom = at + word.size();
    return FShown;
  }
  bool Restored() {
    termios after{};
    ::tcgetattr(Tty.Slave, &after);
    return SameSettings(Before, after);
  }

 private:
  std::string FShown;
  std::size_t FFrom = 0;
};

TEST(TermCli, KeysGoOutAsTypedAndTheBoardsLinesComeBackStampedAsTheCaptureHasThem) {
  TConsole c;
  const std::string capture = c.Dir / "run.pcapng";
  auto child = c.Start({"--baud", "115200", "--stamp", "--capture", capture});
  Write(c.Board.Master, "boot ok\r\ntemp=21.5\r\n");
  const std::string shown = c.Shown("temp=21.5");
  const std::vector<std::string> live = LinesWith(shown, "] ");
  ASSERT_EQ(live.size(), 2u) << shown;
  EXPECT_NE(live[0].find("] boot ok"), std::string::npos) << live[0];
  EXPECT_EQ(live[0][0], '[');
  EXPECT_EQ(live[0].find("] "), 13u) << "[hh:mm:ss.mmm] " << live[0];

  // Ctrl+C goes to the board, Enter as CR; then every byte value through
  // the hex line, and the command key twice as itself.
  Write(c.Tty.Master, "hello\r\x03");
  EXPECT_EQ(BoardGot(c.Board.Master, 7), "hello\r\x03");
  std::string hex = "\x14x", all;
  for (int b = 0; b < 256; ++b) {
    char pair[4];
    std::snprintf(pair, sizeof pair, "%02x ", b);
    hex += pair;
    all += static_cast<char>(b);
  }
  Write(c.Tty.Master, hex + "\r\x14\x14");
  EXPECT_EQ(BoardGot(c.Board.Master, 257), all + "\x14");
  Write(c.Tty.Master, "\x14q");
  EXPECT_EQ(child->Wait(), 0) << child->ErrText;
  EXPECT_TRUE(c.Restored());

  // The capture decodes to the lines and stamps shown, with what was typed.
  TChild decode(TALMOCLI_PATH, {"decode", "--text", "--stamp", capture}, c.Dir.Path());
  ASSERT_EQ(decode.Wait(), 0) << decode.ErrText;
  EXPECT_EQ(LinesWith(decode.OutText, "] "), live) << decode.OutText;
  TChild both(TALMOCLI_PATH, {"decode", "--text", "--both", capture}, c.Dir.Path());
  ASSERT_EQ(both.Wait(), 0) << both.ErrText;
  EXPECT_NE(both.OutText.find("TX hello\\r\\x03"), std::string::npos) << both.OutText;
}

TEST(TermCli, EveryWayOutGivesTheTerminalBackAsItWas) {
  const struct {
    const char* Name;
    std::function<void(TConsole&, TChild&, int& outRead)> End;
    bool OutputPipe;
    int Status;
    const char* Said;
  } kCases[] = {
      {"the quit key", [](TConsole& c, TChild&, int&) { Write(c.Tty.Master, "\x14q"); }, false, 0,
       ""},
      {"SIGTERM", [](TConsole&, TChild& t, int&) { ::kill(t.Pid, SIGTERM); }, false, 0, ""},
      {"SIGHUP", [](TConsole&, TChild& t, int&) { ::kill(t.Pid, SIGHUP); }, false, 0, ""},
      {"the board gone", [](TConsole& c, TChild&, int&) { c.Board.Close(); }, false, 1,
       "no longer"},
      {"standard output gone",
       [](TConsole& c, TChild&, int& outRead) {
         ::close(outRead);
         outRead = -1;
         Write(c.Board.Master, "more\r\n");
       },
       true, 0, ""},
  };
  for (const auto& k : kCases) {
    TConsole c;
    int out[2] = {-1, -1};
    TChildOutput o;
    if (k.OutputPipe) {
      ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
      o.OutputFd = out[1];
    }
    auto child = c.Start({}, o);
    if (out[1] >= 0) ::close(out[1]);
    k.End(c, *child, out[0]);
    EXPECT_EQ(child->Wait(), k.Status) << k.Name << ": " << child->ErrText;
    EXPECT_NE(child->ErrText.find(k.Said), std::string::npos) << k.Name << ": " << child->ErrText;
    EXPECT_TRUE(c.Restored()) << k.Name;
    if (out[0] >= 0) ::close(out[0]);
  }
}

// The loopback port is wired as a loopback plug: what the keys do to DTR
// and RTS comes back as DSR and DCD, and CTS.
TEST(TermCli, TheModemKeysReadBackThroughTheLoopbackPlug) {
  TConsole c;
  TChildOutput o;
  o.Input = o.OutputFd = c.Tty.Slave;
  TChild child(TALMOCLI_PATH, {"term", "--port", "COM99", "--lines", "--dtr", "on", "--rts", "off"},
               c.Dir.Path(), o);
  ASSERT_TRUE(child.WaitErrLine("connected to")) << child.ErrText;
  const struct {
    const char* Keys;
    const char* Shown;  // the last line they bring
  } kSteps[] = {{"", "-- CTS off, DSR on, DCD on, RI off"},
                {"\x14"
                 "l",
                 "-- DTR on, RTS off, CTS off, DSR on, DCD on, RI off"},
                {"\x14"
                 "r",
                 "-- CTS on"},
                {"\x14"
                 "d",
                 "-- DCD off"},
                {"\x14"
                 "p",
                 "-- DCD on"},         // on for the pulse ...
                {"", "-- DCD off\r"},  // ... and back
                {"\x14"
                 "l",
                 "-- DTR off, RTS on, CTS on, DSR off, DCD off, RI off"}};
  for (const auto& step : kSteps) {
    Write(c.Tty.Master, step.Keys);
    const std::string shown = c.Shown(step.Shown);
    EXPECT_NE(shown.find(step.Shown), std::string::npos) << step.Shown << " in " << shown;
  }
  Write(c.Tty.Master, "\x14q");
  EXPECT_EQ(child.Wait(), 0) << child.ErrText;
  EXPECT_TRUE(c.Restored());
}

TEST(TermCli, InputThatIsNoTerminalIsSentAndTheRunEndsWhenTheLineIsQuiet) {
  TConsole c;
  int in[2];
  ASSERT_EQ(::pipe2(in, O_CLOEXEC), 0);
  Write(in[1], "AT\r");
  ::close(in[1]);
  int out[2];
  ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
  TChildOutput o;
  o.Input = in[0];
  o.OutputFd = out[1];
  auto child = c.Start({"--wait", "0.5"}, o);
  ::close(in[0]);
  ::close(out[1]);
  EXPECT_EQ(BoardGot(c.Board.Master, 3), "AT\r");
  Write(c.Board.Master, "OK\r\n");
  EXPECT_EQ(child->Wait(5s), 0) << child->ErrText;
  std::string shown;
  ReadUntil(
      out[0], shown, [](const std::string&) { return false; }, 300ms);
  EXPECT_EQ(shown, "OK\n");
  ::close(out[0]);
  EXPECT_TRUE(c.Restored()) << "a terminal it never made raw is left alone";
}

}  // namespace
}  // namespace talmo
