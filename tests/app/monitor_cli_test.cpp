// The built `talmocli monitor` (and `ports`) as a user runs it: a child
// process on a pseudo-terminal the test plays the device on, with real
// signals, a pipe reader that goes away, a full disk for standard output,
// and files of any size or without end to send.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "capture/pcapng.h"
#include "engine/checks.h"
#include "support/cli_child.h"
#include "support/proc_stats.h"
#include "support/pty_pair.h"
#include "support/read_until.h"
#include "support/settings_file.h"
#include "support/temp_dir.h"
#include "support/text.h"

namespace {

using talmo::test::ReadFile;
using talmo::test::ReadUntil;
using talmo::test::TPtyPair;
using talmo::test::TTempDir;

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// TALMOCLI in the environment runs the tests against another build.
std::string Talmocli() {
  const char* e = std::getenv("TALMOCLI");
  return e && *e ? e : TALMOCLI_PATH;
}

std::string Random(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

using talmo::test::Contains;

long long RssKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atoll(line.substr(6).c_str());
  return 0;
}

using talmo::test::TChildOutput;
const TChildOutput kPipes{"", false, false};
const TChildOutput kMerged{"", true, false};
const TChildOutput kNoInput{"", false, true};
TChildOutput ToFile(const std::string& f) { return {f, false, false}; }

// A talmocli child (support/cli_child.h) that knows the monitor's first line.
class TChild : public talmo::test::TChild {
 public:
  TChild(const std::vector<std::string>& args, const std::string& configDir,
         const TChildOutput& o = kPipes)
      : talmo::test::TChild(Talmocli(), args, configDir, o) {}
  bool WaitOpen() { return WaitErrLine("monitoring") || ErrText.find('\n') != std::string::npos; }
};

class MonitorCli : public ::testing::Test {
 protected:
  // The test reads the far end without blocking.
  void SetUp() override { ASSERT_TRUE(FLine.Open(TPtyPair::TMaster::NonBlocking)); }
  // The device goes away: both ends of the line close.
  void Unplug() { FLine.Close(); }
  // Another device appears (a new pseudo-terminal, whose number cannot be
  // chosen); FPath is its path.
  void Plug() { ASSERT_TRUE(FLine.Open(TPtyPair::TMaster::NonBlocking)); }
  // `link` leads to `target` from now on, replaced in one step.
  static void PointAt(const std::string& link, const std::string& target) {
    const std::string next = link + ".next";
    ASSERT_EQ(::symlink(target.c_str(), next.c_str()), 0);
    ASSERT_EQ(::rename(next.c_str(), link.c_str()), 0);
  }
  // The settings file the child reads.
  std::string Settings(const std::string& text) {
    std::filesystem::create_directories(FDir + "/Velkerstam");
    const std::string p = FDir + "/Velkerstam/TALMO.reg";
    std::ofstream(p, std::ios::binary) << text;
    return p;
  }
  std::string File(const std::string& name, const std::string& bytes) {
    const std::string p = FDir + "/" + name;
    std::ofstream(p, std::ios::binary) << bytes;
    return p;
  }
  // What the monitor sends, as the device receives it: reads until `n`
  // bytes are there (or the time is up).
  std::string Receive(std::size_t n, std::chrono::milliseconds limit = 20s) {
    std::string got;
    ReadUntil(
        FMaster, got, [n](const std::string& s) { return s.size() >= n; }, limit);
    return got;
  }
  // Waits until the monitor has read the `n` bytes the device sent: they
  // are in its capture, or at least the line has held nothing for a while.
  bool Taken(const std::string& capture, std::size_t n) {
    const auto end = Clock::now() + 5s;
    auto emptySince = Clock::now();
    while (Clock::now() < end) {
      if (ReadFile(capture).size() >= n) return true;
      int queued = 0;
      if (::ioctl(FSlave, FIONREAD, &queued) != 0 || queued > 0) emptySince = Clock::now();
      if (Clock::now() - emptySince > 300ms) return true;
      std::this_thread::sleep_for(2ms);
    }
    return false;
  }
  TTempDir FTemp{"talmo-monitor-cli"};
  TPtyPair FLine;
  std::string FDir = FTemp.Path();
  int& FMaster = FLine.Master;
  int& FSlave = FLine.Slave;
  std::string& FPath = FLine.Path;
};

// ---- --send ---------------------------------------------------------------

TEST_F(MonitorCli, SendStreamsFilesOfAnySizeWholeAndInOrder) {
  struct Row {
    const char* what;
    std::size_t size;
    int copies;  // with --repeat 1 when more than one
  };
  const Row rows[] = {{"one byte", 1, 1},
                      {"just over the write queue", 2049, 1},
                      {"16 MiB", 16u << 20, 1},
                      {"repeated, each copy whole", 5000, 4}};
  unsigned seed = 1;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    const std::string bytes = Random(r.size, seed++);
    const std::string file = File("send.bin", bytes);
    std::vector<std::string> args = {"monitor", "--device", FPath, "--send", file};
    if (r.copies > 1) args.insert(args.end(), {"--repeat", "1"});
    TChild m(args, FDir);
    ASSERT_TRUE(m.WaitOpen()) << m.ErrText;
    std::string want;
    for (int i = 0; i < r.copies; ++i) want += bytes;
    const std::string got = Receive(want.size(), 60s);
    ASSERT_EQ(got.size() >= want.size() ? got.substr(0, want.size()) : got, want)
        << got.size() << " of " << want.size() << " bytes arrived; " << m.ErrText;
    if (r.copies == 1) {
      // Nothing after the one copy.
      std::this_thread::sleep_for(100ms);
      EXPECT_EQ(got + Receive(1, 200ms), want);
    }
    ::kill(m.Pid, SIGTERM);
    EXPECT_EQ(m.Wait(), 0) << m.ErrText;
    EXPECT_EQ(m.ErrText.find("Output buffer"), std::string::npos) << m.ErrText;
  }
}

TEST_F(MonitorCli, SendFromAFifoWaitsForItsWriterAndSendsWhatItGives) {
  const std::string fifo = FDir + "/send.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  TChild m({"monitor", "--device", FPath, "--send", fifo, "--seconds", "60"}, FDir);
  ASSERT_TRUE(m.WaitOpen()) << m.ErrText;
  EXPECT_TRUE(Contains(m.ErrText, "monitoring"))
      << "the monitor must not wait for the FIFO's writer to start";
  const std::string bytes = Random(300 * 1024, 7);
  std::thread writer([&] {
    const int fd = ::open(fifo.c_str(), O_WRONLY);
    for (std::size_t at = 0; at < bytes.size(); at += 10000) {
      const std::size_t n = std::min<std::size_t>(10000, bytes.size() - at);
      EXPECT_EQ(::write(fd, bytes.data() + at, n), static_cast<ssize_t>(n));
      std::this_thread::sleep_for(2ms);  // the source pauses now and then
    }
    ::close(fd);
  });
  const std::string got = Receive(bytes.size(), 30s);
  writer.join();
  EXPECT_TRUE(got == bytes) << got.size() << " of " << bytes.size() << " bytes, or changed";
  ::kill(m.Pid, SIGINT);
  EXPECT_EQ(m.Wait(), 0) << m.ErrText;
}

TEST_F(MonitorCli, SendFromAnEndlessSourceKeepsMemoryBounded) {
  TChild m({"monitor", "--device", FPath, "--send", "/dev/zero", "--seconds", "60"}, FDir);
  ASSERT_TRUE(m.WaitOpen()) << m.ErrText;
  std::size_t got = 0;
  // Growth is what is measured: a sanitizer's build starts far larger.
  const long long startRss = RssKiB(m.Pid);
  long long maxRss = startRss;
  const auto end = Clock::now() + 30s;
  while (got < (32u << 20) && Clock::now() < end) {
    char buf[65536];
    const ssize_t n = ::read(FMaster, buf, sizeof buf);
    if (n > 0) {
      EXPECT_EQ(std::string(buf, static_cast<std::size_t>(n)),
                std::string(static_cast<std::size_t>(n), '\0'));
      got += static_cast<std::size_t>(n);
    } else {
      pollfd p{FMaster, POLLIN, 0};
      ::poll(&p, 1, 10);
    }
    maxRss = std::max(maxRss, RssKiB(m.Pid));
    if (maxRss > startRss + 256 * 1024) break;  // growing without limit: stop it here
  }
  EXPECT_GE(got, 32u << 20) << "the endless source did not keep flowing";
  // The 32 MiB sent, kept, would be more than this; a sanitizer's
  // quarantine of freed memory alone grows by some 18 MiB.
  EXPECT_LT(maxRss - startRss, 24 * 1024)
      << "KiB grown while sending an endless source (from " << startRss << ")";
  ::kill(m.Pid, SIGTERM);
  EXPECT_EQ(m.Wait(), 0) << m.ErrText;
}

TEST_F(MonitorCli, ASourceThatCannotBeReadIsOneLineAndExitOne) {
  ASSERT_EQ(::mkdir((FDir + "/folder").c_str(), 0700), 0);
  struct Row {
    std::string source, line;
  };
  const Row rows[] = {
      {FDir + "/folder", "talmocli: cannot read '" + FDir + "/folder': Is a directory\n"},
      {FDir + "/missing",
       "talmocli: cannot read '" + FDir + "/missing': No such file or directory\n"},
      // Opens, then fails to read part-way (its first page is not mapped).
      {"/proc/self/mem", "talmocli: cannot read '/proc/self/mem': Input/output error\n"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.source);
    TChild m({"monitor", "--device", FPath, "--send", r.source, "--seconds", "5"}, FDir);
    EXPECT_EQ(m.Wait(), 1) << m.ErrText;
    // A source refused at the start says only that; one that fails later
    // says it after the monitoring line.
    const std::string last = m.ErrText.substr(m.ErrText.rfind('\n', m.ErrText.size() - 2) + 1);
    EXPECT_EQ(m.ErrText.rfind('\n', m.ErrText.size() - 2) == std::string::npos ? m.ErrText : last,
              r.line)
        << m.ErrText;
  }
}

// ---- capture, signals, standard output ---------------------------------------

TEST_F(MonitorCli, TheCaptureHasEachBlockAtOnceAndSurvivesAHangUp) {
  const std::string capture = FDir + "/raw.bin";
  // Started from a script with standard input closed: descriptor 0 is one
  // of the monitor's own.
  TChild m({"monitor", "--device", FPath, "--capture", capture}, FDir, kNoInput);
  ASSERT_TRUE(m.WaitOpen()) << m.ErrText;
  const std::string bytes = Random(3000, 11);
  ASSERT_EQ(::write(FMaster, bytes.data(), 1000), 1000);
  ASSERT_EQ(::write(FMaster, bytes.data() + 1000, 2000), 2000);
  // While the monitor runs, a reader of the file (tail -f) sees it all.
  const auto end = Clock::now() + 5s;
  while (ReadFile(capture).size() < bytes.size() && Clock::now() < end)
    std::this_thread::sleep_for(5ms);
  EXPECT_EQ(ReadFile(capture), bytes) << "held back while the monitor runs";
  // The terminal closes: a clean end, nothing lost, the port free again.
  ::kill(m.Pid, SIGHUP);
  EXPECT_EQ(m.Wait(), 0) << m.ErrText;
  EXPECT_EQ(ReadFile(capture), bytes);
  TChild again({"monitor", "--device", FPath, "--seconds", "1"}, FDir);
  EXPECT_EQ(again.Wait(), 0) << again.ErrText;
}

TEST_F(MonitorCli, AReaderThatGoesAwayEndsTheRunWithTheCaptureComplete) {
  // talmocli monitor ... | head -1
  const std::string capture = FDir + "/raw.bin";
  TChild m({"monitor", "--device", FPath, "--capture", capture, "--first", "02", "--last", "03"},
           FDir);
  ASSERT_TRUE(m.WaitOpen()) << m.ErrText;
  ASSERT_EQ(::write(FMaster,
                    "\x02"
                    "one\x03",
                    5),
            5);
  ASSERT_TRUE(m.WaitOutput([](const std::string& s) { return Contains(s, "\n"); })) << m.ErrText;
  EXPECT_EQ(m.OutText, " STX o n e ETX\n");
  m.CloseOut();
  std::string more;
  for (int i = 0; i < 50; ++i)
    more +=
        "\x02"
        "two\x03";
  ASSERT_EQ(::write(FMaster, more.data(), more.size()), static_cast<ssize_t>(more.size()));
  EXPECT_EQ(m.Wait(), 0) << "the run ends by itself, not by SIGPIPE: " << m.ErrText;
  EXPECT_EQ(ReadFile(capture),
            "\x02"
            "one\x03" +
                more);
  EXPECT_FALSE(Contains(m.ErrText, "cannot write")) << m.ErrText;
  TChild again({"monitor", "--device", FPath, "--seconds", "1"}, FDir);
  EXPECT_EQ(again.Wait(), 0) << "the port is free again: " << again.ErrText;
}

TEST_F(MonitorCli, OutputThatCannotBeWrittenIsAnError) {
  const std::string full = "talmocli: cannot write output: No space left on device\n";
  {
    TChild ports({"ports"}, FDir, ToFile("/dev/full"));
    EXPECT_EQ(ports.Wait(), 1);
    EXPECT_EQ(ports.ErrText, full);
  }
  TChild m({"monitor", "--device", FPath, "--first", "02", "--last", "03", "--seconds", "20"}, FDir,
           ToFile("/dev/full"));
  ASSERT_TRUE(m.WaitOpen()) << m.ErrText;
  ASSERT_EQ(::write(FMaster,
                    "\x02"
                    "one\x03",
                    5),
            5);
  EXPECT_EQ(m.Wait(5s), 1) << m.ErrText;
  EXPECT_TRUE(m.ErrText.size() >= full.size() &&
              m.ErrText.substr(m.ErrText.size() - full.size()) == full)
      << m.ErrText;
}

// ---- waiting, device loss -----------------------------------------------------

TEST_F(MonitorCli, AnIdleMonitorSleeps) {
  // Counts the wake-ups of every thread: an idle monitor has nothing to do.
  TChild m({"monitor", "--device", FPath, "--first", "02", "--last", "03"}, FDir);
  ASSERT_TRUE(m.WaitOpen()) << m.ErrText;
  // A line that was started keeps one time-out, which then ends too.
  ASSERT_EQ(::write(FMaster,
                    "\x02"
                    "AB",
                    3),
            3);
  ASSERT_TRUE(m.WaitOutput([](const std::string& s) { return Contains(s, "\n"); })) << m.ErrText;
  const long long before = talmo::test::ContextSwitches(m.Pid);
  std::this_thread::sleep_for(2s);
  const long long woke = talmo::test::ContextSwitches(m.Pid) - before;
  std::printf("idle monitor: %lld wake-ups in 2 s\n", woke);
  EXPECT_LE(woke, 10);
  ::kill(m.Pid, SIGTERM);
  EXPECT_EQ(m.Wait(), 0);
}

// The built-in loopback port is wired as a loopback plug (RTS to CTS, DTR
// to DSR and DCD): what --dtr, --rts and --flow set comes back as the
// lines --lines shows, and --break-at-open comes back as a break.
TEST_F(MonitorCli, TheLoopbackPortShowsTheLinesItWasOpenedWith) {
  struct Row {
    std::vector<std::string> options;
    std::string first;   // the first line of standard output
    std::string status;  // a status record of the timed capture, if any
  };
  const Row rows[] = {
      {{"--lines"}, "-- CTS off, DSR off, DCD off, RI off", ""},
      {{"--lines", "--dtr", "on"}, "-- CTS off, DSR on, DCD on, RI off", ""},
      {{"--lines", "--rts", "on", "--dtr", "off"}, "-- CTS on, DSR off, DCD off, RI off", ""},
      {{"--lines", "--flow", "rtscts", "--dtr", "on"}, "-- CTS on, DSR on, DCD on, RI off", ""},
      {{"--lines", "--dtr", "on", "--rts", "on", "--capture", "lines.pcapng"},
       "-- CTS on, DSR on, DCD on, RI off",
       "modem lines: CTS on, DSR on, DCD on, RI off"},
      // A break comes back as a UART reports one: a NUL byte.
      {{"--break-at-open", "--hex", "--last", "00"}, " 00", ""},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.first);
    std::vector<std::string> args = {"monitor", "--port", "COM99"};
    std::string capture;
    for (const std::string& o : r.options) {
      const bool file = o.find(".pcapng") != std::string::npos;
      if (file) capture = FDir + "/" + o;
      args.push_back(file ? capture : o);
    }
    TChild m(args, FDir);
    ASSERT_TRUE(m.WaitOpen()) << m.ErrText;
    ASSERT_TRUE(m.WaitOutput([](const std::string& s) { return Contains(s, "\n"); })) << m.ErrText;
    EXPECT_EQ(m.OutText.substr(0, m.OutText.find('\n')), r.first);
    ::kill(m.Pid, SIGTERM);
    EXPECT_EQ(m.Wait(), 0) << m.ErrText;
    if (!r.status.empty()) {
      EXPECT_TRUE(Contains(ReadFile(capture), r.status)) << r.status;
    }
  }
}

// The lines are waited for in the kernel's way: an idle monitor that shows
// them does not wake.
TEST_F(MonitorCli, AnIdleMonitorShowingTheLinesDoesNotWake) {
  TChild m({"monitor", "--port", "COM99", "--lines", "--dtr", "on"}, FDir);
  ASSERT_TRUE(m.WaitOpen()) << m.ErrText;
  ASSERT_TRUE(m.WaitOutput([](const std::string& s) { return Contains(s, "\n"); })) << m.ErrText;
  std::this_thread::sleep_for(300ms);
  const long long before = talmo::test::ContextSwitches(m.Pid);
  std::this_thread::sleep_for(2s);
  const long long woke = talmo::test::ContextSwitches(m.Pid) - before;
  std::printf("idle monitor with --lines on COM99: %lld wake-ups in 2 s\n", woke);
  EXPECT_LE(woke, 10);
  ::kill(m.Pid, SIGTERM);
  EXPECT_EQ(m.Wait(), 0);
}

TEST_F(MonitorCli, TheLossOfTheDeviceIsToldAfterWhatCameBefore) {
  // Standard output and error on one pipe, as on a terminal.
  const std::string capture = FDir + "/raw.bin";
  TChild m({"monitor", "--device", FPath, "--first", "02", "--last", "03", "--capture", capture},
           FDir, kMerged);
  ASSERT_TRUE(m.WaitOutput([](const std::string& s) { return Contains(s, "monitoring"); }))
      << m.OutText;
  ASSERT_EQ(::write(FMaster,
                    "\x02"
                    "AB",
                    3),
            3);
  ASSERT_TRUE(Taken(capture, 3));
  ::close(FMaster);
  FMaster = -1;
  ::close(FSlave);
  FSlave = -1;
  EXPECT_EQ(m.Wait(), 1) << m.OutText;
  const std::string after = m.OutText.substr(m.OutText.find('\n') + 1);
  EXPECT_EQ(after, " STX A B\ntalmocli: " + FPath + ": The device is no longer available.\n");
}

TEST_F(MonitorCli, PlayTellsTheLossOfTheDeviceAfterWhatItPlayed) {
  // Sends A every 20 ms until the device goes away.
  const std::string script = File("s.txt", "m20 A\r\nr\r\n");
  TChild p({"play", "--device", FPath, script}, FDir, kMerged);
  // At least three sendings (a busy machine may let a fourth arrive too).
  ASSERT_GE(Receive(3).size(), 3u) << p.OutText;
  Unplug();
  EXPECT_EQ(p.Wait(), 1) << p.OutText;
  const std::string lost = "talmocli: " + FPath + ": The device is no longer available.\n";
  ASSERT_GE(p.OutText.size(), lost.size());
  EXPECT_EQ(p.OutText.substr(p.OutText.size() - lost.size()), lost) << p.OutText;
  // Before it only what was played, the first sending included.
  const std::string played = p.OutText.substr(0, p.OutText.size() - lost.size());
  EXPECT_EQ(played.rfind("T+", 0), 0u) << p.OutText;
  EXPECT_FALSE(Contains(played, "talmocli:")) << p.OutText;
  EXPECT_FALSE(Contains(p.OutText, "Error COM")) << p.OutText;
}

// ---- --reconnect ------------------------------------------------------------

TEST_F(MonitorCli, ReconnectWaitsForTheDeviceAndGoesOnWithTheSameCapture) {
  // A name that outlives the device behind it, as a udev by-id link does
  // (the test cannot choose the number of the next pseudo-terminal).
  const std::string link = FDir + "/ttyLINK";
  PointAt(link, FPath);
  const std::string capture = FDir + "/raw.bin";
  // Standard output and error on one pipe, as on a terminal.
  TChild m({"monitor", "--device", link, "--reconnect", "--first", "02", "--last", "03",
            "--capture", capture},
           FDir, kMerged);
  ASSERT_TRUE(m.WaitOutput([](const std::string& s) { return Contains(s, "monitoring"); }))
      << m.OutText;
  const std::string before =
      "\x02"
      "one\x03"
      "\x02"
      "AB";
  ASSERT_EQ(::write(FMaster, before.data(), before.size()), static_cast<ssize_t>(before.size()));
  ASSERT_TRUE(Taken(capture, before.size()));
  // The name leads nowhere while the device is away: the number of the
  // pseudo-terminal may go to another program's meanwhile.
  PointAt(link, FDir + "/absent");
  Unplug();
  const std::string lost =
      "talmocli: " + link + ": The device is no longer available. Waiting for it to come back.\n";
  ASSERT_TRUE(m.WaitOutput([&](const std::string& s) { return Contains(s, lost); })) << m.OutText;
  const auto rest = [&m] { return m.OutText.substr(m.OutText.find('\n') + 1); };
  // The unfinished line first, then the loss; once.
  EXPECT_EQ(rest(), " STX o n e ETX\n STX A B\n" + lost);

  // While it waits it tries again, at most about once a second once the
  // pause has grown (100 ms, doubled up to 1 s).
  std::this_thread::sleep_for(2s);
  const long long switches = talmo::test::ContextSwitches(m.Pid);
  std::this_thread::sleep_for(4s);
  const long long woke = talmo::test::ContextSwitches(m.Pid) - switches;
  std::printf("monitor waiting for its device: %lld wake-ups in 4 s\n", woke);
  EXPECT_LE(woke, 10);
  m.WaitOutput([](const std::string&) { return false; }, 100ms);
  EXPECT_EQ(rest(), " STX o n e ETX\n STX A B\n" + lost) << "nothing more while it waits";

  // The device is back under its name: same settings, same capture.
  const std::string first = FPath;
  Plug();
  PointAt(link, FPath);
  const std::string back = "talmocli: " + link + ": The device is back; monitoring goes on.\n";
  ASSERT_TRUE(m.WaitOutput([&](const std::string& s) { return Contains(s, back); }, 10s))
      << m.OutText;
  const std::string after =
      "\x02"
      "two\x03";
  ASSERT_EQ(::write(FMaster, after.data(), after.size()), static_cast<ssize_t>(after.size()));
  ASSERT_TRUE(m.WaitOutput([](const std::string& s) { return Contains(s, "t w o"); })) << m.OutText;
  ASSERT_TRUE(Taken(capture, before.size() + after.size()));
  ::kill(m.Pid, SIGTERM);
  EXPECT_EQ(m.Wait(), 0) << m.OutText;
  EXPECT_EQ(rest(), " STX o n e ETX\n STX A B\n" + lost + back + " STX t w o ETX\n")
      << "first device " << first;
  EXPECT_EQ(ReadFile(capture), before + after);
}

TEST_F(MonitorCli, SendGoesOnWithTheRestOfItsFileWhenTheDeviceIsBack) {
  const std::string link = FDir + "/ttyLINK";
  PointAt(link, FPath);
  const std::string bytes = Random(256 * 1024, 17);
  TChild m({"monitor", "--device", link, "--reconnect", "--send", File("send.bin", bytes)}, FDir);
  ASSERT_TRUE(m.WaitOpen()) << m.ErrText;
  // Part of the file arrives; the line then fills up and holds the rest back.
  const std::string first = Receive(8 * 1024);
  ASSERT_EQ(first, bytes.substr(0, first.size()));
  PointAt(link, FDir + "/absent");
  Unplug();
  ASSERT_TRUE(ReadUntil(m.Err, m.ErrText, [](const std::string& s) {
    return Contains(s, "Waiting for it");
  })) << m.ErrText;
  Plug();
  PointAt(link, FPath);
  ASSERT_TRUE(ReadUntil(m.Err, m.ErrText, [](const std::string& s) {
    return Contains(s, "is back");
  })) << m.ErrText;
  // What was under way at the loss went with the device; the rest of the
  // file follows in order, to its end, and nothing after it.
  std::string rest;
  ReadUntil(
      FMaster, rest, [](const std::string&) { return false; }, 3s);
  ASSERT_FALSE(rest.empty());
  ASSERT_LT(rest.size(), bytes.size() - first.size());
  EXPECT_TRUE(rest == bytes.substr(bytes.size() - rest.size()))
      << rest.size() << " bytes, not the end of the file";
  ::kill(m.Pid, SIGTERM);
  EXPECT_EQ(m.Wait(), 0) << m.ErrText;
}

TEST_F(MonitorCli, ADeviceBackButBusyIsToldOnceAndTriedUntilItOpens) {
  const std::string link = FDir + "/ttyLINK";
  PointAt(link, FPath);
  TChild m({"monitor", "--device", link, "--reconnect"}, FDir);
  ASSERT_TRUE(m.WaitOpen()) << m.ErrText;
  PointAt(link, FDir + "/absent");
  Unplug();
  ASSERT_TRUE(ReadUntil(m.Err, m.ErrText, [](const std::string& s) {
    return Contains(s, "Waiting for it");
  })) << m.ErrText;
  // Its absence is the first reason it cannot be opened, and not told.
  std::this_thread::sleep_for(1s);
  // It comes back, but another program holds it for a while.
  Plug();
  const int holder = ::open(FPath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
  PointAt(link, FPath);
  const std::string busy =
      "talmocli: Can't open specified device " + link + " (Error 16, Device or resource busy)\n";
  ASSERT_TRUE(ReadUntil(m.Err, m.ErrText, [&](const std::string& s) { return Contains(s, busy); }))
      << m.ErrText;
  std::this_thread::sleep_for(3s);
  ::close(holder);
  const std::string back = "talmocli: " + link + ": The device is back; monitoring goes on.\n";
  ASSERT_TRUE(ReadUntil(m.Err, m.ErrText, [&](const std::string& s) { return Contains(s, back); }))
      << m.ErrText;
  // One line for each: the loss, the other reason, the return.
  EXPECT_EQ(m.ErrText.substr(m.ErrText.find('\n') + 1),
            "talmocli: " + link +
                ": The device is no longer available. Waiting for it to come back.\n" + busy +
                back);
  ASSERT_EQ(::write(FMaster, "x", 1), 1);
  ASSERT_TRUE(m.WaitOutput([](const std::string& s) { return Contains(s, "x"); })) << m.OutText;
  ::kill(m.Pid, SIGTERM);
  EXPECT_EQ(m.Wait(), 0) << m.ErrText;
}

TEST_F(MonitorCli, WaitingForTheDeviceEndsOnRequestOrAtItsTime) {
  struct Row {
    const char* what;
    int signal;  // 0: --seconds ends it
  };
  const Row rows[] = {{"Ctrl+C", SIGINT}, {"kill", SIGTERM}, {"hang-up", SIGHUP}, {"--seconds", 0}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    Plug();
    const std::string link = FDir + "/ttyLINK";
    PointAt(link, FPath);
    std::vector<std::string> args = {"monitor", "--device", link, "--reconnect"};
    if (!r.signal) args.insert(args.end(), {"--seconds", "2"});
    TChild m(args, FDir);
    ASSERT_TRUE(m.WaitOpen()) << m.ErrText;
    // Not the pseudo-terminal's number, which another program may take next.
    PointAt(link, FDir + "/absent");
    Unplug();
    ASSERT_TRUE(ReadUntil(m.Err, m.ErrText, [](const std::string& s) {
      return Contains(s, "Waiting for it");
    })) << m.ErrText;
    if (r.signal) ::kill(m.Pid, r.signal);
    // A wait the user ends, or that reaches its time, is a clean end.
    EXPECT_EQ(m.Wait(5s), 0) << m.ErrText;
    EXPECT_EQ(std::count(m.ErrText.begin(), m.ErrText.end(), '\n'), 2) << m.ErrText;
  }
}

// ---- port names, settings, limits --------------------------------------------

TEST_F(MonitorCli, ABusyPortIsNamedWithItsDevicePath) {
  Settings(talmo::test::PortListed(FPath, "COM5"));
  // Another program holds the device.
  const int holder = ::open(FPath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
  TChild m({"monitor", "--port", "COM5", "--seconds", "1"}, FDir);
  EXPECT_EQ(m.Wait(), 1);
  EXPECT_EQ(m.ErrText, "talmocli: COM5: Can't open specified device " + FPath +
                           " (Error 16, Device or resource busy)\n");
  ::close(holder);
}

TEST_F(MonitorCli, ASettingsFileSetAsideOnTheWayToAPortIsTold) {
  const std::string script = File("s.txt", "m1 X\r\n");
  const std::vector<std::string> runs[] = {{"monitor", "--port", "COM5", "--seconds", "1"},
                                           {"play", "--port", "COM5", script}};
  for (const auto& args : runs) {
    SCOPED_TRACE(args.front());
    const std::string file =
        Settings(talmo::test::kSettingsHeader + "[HKEY_LOCAL_MACHINE\\X]\nREGBAUD=6\n");
    TChild m(args, FDir);
    EXPECT_EQ(m.Wait(), 1);
    const std::string head =
        "talmocli: The settings file could not be read (" + file + ", line 4: ";
    EXPECT_EQ(m.ErrText.rfind(head, 0), 0u) << m.ErrText;
    EXPECT_TRUE(Contains(m.ErrText, "It was set aside as " + file + ".unreadable-")) << m.ErrText;
    EXPECT_EQ(m.ErrText.substr(m.ErrText.find('\n') + 1),
              "talmocli: unknown port 'COM5' ('talmocli ports' lists the ports)\n");
    for (const auto& e : std::filesystem::directory_iterator(FDir + "/Velkerstam"))
      std::filesystem::remove(e);
  }
}

TEST_F(MonitorCli, ACaptureAtTheFileSizeLimitStopsWithItsErrorAndTheRunGoesOn) {
  const std::string capture = FDir + "/raw.bin";
  TChildOutput limited = kPipes;
  limited.FileSizeLimit = 1000;
  TChild m({"monitor", "--device", FPath, "--capture", capture}, FDir, limited);
  ASSERT_TRUE(m.WaitOpen()) << m.ErrText;
  const std::string bytes = Random(3000, 13);
  ASSERT_EQ(::write(FMaster, bytes.data(), bytes.size()), 3000);
  EXPECT_TRUE(ReadUntil(
      m.Err, m.ErrText, [](const std::string& s) { return Contains(s, "File too large"); }, 5s))
      << m.ErrText;
  // Still running: the monitor ends when asked, with the capture's failure.
  ASSERT_EQ(::write(FMaster, "more", 4), 4);
  std::this_thread::sleep_for(100ms);
  ::kill(m.Pid, SIGTERM);
  EXPECT_EQ(m.Wait(), 1) << m.ErrText;
  EXPECT_EQ(ReadFile(capture), bytes.substr(0, 1000));
}

// ---- timed captures ---------------------------------------------------------

// What the device sends: pieces with the pause after each.
struct TPiece {
  std::string Bytes;
  int PauseMs;
};

std::vector<TPiece> Frames(unsigned seed, const std::string& alphabet, std::vector<int> pauses) {
  std::mt19937 rng(seed);
  std::vector<TPiece> out;
  for (int i = 0; i < 24; ++i) {
    std::string frame = "\x02";
    const std::size_t n = 1 + rng() % 12;
    frame.push_back('\0');
    frame.push_back(static_cast<char>(n));
    for (std::size_t k = 0; k < n; ++k) frame.push_back(alphabet[rng() % alphabet.size()]);
    frame += "\x03";
    frame.push_back(static_cast<char>(rng()));
    // Cut where a line would: the frame in two writes, with a pause between.
    const std::size_t cut = 1 + rng() % (frame.size() - 1);
    out.push_back({frame.substr(0, cut), pauses[rng() % pauses.size()]});
    out.push_back({frame.substr(cut), pauses[rng() % pauses.size()]});
  }
  return out;
}

// Modbus RTU reads and their answers, each pair written whole or cut in two
// anywhere, with pauses on both sides of 9600 baud's 3.5-character silence.
std::vector<TPiece> ModbusFrames(unsigned seed, std::vector<int> pauses) {
  std::mt19937 rng(seed);
  const auto checked = [](std::string f) {
    const std::uint16_t crc = talmo::Crc16Modbus(f);
    f.push_back(static_cast<char>(crc & 0xFF));
    f.push_back(static_cast<char>(crc >> 8));
    return f;
  };
  std::vector<TPiece> out;
  for (int i = 0; i < 16; ++i) {
    std::string both =
        checked(std::string("\x01\x03\x00", 3) + static_cast<char>(i) + std::string("\x00\x02", 2));
    std::string answer("\x01\x03\x04", 3);
    for (int k = 0; k < 4; ++k) answer.push_back(static_cast<char>(rng()));
    both += checked(answer);
    const std::size_t cut = 1 + rng() % (both.size() - 1);
    out.push_back({both.substr(0, cut), pauses[rng() % pauses.size()]});
    out.push_back({both.substr(cut), pauses[rng() % pauses.size()]});
  }
  return out;
}

std::string RunAndStop(TChild& c) {
  ::kill(c.Pid, SIGINT);
  EXPECT_EQ(c.Wait(), 0) << c.ErrText;
  return c.OutText;
}

TEST_F(MonitorCli, TheDecodedTimedCaptureShowsWhatTheLiveViewShowed) {
  std::string any(256, '\0');
  for (int i = 0; i < 256; ++i) any[i] = static_cast<char>(i);
  const std::string manchester = "\x55\x56\x59\x5A\x65\x66\x69\x6A\x95\x96\xA5\xAA\x02\x03";
  const struct {
    const char* Name;
    std::vector<std::string> Options;
    std::vector<TPiece> Stream;
  } rows[] = {
      {"stx_hl and stamps", {"--stxhl", "--time"}, Frames(1, any, {0, 3, 30})},
      // Pauses on both sides of the 20 ms that cuts a PROD2 frame.
      {"prod2 by its pauses", {"--prod2"}, Frames(2, any, {0, 12, 17, 24, 35})},
      {"manchester",
       {"--manch", "--first", "02", "--last", "03", "--time"},
       Frames(3, manchester, {0, 5, 25})},
      {"signs with a check byte",
       {"--first", "02", "--last", "03", "--bcc", "--time"},
       Frames(4, any, {0, 2, 21})},
      {"hex", {"--hex", "--first", "02", "--last", "03"}, Frames(5, any, {0, 4})},
      {"frames by silence", {"--gap", "4"}, Frames(6, any, {0, 1, 8, 15})},
      {"modbus rtu", {"--modbus", "rtu"}, ModbusFrames(7, {0, 2, 6, 30})},
      {"modbus rtu, stamped", {"--modbus", "rtu", "--stamp=gap"}, ModbusFrames(8, {0, 6})},
      // A frame left open ends by the line time-out, then the next begins.
      {"the line time-out",
       {"--first", "02", "--last", "03", "--time"},
       {{"\x02open", 2200}, {"\x02next\x03", 0}, {"\x02and", 2100}, {"more", 0}}},
  };
  int i = 0;
  for (const auto& r : rows) {
    SCOPED_TRACE(r.Name);
    const std::string capture = FDir + "/run" + std::to_string(i++) + ".PcapNG";
    std::vector<std::string> args = {"monitor", "--device", FPath, "--capture", capture};
    args.insert(args.end(), r.Options.begin(), r.Options.end());
    TChild live(args, FDir);
    ASSERT_TRUE(live.WaitOpen()) << live.ErrText;
    std::size_t sent = 0;
    for (const TPiece& p : r.Stream) {
      ASSERT_EQ(::write(FMaster, p.Bytes.data(), p.Bytes.size()),
                static_cast<ssize_t>(p.Bytes.size()));
      sent += p.Bytes.size();
      std::this_thread::sleep_for(std::chrono::milliseconds(p.PauseMs));
    }
    ASSERT_TRUE(Taken(FDir + "/none", sent + 1));
    const std::string shown = RunAndStop(live);
    ASSERT_FALSE(shown.empty());
    std::vector<std::string> decodeArgs = {"decode"};
    decodeArgs.insert(decodeArgs.end(), r.Options.begin(), r.Options.end());
    decodeArgs.push_back(capture);
    TChild decode(decodeArgs, FDir);
    EXPECT_EQ(decode.Wait(), 0) << decode.ErrText;
    // A capture may hold both directions: decode marks each Modbus line
    // with its own, where the one-port live view has only received ones.
    std::string decoded = decode.OutText;
    if (std::find(r.Options.begin(), r.Options.end(), "--modbus") != r.Options.end()) {
      for (std::size_t at = 0; (at = decoded.find("RX ", at)) != std::string::npos;) {
        if (at == 0 || decoded[at - 1] == '\n')
          decoded.erase(at, 3);
        else
          at += 3;
      }
    }
    EXPECT_EQ(decoded, shown);
  }
}

TEST_F(MonitorCli, ATimedCaptureHoldsBothDirectionsForDecodeAndTshark) {
  const std::string capture = FDir + "/both.pcapng";
  const std::string out = Random(600, 21);
  const std::string in = "\x02reply\x03";
  TChild m({"monitor", "--device", FPath, "--capture", capture, "--send", File("s.bin", out),
            "--first", "02", "--last", "03"},
           FDir);
  ASSERT_TRUE(m.WaitOpen()) << m.ErrText;
  EXPECT_EQ(Receive(out.size()), out);
  ASSERT_EQ(::write(FMaster, in.data(), in.size()), static_cast<ssize_t>(in.size()));
  ASSERT_TRUE(m.WaitOutput([](const std::string& s) { return Contains(s, "ETX"); }));
  RunAndStop(m);

  TChild sent({"decode", "--sent", "--hex", "--first", "02", "--last", "03", capture}, FDir);
  EXPECT_EQ(sent.Wait(), 0) << sent.ErrText;
  // The sent lines are those of the same bytes decoded as a raw capture.
  TChild rawSent({"decode", "--hex", "--first", "02", "--last", "03", File("s.raw", out)}, FDir);
  EXPECT_EQ(rawSent.Wait(), 0);
  EXPECT_EQ(sent.OutText, rawSent.OutText);
  TChild both({"decode", "--both", "--first", "02", "--last", "03", capture}, FDir);
  EXPECT_EQ(both.Wait(), 0) << both.ErrText;
  std::istringstream lines(both.OutText);
  int rx = 0, tx = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("RX ", 0) == 0)
      ++rx;
    else if (line.rfind("TX ", 0) == 0)
      ++tx;
    else
      ADD_FAILURE() << "a line without its direction: " << line;
  }
  EXPECT_EQ(rx, 1);
  EXPECT_GT(tx, 0);

  // tshark reads it: one packet per block, the bytes as they went.
  const std::string fields = FDir + "/fields.txt";
  const std::string cmd = "HOME=" + FDir + " tshark -r " + capture +
                          " -T fields -e rtacser.eventtype -e data.data > " + fields +
                          " 2>/dev/null";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  std::istringstream rows(ReadFile(fields));
  std::string txHex, rxHex;
  for (std::string row; std::getline(rows, row);) {
    const auto tab = row.find('\t');
    const std::string event = row.substr(0, tab), data = row.substr(tab + 1);
    if (event == "0x01") txHex += data;
    if (event == "0x02") rxHex += data;
  }
  const auto hex = [](const std::string& b) {
    std::string h;
    char two[3];
    for (unsigned char c : b) {
      std::snprintf(two, sizeof two, "%02x", c);
      h += two;
    }
    return h;
  };
  EXPECT_EQ(txHex, hex(out));
  EXPECT_EQ(rxHex, hex(in));
}

// ---- several ports on one timeline ----------------------------------------------

// " STX a b ETX": a frame's line as the monitor shows it.
std::string FrameLine(const std::string& text) {
  std::string line = " STX";
  for (const char c : text) line += std::string(" ") + c;
  return line + " ETX";
}

std::string Frame(const std::string& text) { return "\x02" + text + "\x03"; }

void Put(int fd, const std::string& bytes) {
  ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

// The monitor has read what the device end was given: its side of the
// line has held nothing for a while.
bool Drained(int slave) {
  const auto end = Clock::now() + 5s;
  auto emptySince = Clock::now();
  while (Clock::now() < end) {
    int queued = 0;
    if (::ioctl(slave, FIONREAD, &queued) != 0 || queued > 0) emptySince = Clock::now();
    if (Clock::now() - emptySince > 300ms) return true;
    std::this_thread::sleep_for(2ms);
  }
  return false;
}

bool Says(TChild& c, const std::string& part) {
  return ReadUntil(c.Err, c.ErrText, [&](const std::string& s) { return Contains(s, part); });
}

// A request on one port, its answer on the other (a Y-cable's two
// adapters), each shown before the next is made: the timeline has every
// line in that order with its port's label, and a decode of the capture
// says the same.
TEST_F(MonitorCli, SeveralPortsShowTheirLinesInOrderEachWithItsLabel) {
  TPtyPair dev;
  ASSERT_TRUE(dev.Open());
  const std::string capture = FDir + "/y.pcapng";
  const std::vector<std::string> framing = {"--first", "02", "--last", "03", "--time"};
  std::vector<std::string> args = {"monitor", "--device",  "host=" + FPath, "--device",
                                   dev.Path,  "--capture", capture};
  args.insert(args.end(), framing.begin(), framing.end());
  TChild m(args, FDir);
  ASSERT_TRUE(Says(m, "Ctrl+C ends")) << m.ErrText;
  EXPECT_TRUE(Contains(m.ErrText, "talmocli: monitoring host: " + FPath + " (" + FPath + ") at "))
      << m.ErrText;
  std::vector<std::string> expected;
  // --time adds a stamp before each line: compare what follows it.
  const auto shown = [&m] {
    std::vector<std::string> lines;
    std::istringstream in(m.OutText);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  };
  const auto marked = [](const std::string& line) {
    // "host 12:00:00.000 ... STX ...": the label, then the frame.
    const auto stx = line.find(" STX");
    return line.substr(0, line.find(' ')) + " " + line.substr(stx);
  };
  for (int i = 0; i < 16; ++i) {
    SCOPED_TRACE(i);
    const bool host = i % 2 == 0;
    const std::string text = (host ? "q" : "a") + std::to_string(i);
    if (i == 8) {
      // A frame begun on one port and ended after the other's whole
      // frame: the line comes when it is finished.
      Put(FMaster,
          "\x02"
          "ha");
      Put(dev.Master, Frame("mid"));
      expected.push_back(dev.Path + " " + FrameLine("mid"));
      ASSERT_TRUE(
          m.WaitOutput([&](const std::string&) { return shown().size() >= expected.size(); }));
      Put(FMaster, "lf\x03");
      expected.push_back("host " + FrameLine("half"));
    } else {
      Put(host ? FMaster : dev.Master, Frame(text));
      expected.push_back((host ? "host " : dev.Path + " ") + FrameLine(text));
    }
    ASSERT_TRUE(m.WaitOutput([&](const std::string&) { return shown().size() >= expected.size(); }))
        << m.OutText;
  }
  const std::string live = RunAndStop(m);
  std::vector<std::string> got;
  for (const std::string& line : shown()) got.push_back(marked(line));
  EXPECT_EQ(got, expected) << live;

  std::vector<std::string> decodeArgs = {"decode"};
  decodeArgs.insert(decodeArgs.end(), framing.begin(), framing.end());
  decodeArgs.push_back(capture);
  TChild decode(decodeArgs, FDir);
  EXPECT_EQ(decode.Wait(), 0) << decode.ErrText;
  EXPECT_EQ(decode.OutText, live);
}

// Every byte value on both ports, in pieces that take turns: the capture
// has each port's bytes exactly, under its label, and decodes to the lines
// shown live.
TEST_F(MonitorCli, ATimedCaptureOfSeveralPortsHoldsEachPortsBytesExactly) {
  TPtyPair dev;
  ASSERT_TRUE(dev.Open());
  std::string any(256, '\0');
  for (int i = 0; i < 256; ++i) any[i] = static_cast<char>(i);
  const std::string back(any.rbegin(), any.rend());
  const std::string capture = FDir + "/all.pcapng";
  const std::vector<std::string> framing = {"--hex", "--first", "02", "--last", "03"};
  std::vector<std::string> args = {"monitor",         "--device",  "A=" + FPath, "--device",
                                   "B-2=" + dev.Path, "--capture", capture};
  args.insert(args.end(), framing.begin(), framing.end());
  TChild m(args, FDir);
  ASSERT_TRUE(Says(m, "Ctrl+C ends")) << m.ErrText;
  for (std::size_t at = 0; at < 256; at += 64) {
    Put(FMaster, any.substr(at, 64));
    ASSERT_TRUE(Drained(FSlave));
    Put(dev.Master, back.substr(at, 64));
    ASSERT_TRUE(Drained(dev.Slave));
  }
  const std::string live = RunAndStop(m);
  ASSERT_FALSE(live.empty());
  std::istringstream lines(live);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_TRUE(line.rfind("A ", 0) == 0 || line.rfind("B-2 ", 0) == 0) << line;
  }

  TChild decode({"decode", "--hex", "--first", "02", "--last", "03", capture}, FDir);
  EXPECT_EQ(decode.Wait(), 0) << decode.ErrText;
  EXPECT_EQ(decode.OutText, live);

  const std::string file = ReadFile(capture);
  std::size_t pos = 0;
  talmo::pcapng::TPcapngReader reader([&](std::uint8_t* p, std::size_t n) {
    const std::size_t k = std::min(n, file.size() - pos);
    std::memcpy(p, file.data() + pos, k);
    pos += k;
    return static_cast<long>(k);
  });
  std::map<std::string, std::string> received;
  for (;;) {
    const auto step = reader.Next();
    ASSERT_NE(step, talmo::pcapng::TPcapngReader::TStep::Error) << reader.Error();
    if (step == talmo::pcapng::TPcapngReader::TStep::End) break;
    const auto& p = reader.Packet();
    if (p.Event == talmo::pcapng::TEvent::RxData)
      received[reader.Interfaces()[p.Interface].Name] += std::string(p.Payload);
  }
  ASSERT_EQ(reader.Interfaces().size(), 2u);
  EXPECT_TRUE(Contains(reader.Interfaces()[1].Description, dev.Path)) << "its device";
  EXPECT_EQ(received.size(), 2u);
  EXPECT_EQ(received["A"], any);
  EXPECT_EQ(received["B-2"], back);
}

// One port unplugged: the other goes on. Without --reconnect the run ends
// when the last port is gone, with exit 1; with it, the port is waited for
// and comes back.
TEST_F(MonitorCli, APortLostLeavesTheOthersRunning) {
  for (const bool reconnect : {false, true}) {
    SCOPED_TRACE(reconnect ? "--reconnect" : "without --reconnect");
    Plug();
    TPtyPair dev;
    ASSERT_TRUE(dev.Open());
    const std::string link = FDir + "/ttyDEV";
    std::filesystem::remove(link);
    PointAt(link, dev.Path);
    std::vector<std::string> args = {"monitor",  "--device",    "host=" + FPath,
                                     "--device", "dev=" + link, "--first",
                                     "02",       "--last",      "03"};
    if (reconnect) args.push_back("--reconnect");
    TChild m(args, FDir);
    ASSERT_TRUE(Says(m, "Ctrl+C ends")) << m.ErrText;
    Put(dev.Master, Frame("x"));
    ASSERT_TRUE(m.WaitOutput([](const std::string& s) { return Contains(s, "dev  STX x ETX\n"); }));
    PointAt(link, FDir + "/absent");
    dev.Close();
    const std::string lost =
        "talmocli: dev: " + link + ": The device is no longer available. " +
        (reconnect ? "Waiting for it to come back." : "The other ports go on.") + "\n";
    ASSERT_TRUE(Says(m, lost)) << m.ErrText;
    Put(FMaster, Frame("y"));
    ASSERT_TRUE(m.WaitOutput([](const std::string& s) { return Contains(s, "host  STX y ETX\n"); }))
        << m.OutText;
    if (reconnect) {
      ASSERT_TRUE(dev.Open());
      PointAt(link, dev.Path);
      ASSERT_TRUE(Says(m, "talmocli: dev: " + link + ": The device is back; monitoring goes on.\n"))
          << m.ErrText;
      Put(dev.Master, Frame("z"));
      ASSERT_TRUE(m.WaitOutput([](const std::string& s) {
        return Contains(s, "dev  STX z ETX\n");
      })) << m.OutText;
      ::kill(m.Pid, SIGTERM);
      EXPECT_EQ(m.Wait(), 0) << m.ErrText;
      EXPECT_EQ(m.OutText, "dev  STX x ETX\nhost  STX y ETX\ndev  STX z ETX\n");
    } else {
      Unplug();
      EXPECT_EQ(m.Wait(), 1) << m.ErrText;
      EXPECT_EQ(m.OutText, "dev  STX x ETX\nhost  STX y ETX\n");
      const std::string last =
          "talmocli: host: " + FPath + ": The device is no longer available.\n";
      ASSERT_GE(m.ErrText.size(), last.size());
      EXPECT_EQ(m.ErrText.substr(m.ErrText.size() - last.size()), last) << m.ErrText;
    }
  }
}

TEST_F(MonitorCli, DecodeRefusesWhatItCannotReadWithOneLine) {
  // A capture cut in its last block (a killed writer) shows its whole
  // blocks, then says where the file ends.
  const std::string capture = FDir + "/cut.pcapng";
  TChild m({"monitor", "--device", FPath, "--capture", capture}, FDir);
  ASSERT_TRUE(m.WaitOpen()) << m.ErrText;
  for (const char* piece : {"first", "second", "third"}) {
    ASSERT_EQ(::write(FMaster, piece, std::strlen(piece)),
              static_cast<ssize_t>(std::strlen(piece)));
    std::this_thread::sleep_for(50ms);
  }
  RunAndStop(m);
  const std::string whole = ReadFile(capture);
  // Cut inside the block of the last bytes (the end's own record follows).
  ASSERT_NE(whole.rfind("third"), std::string::npos);
  const std::string cut = File("cut2.pcapng", whole.substr(0, whole.rfind("third") + 2));
  TChild partial({"decode", "--hex", cut}, FDir);
  EXPECT_EQ(partial.Wait(), 1);
  EXPECT_TRUE(Contains(partial.OutText, "73 65 63 6F 6E 64") || Contains(partial.OutText, "second"))
      << partial.OutText;
  EXPECT_FALSE(Contains(partial.OutText, "74 68 69 72 64")) << partial.OutText;
  EXPECT_TRUE(Contains(partial.ErrText, "ends at byte")) << partial.ErrText;
  EXPECT_EQ(std::count(partial.ErrText.begin(), partial.ErrText.end(), '\n'), 1) << partial.ErrText;

  // Another link type: one line naming it.
  std::uint32_t sectionLength = 0;
  std::memcpy(&sectionLength, whole.data() + 4, 4);
  std::string ethernet = whole.substr(0, sectionLength);  // the section header
  const unsigned char idb[] = {1, 0, 0, 0, 20, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 20, 0, 0, 0};
  ethernet.append(reinterpret_cast<const char*>(idb), sizeof idb);
  const unsigned char epb[] = {6, 0, 0, 0, 36, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  0, 0, 0,
                               0, 0, 4, 0, 0,  0, 4, 0, 0, 0, 1, 2, 3, 4, 36, 0, 0, 0};
  ethernet.append(reinterpret_cast<const char*>(epb), sizeof epb);
  TChild other({"decode", File("eth.pcapng", ethernet)}, FDir);
  EXPECT_EQ(other.Wait(), 1);
  EXPECT_TRUE(Contains(other.ErrText, "link type 1,")) << other.ErrText;

  // A raw capture has no sent bytes.
  TChild raw({"decode", "--both", File("raw.bin", "abc")}, FDir);
  EXPECT_EQ(raw.Wait(), 1);
  EXPECT_TRUE(Contains(raw.ErrText, "raw capture")) << raw.ErrText;
}

}  // namespace

// ---- the ends of a run ---------------------------------------------------------

// What cannot go on never holds the run, and a start that fails leaves the
// files as they were: a capture FIFO nobody reads, a link that cannot be
// made, a standard output nobody reads.
TEST_F(MonitorCli, ARunThatCannotGoOnEndsAndLeavesTheFilesAsTheyWere) {
  const std::string fifo = FDir + "/fifo", previous = FDir + "/prev.log";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string kept(100000, 'k');
  enum class TEnd { Itself, Sigterm };
  const struct {
    const char* name;
    std::vector<std::string> args;
    TEnd end;
    int exit;
    const char* said;
  } rows[] = {
      {"monitor, a FIFO capture without a reader, --seconds",
       {"monitor", "--device", FPath, "--capture", fifo, "--seconds", "1"},
       TEnd::Itself,
       1,
       "never had a reader"},
      {"monitor, a FIFO capture without a reader, SIGTERM",
       {"monitor", "--device", FPath, "--capture", fifo},
       TEnd::Sigterm,
       1,
       "never had a reader"},
      {"tap, a FIFO capture without a reader, SIGTERM",
       {"tap", "--device", FPath, "--capture", fifo, "--link", FDir + "/link"},
       TEnd::Sigterm,
       1,
       "never had a reader"},
      {"tap, a link that cannot be made",
       {"tap", "--device", FPath, "--capture", previous, "--link", FDir + "/missing/link"},
       TEnd::Itself,
       1,
       "cannot make the link"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    File("prev.log", kept);
    TChild m(row.args, FDir);
    if (row.end == TEnd::Sigterm) {
      ASSERT_TRUE(m.WaitErrLine("waiting for a reader")) << m.ErrText;
      ::kill(m.Pid, SIGTERM);
    }
    EXPECT_EQ(m.Wait(5s), row.exit) << m.ErrText;
    EXPECT_TRUE(Contains(m.ErrText, row.said)) << m.ErrText;
    EXPECT_EQ(ReadFile(previous), kept);
  }
  // The port was let go each time.
  TChild again({"monitor", "--device", FPath, "--seconds", "0"}, FDir);
  EXPECT_EQ(again.Wait(), 0) << again.ErrText;
}

TEST_F(MonitorCli, AStandardOutputNobodyReadsHoldsBackNothingElse) {
  // talmocli monitor ... | (a reader that has stopped)
  const std::string capture = FDir + "/raw.bin";
  TChild m({"monitor", "--device", FPath, "--capture", capture, "--first", "02", "--last", "03"},
           FDir);
  ASSERT_TRUE(m.WaitOpen()) << m.ErrText;
  std::string frames;
  for (int i = 0; i < 40000; ++i) frames += "\x02" + std::to_string(i) + "\x03";
  std::size_t sent = 0;
  for (int i = 0; i < 20000 && sent < frames.size(); ++i) {
    const ssize_t w =
        ::write(FMaster, frames.data() + sent, std::min<std::size_t>(frames.size() - sent, 512));
    if (w > 0)
      sent += static_cast<std::size_t>(w);
    else
      std::this_thread::sleep_for(1ms);
  }
  ASSERT_EQ(sent, frames.size()) << "the monitor went on reading the line";
  ASSERT_TRUE(Taken(capture, frames.size()));
  ::kill(m.Pid, SIGTERM);
  EXPECT_EQ(m.Wait(5s), 1) << "ends on SIGTERM: " << m.ErrText;
  EXPECT_TRUE(Contains(m.ErrText, "lines were not shown: standard output was not being read"))
      << m.ErrText;
  EXPECT_EQ(ReadFile(capture), frames);
}
