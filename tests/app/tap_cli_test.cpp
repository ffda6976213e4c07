// The built `talmocli tap` as a user runs it: a child process between a
// "device" (one end of a pseudo-terminal pair the test holds) and a
// "program" (the test again, through the tap's link), with real signals.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "capture/pcapng.h"
#include "device/termios2_rate.h"
#include "support/cli_child.h"
#include "support/pty_pair.h"
#include "support/read_until.h"
#include "support/temp_dir.h"
#include "support/text.h"

namespace {

using talmo::test::ReadFile;
using talmo::test::ReadUntil;
using talmo::test::TPtyPair;
using talmo::test::TTempDir;

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

using talmo::test::Contains;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

// A talmocli child (support/cli_child.h) that knows the tap's first line.
class TChild : public talmo::test::TChild {
 public:
  TChild(const std::vector<std::string>& args, const std::string& dir,
         const std::string& outFile = {})
      : talmo::test::TChild(TALMOCLI_PATH, args, dir, {outFile, false, false}) {}
  // The tap says it is ready (or what went wrong) on standard error.
  bool WaitReady() { return WaitErrLine("tapping"); }
};

// The program under test's end: the link, opened raw and non-blocking.
int OpenProgram(const std::string& link) {
  const int fd = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return fd;
  termios t{};
  ::tcgetattr(fd, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(fd, TCSANOW, &t);
  return fd;
}

bool WriteAll(int fd, const std::string& s) {
  std::size_t done = 0;
  const auto end = Clock::now() + 10s;
  while (done < s.size() && Clock::now() < end) {
    const ssize_t w = ::write(fd, s.data() + done, s.size() - done);
    if (w > 0) {
      done += static_cast<std::size_t>(w);
    } else {
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, 100);
    }
  }
  return done == s.size();
}

std::string Read(int fd, std::size_t n, std::chrono::milliseconds limit = 5s) {
  std::string got;
  ReadUntil(
      fd, got, [n](const std::string& s) { return s.size() >= n; }, limit);
  return got;
}

// Every data packet of a timed capture, by direction.
struct TCaptured {
  std::string In, Out;
  std::vector<std::string> Comments;
  bool Complete = false;
};

TCaptured ReadCapture(const std::string& path) {
  TCaptured c;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return c;
  talmo::pcapng::TPcapngReader reader(
      [fd](std::uint8_t* p, std::size_t n) { return static_cast<long>(::read(fd, p, n)); });
  for (;;) {
    const auto step = reader.Next();
    if (step != talmo::pcapng::TPcapngReader::TStep::Packet) {
      c.Complete = step == talmo::pcapng::TPcapngReader::TStep::End;
      break;
    }
    const auto& p = reader.Packet();
    if (!p.Comment.empty()) c.Comments.emplace_back(p.Comment);
    if (p.Event == talmo::pcapng::TEvent::RxData) c.In.append(p.Payload);
    if (p.Event == talmo::pcapng::TEvent::TxData) c.Out.append(p.Payload);
  }
  ::close(fd);
  return c;
}

std::string Decode(const std::vector<std::string>& args, int* status = nullptr) {
  std::string cmd = std::string(TALMOCLI_PATH) + " decode";
  for (const auto& a : args) cmd += " '" + a + "'";
  FILE* p = ::popen(cmd.c_str(), "r");
  std::string out;
  char buf[4096];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  const int st = ::pclose(p);
  if (status) *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return out;
}

class TapCli : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(FLine.Open(TPtyPair::TMaster::NonBlocking)); }
  // Starts the tap on the test's device with `more` options.
  std::unique_ptr<TChild> Tap(std::vector<std::string> more, const std::string& outFile = {}) {
    std::vector<std::string> args = {
        "tap", "--device", FDevicePath.empty() ? FLine.Path : FDevicePath, "--link", FLink};
    args.insert(args.end(), more.begin(), more.end());
    return std::make_unique<TChild>(args, FDir, outFile);
  }
  TTempDir FTemp{"talmo-tap-cli"};
  std::string FDir = FTemp.Path();
  std::string FLink = FDir + "/tap";
  std::string FDevicePath;
  TPtyPair FLine;
};

// ---- forwarding ---------------------------------------------------------

// Shown, and with --quiet only captured: the same exchange either way.
// The program's DTR and RTS cannot reach the tap through the link (a pty
// has no modem lines): --dtr and --rts set them on the device, and --lines
// shows what comes back there. On the loopback port, wired as a loopback
// plug, DTR comes back as DSR and DCD; the bytes still go round, with the
// port's threads serving the line events.
TEST_F(TapCli, DtrAndRtsAreSetOnTheDeviceAndTheLinesShown) {
  TChild tap({"tap", "--port", "COM99", "--link", FLink, "--dtr", "on", "--lines", "--first", "02",
              "--last", "03"},
             FDir);
  ASSERT_TRUE(tap.WaitReady()) << tap.ErrText;
  ASSERT_TRUE(tap.WaitOutput([](const std::string& s) { return s.find('\n') != s.npos; }))
      << tap.ErrText;
  EXPECT_EQ(tap.OutText.substr(0, tap.OutText.find('\n')), "-- CTS off, DSR on, DCD on, RI off");
  const int program = OpenProgram(FLink);
  ASSERT_GE(program, 0);
  ASSERT_TRUE(WriteAll(program, "\x02ping\x03"));
  EXPECT_EQ(Read(program, 6), "\x02ping\x03");
  // The program's own attempt fails on the link, as the help says.
  int dtr = TIOCM_DTR;
  EXPECT_NE(::ioctl(program, TIOCMBIS, &dtr), 0);
  ::close(program);
  ::kill(tap.Pid, SIGTERM);
  EXPECT_EQ(tap.Wait(), 0) << tap.ErrText;
}

TEST_F(TapCli, StrictPingPongShowsEveryQuestionBeforeItsAnswer) {
  for (const bool quiet : {false, true}) {
    SCOPED_TRACE(quiet ? "quiet" : "shown");
    const std::string capture = FDir + (quiet ? "/quiet.pcapng" : "/pp.pcapng");
    std::vector<std::string> options = {"--last", "0A", "--time", "--capture", capture};
    if (quiet) options.push_back("--quiet");
    auto tap = Tap(options);
    ASSERT_TRUE(tap->WaitReady()) << tap->ErrText;
    const int prog = OpenProgram(FLink);
    ASSERT_GE(prog, 0);
    constexpr int kRounds = 200;
    for (int i = 0; i < kRounds; ++i) {
      const std::string q = "Q" + std::to_string(i) + "\n", a = "A" + std::to_string(i) + "\n";
      ASSERT_TRUE(WriteAll(prog, q));
      ASSERT_EQ(Read(FLine.Master, q.size()), q) << i;
      ASSERT_TRUE(WriteAll(FLine.Master, a));
      ASSERT_EQ(Read(prog, a.size()), a) << i;
    }
    ::close(prog);
    ::kill(tap->Pid, SIGINT);
    ASSERT_EQ(tap->Wait(), 0) << tap->ErrText;
    // The capture's decode shows exactly what the tap showed, stamps and all.
    int status = -1;
    const std::string decoded = Decode({"--both", "--last", "0A", "--time", capture}, &status);
    EXPECT_EQ(status, 0);
    if (quiet)
      EXPECT_EQ(tap->OutText, "");
    else
      EXPECT_EQ(decoded, tap->OutText);
    const auto lines = Lines(decoded);
    ASSERT_EQ(lines.size(), 2u * kRounds) << decoded;
    for (int i = 0; i < kRounds; ++i) {
      EXPECT_EQ(lines[2 * i].rfind("TX ", 0), 0u) << lines[2 * i];
      EXPECT_TRUE(Contains(lines[2 * i], " Q ")) << lines[2 * i];
      EXPECT_EQ(lines[2 * i + 1].rfind("RX ", 0), 0u) << lines[2 * i + 1];
      EXPECT_TRUE(Contains(lines[2 * i + 1], " A ")) << lines[2 * i + 1];
    }
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(FLink)))
        << "the link is removed at the end";
  }
}

// Both directions at full speed at once: every byte of all 256 values
// arrives once, in order, and the capture holds each once.
TEST_F(TapCli, ExactBothWaysAtFullSpeed) {
  const char* env = std::getenv("TALMO_TAP_LOAD_SECONDS");
  const auto seconds = std::chrono::seconds(env ? std::atoi(env) : 10);
  const std::string capture = FDir + "/load.pcapng";
  auto tap = Tap({"--capture", capture, "--hex"}, "/dev/null");
  ASSERT_TRUE(tap->WaitReady()) << tap->ErrText;
  const int prog = OpenProgram(FLink);
  ASSERT_GE(prog, 0);
  std::atomic<bool> stop{false};
  // Each side writes a pseudo-random stream and reads the other's.
  struct TSide {
    int Fd;
    unsigned Seed;
    std::string Sent, Got;
  } device{FLine.Master, 1, {}, {}}, program{prog, 2, {}, {}};
  const auto pump = [&stop](TSide& me, TSide& peer) {
    std::mt19937 rng(me.Seed);
    std::string chunk;
    bool done = false;
    auto quietSince = Clock::now();
    for (;;) {
      if (!done && stop) done = true;
      if (!done && chunk.empty()) {
        chunk.resize(4096);
        for (char& c : chunk) c = static_cast<char>(rng());
      }
      pollfd p{me.Fd, static_cast<short>(POLLIN | (done ? 0 : POLLOUT)), 0};
      ::poll(&p, 1, 20);
      char buf[65536];
      const ssize_t r = ::read(me.Fd, buf, sizeof buf);
      if (r > 0) {
        me.Got.append(buf, static_cast<std::size_t>(r));
        quietSince = Clock::now();
      }
      if (!done) {
        const ssize_t w = ::write(me.Fd, chunk.data(), chunk.size());
        if (w > 0) {
          me.Sent.append(chunk, 0, static_cast<std::size_t>(w));
          chunk.erase(0, static_cast<std::size_t>(w));
        }
      } else if (Clock::now() - quietSince > 2s) {
        return;
      }
      (void)peer;
    }
  };
  std::thread a([&] { pump(device, program); });
  std::thread b([&] { pump(program, device); });
  std::this_thread::sleep_for(seconds);
  stop = true;
  a.join();
  b.join();
  ::close(prog);
  ::kill(tap->Pid, SIGTERM);
  ASSERT_EQ(tap->Wait(30s), 0) << tap->ErrText;
  EXPECT_GT(device.Sent.size(), 100000u);
  EXPECT_GT(program.Sent.size(), 100000u);
  EXPECT_TRUE(program.Got == device.Sent) << program.Got.size() << " of " << device.Sent.size();
  EXPECT_TRUE(device.Got == program.Sent) << device.Got.size() << " of " << program.Sent.size();
  const TCaptured c = ReadCapture(capture);
  EXPECT_TRUE(c.Complete);
  EXPECT_TRUE(c.In == device.Sent) << c.In.size() << " of " << device.Sent.size();
  EXPECT_TRUE(c.Out == program.Sent) << c.Out.size() << " of " << program.Sent.size();
  std::printf("forwarded %zu bytes from the device, %zu from the program\n", device.Sent.size(),
              program.Sent.size());
}

// A program that does not read: the tap holds the device's bytes and stops
// taking them, and none is lost when the program reads at last.
TEST_F(TapCli, ProgramThatDoesNotReadLosesNothing) {
  auto tap = Tap({"--hex"}, "/dev/null");
  ASSERT_TRUE(tap->WaitReady()) << tap->ErrText;
  const int prog = OpenProgram(FLink);
  ASSERT_GE(prog, 0);
  std::mt19937 rng(7);
  std::string bytes(400000, '\0');
  for (char& c : bytes) c = static_cast<char>(rng());
  std::string got;
  std::size_t sent = 0;
  // Write until the whole path is full: the tap has stopped taking.
  for (auto quiet = Clock::now(); Clock::now() - quiet < 500ms && sent < bytes.size();) {
    const ssize_t w = ::write(FLine.Master, bytes.data() + sent, bytes.size() - sent);
    if (w > 0) {
      sent += static_cast<std::size_t>(w);
      quiet = Clock::now();
    } else {
      std::this_thread::sleep_for(5ms);
    }
  }
  EXPECT_LT(sent, bytes.size()) << "the tap should stop taking from the device";
  std::thread writer([&] { WriteAll(FLine.Master, bytes.substr(sent)); });
  got = Read(prog, bytes.size(), 20s);
  writer.join();
  EXPECT_TRUE(got == bytes) << got.size() << " of " << bytes.size();
  ::close(prog);
  ::kill(tap->Pid, SIGINT);
  EXPECT_EQ(tap->Wait(), 0) << tap->ErrText;
}

TEST_F(TapCli, ProgramClosingAndReopeningTheLinkLosesNothing) {
  auto tap = Tap({"--hex"}, "/dev/null");
  ASSERT_TRUE(tap->WaitReady()) << tap->ErrText;
  std::atomic<bool> stop{false};
  std::string deviceSent;
  std::thread device([&] {
    for (unsigned i = 0; !stop; ++i) {
      const char c = static_cast<char>(i);
      if (::write(FLine.Master, &c, 1) == 1)
        deviceSent += c;
      else
        std::this_thread::sleep_for(1ms);
      if (i % 64 == 0) std::this_thread::sleep_for(1ms);
    }
  });
  std::string programGot, programSent;
  for (int i = 0; i < 100; ++i) {
    const int prog = OpenProgram(FLink);
    ASSERT_GE(prog, 0) << i;
    const std::string b(1, static_cast<char>(i));
    ASSERT_TRUE(WriteAll(prog, b));
    programSent += b;
    ReadUntil(
        prog, programGot, [](const std::string&) { return false; }, 5ms);
    ::close(prog);
  }
  stop = true;
  device.join();
  // What is left is read by one last open.
  const int prog = OpenProgram(FLink);
  ASSERT_GE(prog, 0);
  ReadUntil(
      prog, programGot, [&](const std::string& s) { return s.size() >= deviceSent.size(); }, 10s);
  ::close(prog);
  EXPECT_TRUE(programGot == deviceSent) << programGot.size() << " of " << deviceSent.size();
  EXPECT_EQ(Read(FLine.Master, programSent.size()), programSent);
  ::kill(tap->Pid, SIGINT);
  EXPECT_EQ(tap->Wait(), 0) << tap->ErrText;
}

// ---- the program's settings ---------------------------------------------

TEST_F(TapCli, TheProgramsSettingsReachTheDeviceBeforeItsNextByte) {
  const std::string capture = FDir + "/settings.pcapng";
  auto tap = Tap({"--capture", capture, "--last", "0A"});
  ASSERT_TRUE(tap->WaitReady()) << tap->ErrText;
  const int prog = OpenProgram(FLink);
  ASSERT_GE(prog, 0);
  struct Row {
    const char* what;
    std::function<void(termios&)> set;
    std::function<bool(const termios&)> seen;
    const char* line;
  };
  const Row rows[] = {
      {"9600 baud", [](termios& t) { ::cfsetspeed(&t, B9600); },
       [](const termios& t) { return ::cfgetospeed(&t) == B9600; }, "-- the program set 9600 baud"},
      {"115200 baud", [](termios& t) { ::cfsetspeed(&t, B115200); },
       [](const termios& t) { return ::cfgetospeed(&t) == B115200; },
       "-- the program set 115200 baud"},
      {"2 stop bits", [](termios& t) { t.c_cflag |= CSTOPB; },
       [](const termios& t) { return (t.c_cflag & CSTOPB) != 0; },
       "-- the program set 2 stop bits"},
      {"RTS/CTS", [](termios& t) { t.c_cflag |= CRTSCTS; },
       [](const termios& t) { return (t.c_cflag & CRTSCTS) != 0; },
       "-- the program set RTS/CTS flow control on"},
      // A program that writes its local modes clears EXTPROC; the change
      // still follows, found before the next byte goes.
      {"57600 with EXTPROC cleared",
       [](termios& t) {
         t.c_lflag = 0;
         ::cfsetspeed(&t, B57600);
       },
       [](const termios& t) { return ::cfgetospeed(&t) == B57600; },
       "-- the program set 57600 baud"},
      {"RTS/CTS off, 1 stop bit",
       [](termios& t) { t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | CSTOPB); },
       [](const termios& t) { return (t.c_cflag & (CRTSCTS | CSTOPB)) == 0; },
       "-- the program set 1 stop bit, RTS/CTS flow control off"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    termios t{};
    ASSERT_EQ(::tcgetattr(prog, &t), 0);
    r.set(t);
    ASSERT_EQ(::tcsetattr(prog, TCSANOW, &t), 0);
    ASSERT_TRUE(WriteAll(prog, "x\n"));
    ASSERT_EQ(Read(FLine.Master, 2), "x\n");
    termios d{};
    ASSERT_EQ(::tcgetattr(FLine.Master, &d), 0);
    EXPECT_TRUE(r.seen(d)) << "the device had the byte before the setting";
    ASSERT_TRUE(tap->WaitOutput([&](const std::string& s) { return Contains(s, r.line); }))
        << tap->OutText;
  }
  ::close(prog);
  ::kill(tap->Pid, SIGHUP);
  ASSERT_EQ(tap->Wait(), 0) << tap->ErrText;
  const TCaptured c = ReadCapture(capture);
  EXPECT_TRUE(c.Complete);
  int changes = 0;
  for (const auto& comment : c.Comments) changes += Contains(comment, "the program set");
  EXPECT_EQ(changes, 6);
  // The decode repeats the live lines, the settings changes among them.
  EXPECT_EQ(Decode({"--both", "--last", "0A", capture}), tap->OutText);
}

// ---- the device going and coming back -------------------------------------

TEST_F(TapCli, ReconnectWaitsForTheDeviceAndGoesOn) {
  FDevicePath = FDir + "/dev";
  ASSERT_EQ(::symlink(FLine.Path.c_str(), FDevicePath.c_str()), 0);
  auto tap = Tap({"--reconnect", "--last", "0A"});
  ASSERT_TRUE(tap->WaitReady()) << tap->ErrText;
  const int prog = OpenProgram(FLink);
  ASSERT_GE(prog, 0);
  ASSERT_TRUE(WriteAll(FLine.Master, "one\n"));
  ASSERT_EQ(Read(prog, 4), "one\n");
  FLine.Close();
  ASSERT_TRUE(ReadUntil(tap->Err, tap->ErrText, [](const std::string& s) {
    return Contains(s, "Waiting for it");
  })) << tap->ErrText;
  ASSERT_TRUE(FLine.Open(TPtyPair::TMaster::NonBlocking));
  const std::string next = FDevicePath + ".next";
  ASSERT_EQ(::symlink(FLine.Path.c_str(), next.c_str()), 0);
  ASSERT_EQ(::rename(next.c_str(), FDevicePath.c_str()), 0);
  ASSERT_TRUE(ReadUntil(tap->Err, tap->ErrText, [](const std::string& s) {
    return Contains(s, "is back");
  })) << tap->ErrText;
  ASSERT_TRUE(WriteAll(FLine.Master, "two\n"));
  EXPECT_EQ(Read(prog, 4), "two\n");
  ASSERT_TRUE(WriteAll(prog, "three\n"));
  EXPECT_EQ(Read(FLine.Master, 6), "three\n");
  ::close(prog);
  ::kill(tap->Pid, SIGINT);
  EXPECT_EQ(tap->Wait(), 0) << tap->ErrText;
}

TEST_F(TapCli, WithoutReconnectALostDeviceEndsTheTap) {
  auto tap = Tap({});
  ASSERT_TRUE(tap->WaitReady()) << tap->ErrText;
  FLine.Close();
  EXPECT_EQ(tap->Wait(), 1);
  EXPECT_TRUE(Contains(tap->ErrText, "The device is no longer available.")) << tap->ErrText;
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(FLink)));
}

// ---- ending ---------------------------------------------------------------

TEST_F(TapCli, SignalsEndCleanlyWithTheCaptureComplete) {
  for (const int sig : {SIGINT, SIGHUP, SIGTERM}) {
    SCOPED_TRACE(sig);
    const std::string capture = FDir + "/sig" + std::to_string(sig) + ".pcapng";
    auto tap = Tap({"--capture", capture, "--last", "0A"});
    ASSERT_TRUE(tap->WaitReady()) << tap->ErrText;
    const int prog = OpenProgram(FLink);
    ASSERT_GE(prog, 0);
    ASSERT_TRUE(WriteAll(prog, "to the device\n"));
    ASSERT_TRUE(WriteAll(FLine.Master, "unfinished"));
    ASSERT_EQ(Read(FLine.Master, 14), "to the device\n");
    ASSERT_EQ(Read(prog, 10), "unfinished");
    ::kill(tap->Pid, sig);
    EXPECT_EQ(tap->Wait(), 0) << tap->ErrText;
    ::close(prog);
    // The unfinished line is shown at the end, and is in the capture.
    EXPECT_TRUE(Contains(tap->OutText, "RX ")) << tap->OutText;
    const TCaptured c = ReadCapture(capture);
    EXPECT_TRUE(c.Complete);
    EXPECT_EQ(c.In, "unfinished");
    EXPECT_EQ(c.Out, "to the device\n");
    EXPECT_EQ(Decode({"--both", "--last", "0A", capture}), tap->OutText);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(FLink)));
  }
}

TEST_F(TapCli, WhatTheTapTookFromTheProgramReachesTheDeviceAtACleanEnd) {
  const std::string capture = FDir + "/end.pcapng";
  auto tap = Tap({"--capture", capture, "--hex"}, FDir + "/end.txt");
  ASSERT_TRUE(tap->WaitReady()) << tap->ErrText;
  const int prog = OpenProgram(FLink);
  ASSERT_GE(prog, 0);
  // The device does not read yet: its line, then the tap's queue fill, and
  // the tap stops taking from the program.
  std::string sent;
  for (const auto end = Clock::now() + 500ms; Clock::now() < end;) {
    std::string block(1024, '\0');
    for (std::size_t i = 0; i < block.size(); ++i)
      block[i] = static_cast<char>((sent.size() + i) * 7 % 251);
    const ssize_t w = ::write(prog, block.data(), block.size());
    if (w > 0) {
      sent.append(block, 0, static_cast<std::size_t>(w));
    } else {
      pollfd p{prog, POLLOUT, 0};
      ::poll(&p, 1, 20);
    }
  }
  // Ended with the queue full; the device reads on while the tap ends.
  ::kill(tap->Pid, SIGTERM);
  std::string got;
  std::atomic<bool> ended{false};
  std::thread device([&] {
    auto quietSince = Clock::now();
    while (!ended || Clock::now() - quietSince < 300ms) {
      const std::size_t before = got.size();
      ReadUntil(
          FLine.Master, got, [before](const std::string& x) { return x.size() > before; }, 20ms);
      if (got.size() > before) quietSince = Clock::now();
    }
  });
  EXPECT_EQ(tap->Wait(), 0) << tap->ErrText;
  ended = true;
  device.join();
  ::close(prog);
  const TCaptured c = ReadCapture(capture);
  EXPECT_TRUE(c.Complete);
  ASSERT_GT(c.Out.size(), 16u * 1024) << "the tap's queue was never full";
  // Every byte the tap took went out, in order; what it never took stayed
  // with the program.
  EXPECT_EQ(got.size(), c.Out.size());
  EXPECT_TRUE(got == c.Out) << "the device got other bytes than the tap took";
  EXPECT_EQ(c.Out, sent.substr(0, c.Out.size()));
}

// ---- bad input ------------------------------------------------------------

TEST_F(TapCli, BadInputGivesOneClearLine) {
  const std::string file = FDir + "/file";
  std::ofstream(file) << "mine";
  const std::string elsewhere = FDir + "/elsewhere";
  ASSERT_EQ(::symlink("/etc/hostname", elsewhere.c_str()), 0);
  struct Row {
    const char* what;
    std::vector<std::string> args;
    const char* says;
  };
  const Row rows[] = {
      {"missing device", {"tap", "--device", FDir + "/nodev", "--link", FLink}, "not found"},
      {"link is a regular file",
       {"tap", "--device", FLine.Path, "--link", file},
       "not a tap's link"},
      {"link elsewhere", {"tap", "--device", FLine.Path, "--link", elsewhere}, "not a tap's link"},
      {"no such folder",
       {"tap", "--device", FLine.Path, "--link", FDir + "/none/tap"},
       "No such file or directory"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    TChild c(r.args, FDir);
    EXPECT_EQ(c.Wait(), 1);
    EXPECT_EQ(Lines(c.ErrText).size(), 1u) << c.ErrText;
    EXPECT_TRUE(Contains(c.ErrText, r.says)) << c.ErrText;
  }
  EXPECT_EQ(ReadFile(file), "mine");
  // A second tap on the same device: the port's own busy message.
  auto first = Tap({});
  ASSERT_TRUE(first->WaitReady()) << first->ErrText;
  TChild second({"tap", "--device", FLine.Path, "--link", FDir + "/tap2"}, FDir);
  EXPECT_EQ(second.Wait(), 1);
  EXPECT_TRUE(Contains(second.ErrText, "busy") || Contains(second.ErrText, "in use"))
      << second.ErrText;
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(FDir + "/tap2")));
  // The same link while the first tap runs is refused.
  TChild third({"tap", "--device", FDir + "/nodev", "--link", FLink}, FDir);
  EXPECT_EQ(third.Wait(), 1);
  EXPECT_TRUE(Contains(third.ErrText, "terminal in use")) << third.ErrText;
  ::kill(first->Pid, SIGINT);
  EXPECT_EQ(first->Wait(), 0) << first->ErrText;
}

// A killed tap leaves its link leading nowhere: the next one replaces it.
TEST_F(TapCli, AKilledTapsLinkIsReplaced) {
  // What a killed tap leaves: its link into /dev/pts, whose terminal is
  // gone. (Killing a real tap here would race the other tests, whose new
  // terminals may take the freed number at once.)
  int gone = 9000;
  while (std::filesystem::exists("/dev/pts/" + std::to_string(gone))) ++gone;
  ASSERT_EQ(::symlink(("/dev/pts/" + std::to_string(gone)).c_str(), FLink.c_str()), 0);
  auto tap = Tap({});
  ASSERT_TRUE(tap->WaitReady()) << tap->ErrText;
  const int prog = OpenProgram(FLink);
  ASSERT_GE(prog, 0);
  ASSERT_TRUE(WriteAll(prog, "ok"));
  EXPECT_EQ(Read(FLine.Master, 2), "ok");
  ::close(prog);
  ::kill(tap->Pid, SIGINT);
  EXPECT_EQ(tap->Wait(), 0) << tap->ErrText;
}

// ---- the link's first settings --------------------------------------------

// The device's line as a program reads it: the rate through termios2, so
// that rates without a Bxxx constant read as what they are.
struct TLineSeen {
  std::uint32_t Rate = 0;
  bool TwoStopBits = false, RtsCts = false, XonXoffOut = false, XonXoffIn = false;
  bool operator==(const TLineSeen&) const = default;
};

std::ostream& operator<<(std::ostream& o, const TLineSeen& l) {
  return o << l.Rate << " baud" << (l.TwoStopBits ? ", 2 stop bits" : ", 1 stop bit")
           << (l.RtsCts ? ", RTS/CTS" : "") << (l.XonXoffOut ? ", IXON" : "")
           << (l.XonXoffIn ? ", IXOFF" : "");
}

bool ReadLineSeen(int fd, TLineSeen& l) {
  termios t{};
  std::uint32_t in = 0;
  if (::tcgetattr(fd, &t) != 0 || talmo::GetRates(fd, in, l.Rate) != 0) return false;
  l.TwoStopBits = (t.c_cflag & CSTOPB) != 0;
  l.RtsCts = (t.c_cflag & CRTSCTS) != 0;
  l.XonXoffOut = (t.c_iflag & IXON) != 0;
  l.XonXoffIn = (t.c_iflag & IXOFF) != 0;
  return true;
}

// A program that reads the link's settings before it sets any finds the
// device's, and setting what it found changes nothing: a link made
// otherwise would be taken for the program's choice and the device
// switched to it, the wrong frame on the wire without a word.
TEST_F(TapCli, TheLinkStartsWithTheDevicesSettings) {
  struct Row {
    const char* what;
    std::vector<std::string> options;
    TLineSeen line;
  };
  // The tap opens the device with flow control off (it has no option for
  // it): the link must say off too, and the device, which had it on, has
  // it off.
  const Row rows[] = {
      {"9600 baud, 2 stop bits", {"--baud", "9600", "--stopbits", "2"}, {9600, true}},
      {"115200 baud, 1 stop bit", {"--baud", "115200", "--stopbits", "1"}, {115200, false}},
      {"1024 baud, 2 stop bits", {"--baud", "1024", "--stopbits", "2"}, {1024, true}},
      {"250000 baud, 1 stop bit", {"--baud", "250000"}, {250000, false}},
      {"the default line", {}, {19200, false}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    // The device had other settings before: what it has later is the tap's.
    termios before{};
    ASSERT_EQ(::tcgetattr(FLine.Slave, &before), 0);
    ::cfsetspeed(&before, B4800);
    if (r.line.TwoStopBits)
      before.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
    else
      before.c_cflag |= CSTOPB;
    before.c_cflag |= CRTSCTS;
    before.c_iflag |= IXON | IXOFF;
    ASSERT_EQ(::tcsetattr(FLine.Slave, TCSANOW, &before), 0);
    std::vector<std::string> options = {"--last", "0A"};
    options.insert(options.end(), r.options.begin(), r.options.end());
    auto tap = Tap(options);
    ASSERT_TRUE(tap->WaitReady()) << tap->ErrText;
    TLineSeen device;
    ASSERT_TRUE(ReadLineSeen(FLine.Master, device));
    EXPECT_EQ(device, r.line) << "the device was not given the tap's line";
    const int prog = ::open(FLink.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(prog, 0);
    TLineSeen link;
    ASSERT_TRUE(ReadLineSeen(prog, link));
    EXPECT_EQ(link, r.line) << "the link does not read as the device";
    termios t{};
    ASSERT_EQ(::tcgetattr(prog, &t), 0);
    ASSERT_EQ(::tcsetattr(prog, TCSANOW, &t), 0);
    ASSERT_TRUE(WriteAll(prog, "first\n"));
    ASSERT_EQ(Read(FLine.Master, 6), "first\n");
    ASSERT_TRUE(ReadLineSeen(FLine.Master, device));
    EXPECT_EQ(device, r.line) << "the program's first bytes changed the device";
    ::close(prog);
    ::kill(tap->Pid, SIGINT);
    ASSERT_EQ(tap->Wait(), 0) << tap->ErrText;
    EXPECT_TRUE(Contains(tap->OutText, "TX ")) << tap->OutText;
    EXPECT_FALSE(Contains(tap->OutText, "-- the program set")) << tap->OutText;
  }
}

}  // namespace
