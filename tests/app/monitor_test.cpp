// The headless monitor over a pseudo-terminal that the test plays the device
// on, compared with decode of the same bytes.

#include "app/monitor_command.h"
#include "app/ports_command.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <random>
#include <thread>

#include "app/cli_args.h"
#include "app/decode_command.h"
#include "app/port_args.h"
#include "capture/capture_file.h"
#include "engine/formatter.h"
#include "support/manual_clock.h"
#include "support/pty_pair.h"
#include "support/read_until.h"
#include "support/temp_dir.h"

namespace talmo {
namespace {

using test::ReadUntil;
using test::TManualClock;
using namespace std::chrono_literals;

// A monitor running on its own thread, its output and errors read through
// pipes as a user would see them.
class RunningMonitor {
 public:
  explicit RunningMonitor(std::vector<std::string> args,
                          TMonitorClock clock = TMonitorClock::System()) {
    EXPECT_EQ(pipe(FOutPipe), 0);
    EXPECT_EQ(pipe(FErrPipe), 0);
    FThread = std::thread([this, args, clock] {
      std::FILE* out = fdopen(FOutPipe[1], "w");
      std::FILE* err = fdopen(FErrPipe[1], "w");
      setvbuf(err, nullptr, _IONBF, 0);
      FCode = RunMonitor(args, out, err, &Stop, clock);
      Ended = true;
      std::fclose(out);
      std::fclose(err);
    });
  }
  ~RunningMonitor() {
    Finish();
    ::close(FOutPipe[0]);
    ::close(FErrPipe[0]);
  }
  bool WaitOpen() {
    return ReadUntil(
        FErrPipe[0], Err,
        [](const std::string& s) {
          return s.find("monitoring") != std::string::npos ||
                 s.find("talmocli: ") != std::string::npos;
        },
        5s);
  }
  bool WaitLines(std::size_t n, int ms = 5000) {
    return ReadUntil(
        FOutPipe[0], Out,
        [n](const std::string& s) {
          return static_cast<std::size_t>(std::count(s.begin(), s.end(), '\n')) >= n;
        },
        std::chrono::milliseconds(ms));
  }
  bool WaitErr(const std::string& part) {
    return ReadUntil(
        FErrPipe[0], Err,
        [part](const std::string& s) { return s.find(part) != std::string::npos; }, 5s);
  }
  int Finish() {
    if (FThread.joinable()) {
      Stop.Request();
      FThread.join();
      ReadUntil(
          FOutPipe[0], Out, [](const std::string&) { return false; }, 200ms);
      ReadUntil(
          FErrPipe[0], Err, [](const std::string&) { return false; }, 50ms);
    }
    return FCode;
  }
  // Waits (in real time, 5 s at most) for the run to end by itself.
  bool WaitEnded(int ms = 5000) {
    for (int i = 0; i < ms / 10 && !Ended; ++i) std::this_thread::sleep_for(10ms);
    return Ended;
  }
  std::string Out, Err;
  TMonitorStop Stop;
  std::atomic<bool> Ended{false};

 private:
  int FOutPipe[2]{}, FErrPipe[2]{};
  std::thread FThread;
  int FCode = -1;
};

class MonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FTemp.UseAsConfigHome();
    ASSERT_TRUE(FLine.Open(test::TPtyPair::TMaster::Blocking));
  }
  test::TTempDir FTemp{"talmo-monitor"};
  test::TPtyPair FLine;
  std::string FDir = FTemp.Path();
  int& FMaster = FLine.Master;
  int& FSlave = FLine.Slave;
  std::string& FPath = FLine.Path;
};

std::string DecodeOf(const std::string& bytes, const std::vector<std::string>& framing,
                     const std::string& dir) {
  const std::string file = dir + "/decode.in";
  std::ofstream(file, std::ios::binary) << bytes;
  std::vector<std::string> args = framing;
  args.push_back(file);
  char* buf = nullptr;
  std::size_t len = 0;
  std::FILE* out = open_memstream(&buf, &len);
  std::FILE* err = std::fopen("/dev/null", "w");
  RunDecode(args, -1, out, err);
  std::fclose(out);
  std::fclose(err);
  std::string s(buf, len);
  std::free(buf);
  return s;
}

TEST_F(MonitorTest, FramesComeOutAsDecodeShowsThemAndTheCaptureIsExact) {
  std::mt19937 rng(3);
  std::string bytes;
  for (int f = 0; f < 40; ++f) {
    const int len = 1 + static_cast<int>(rng() % 40);
    bytes += '\x02';
    bytes += '\x00';
    bytes += static_cast<char>(len);
    for (int i = 0; i < len; ++i) bytes += static_cast<char>(rng());
  }
  const std::vector<std::string> framing = {"--stxhl", "--hex"};
  const std::string expected = DecodeOf(bytes, framing, FDir);
  const auto lines = static_cast<std::size_t>(std::count(expected.begin(), expected.end(), '\n'));

  std::vector<std::string> args = {"--device",        FPath,    "--capture",
                                   FDir + "/raw.bin", "--baud", "115200"};
  args.insert(args.end(), framing.begin(), framing.end());
  TManualClock clock;
  RunningMonitor m(args, clock.Clock());
  ASSERT_TRUE(m.WaitOpen()) << m.Err;
  ASSERT_NE(m.Err.find("monitoring " + FPath), std::string::npos) << m.Err;
  for (std::size_t pos = 0; pos < bytes.size(); pos += 97) {
    const std::string piece = bytes.substr(pos, 97);
    ASSERT_EQ(::write(FMaster, piece.data(), piece.size()), static_cast<ssize_t>(piece.size()));
  }
  // The last frame's line ends with the line time-out, as in decode.
  for (int i = 0; i < 500 && test::ReadFile(FDir + "/raw.bin").size() < bytes.size(); ++i)
    std::this_thread::sleep_for(10ms);
  clock.Advance(std::chrono::milliseconds(kLineTimeoutMs));
  ASSERT_TRUE(m.WaitLines(lines)) << m.Out;
  EXPECT_EQ(m.Finish(), kExitOk) << m.Err;
  EXPECT_EQ(m.Out, expected);
  EXPECT_EQ(test::ReadFile(FDir + "/raw.bin"), bytes);
}

// The monitor's timers, run on a clock the test moves: each ends exactly at
// its time, and none wakes the monitor before.
TEST_F(MonitorTest, AnUnfinishedLineIsShownAfterTheTimeout) {
  TManualClock clock;
  const std::string capture = FDir + "/raw.bin";
  RunningMonitor m({"--device", FPath, "--first", "02", "--last", "03", "--capture", capture},
                   clock.Clock());
  ASSERT_TRUE(m.WaitOpen()) << m.Err;
  EXPECT_EQ(clock.NextSleep(), TManualClock::kNoTimeout) << "an idle monitor has no time-out";
  ASSERT_EQ(::write(FMaster,
                    "\x02"
                    "AB",
                    3),
            3);
  // Captured as each block is handled: then the line is being collected.
  for (int i = 0; i < 500 && test::ReadFile(capture).size() < 3; ++i)
    std::this_thread::sleep_for(10ms);
  ASSERT_EQ(test::ReadFile(capture),
            "\x02"
            "AB");
  EXPECT_EQ(clock.NextSleep(), 1999ms);
  clock.Advance(1998ms);
  EXPECT_FALSE(m.WaitLines(1, 50)) << m.Out;
  clock.Advance(1ms);
  ASSERT_TRUE(m.WaitLines(1)) << "no flush after the line time-out";
  EXPECT_EQ(m.Out, " STX A B\n");
  EXPECT_EQ(clock.NextSleep(), TManualClock::kNoTimeout) << "the time-out ends with the line";
  m.Finish();
}

// A slow stream's hand-offs are batched (the monitor rests 20 ms after a
// small batch), but never with time stamps or PROD2: there each block is
// handled as it comes, so its stamp and a PROD2 pause are what the line saw.
TEST_F(MonitorTest, OnlyAnUnstampedNonProd2StreamIsBatched) {
  const struct {
    const char* name;
    std::vector<std::string> options;
    std::chrono::milliseconds sleep;  // the sleep after a small block
  } rows[] = {
      {"plain", {}, 20ms},
      {"time stamps", {"--time"}, 1999ms},
      {"PROD2", {"--prod2"}, 1999ms},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    TManualClock clock;
    std::vector<std::string> args = {"--device", FPath, "--first", "02", "--last", "03"};
    args.insert(args.end(), r.options.begin(), r.options.end());
    RunningMonitor m(args, clock.Clock());
    ASSERT_TRUE(m.WaitOpen()) << m.Err;
    EXPECT_EQ(clock.NextSleep(), TManualClock::kNoTimeout);
    clock.Advance(1000ms);  // a second of silence: the stream is slow
    ASSERT_EQ(::write(FMaster,
                      "\x02"
                      "AB",
                      3),
              3);
    EXPECT_EQ(clock.NextSleep(), r.sleep);
    m.Finish();
  }
}

// The port's own pause when it closes after a loss runs on the monitor's
// clock too, and the first try to reopen follows it.
TEST_F(MonitorTest, ALossClosesThePortOnTheMonitorsClock) {
  TManualClock clock;
  RunningMonitor m({"--device", FPath, "--reconnect"}, clock.Clock());
  ASSERT_TRUE(m.WaitOpen()) << m.Err;
  EXPECT_EQ(clock.NextSleep(), TManualClock::kNoTimeout);
  FLine.Close();
  EXPECT_EQ(clock.NextSleep(), 300ms) << "the close's pause, on the test's clock";
  clock.Advance(300ms);
  EXPECT_EQ(clock.NextSleep(), 100ms) << "the first try";
  ASSERT_TRUE(m.WaitErr("Waiting for it to come back.")) << m.Err;
  m.Finish();
}

// The same rule as the window's: a pseudo-terminal opens with 7 bits or
// parity asked for, and the monitor says once what it ignores.
TEST_F(MonitorTest, APseudoTerminalOpensWithAFormatItIgnoresAndSaysSo) {
  RunningMonitor m({"--device", FPath, "--databits", "7", "--parity", "odd", "--baud", "9600"});
  ASSERT_TRUE(m.WaitOpen()) << m.Err;
  ASSERT_TRUE(m.WaitErr("monitoring")) << m.Err;
  EXPECT_NE(m.Err.find("talmocli: " + FPath +
                       ": The device ignores 7 data bits, parity odd: a pseudo-terminal keeps 8 "
                       "data bits and no parity.\n"),
            std::string::npos)
      << m.Err;
  EXPECT_EQ(m.Finish(), kExitOk) << m.Err;
}

TEST_F(MonitorTest, SecondsEndTheRunAtTheirTime) {
  TManualClock clock;
  RunningMonitor m({"--device", FPath, "--seconds", "3"}, clock.Clock());
  ASSERT_TRUE(m.WaitOpen()) << m.Err;
  EXPECT_EQ(clock.NextSleep(), 3000ms);
  clock.Advance(2999ms);
  EXPECT_FALSE(m.WaitEnded(50));
  clock.Advance(1ms);
  ASSERT_TRUE(m.WaitEnded());
  EXPECT_EQ(m.Finish(), kExitOk) << m.Err;
}

TEST_F(MonitorTest, RepeatSendsEachCopyAtItsTime) {
  TManualClock clock;
  const std::string source = FDir + "/hello.bin";
  std::ofstream(source, std::ios::binary) << "hello";
  RunningMonitor m({"--device", FPath, "--send", source, "--repeat", "250"}, clock.Clock());
  ASSERT_TRUE(m.WaitOpen()) << m.Err;
  std::string sent;
  const auto got = [&](std::size_t n, int ms = 5000) {
    return ReadUntil(
        FMaster, sent, [n](const std::string& s) { return s.size() >= n; },
        std::chrono::milliseconds(ms));
  };
  ASSERT_TRUE(got(5));
  // The copy has gone out: the next starts 250 ms after this one started.
  std::optional<std::chrono::milliseconds> sleep;
  while ((sleep = clock.NextSleep()) && *sleep != 250ms) {
  }
  ASSERT_EQ(sleep, 250ms);
  clock.Advance(249ms);
  EXPECT_FALSE(got(6, 50)) << sent;
  clock.Advance(1ms);
  ASSERT_TRUE(got(10));
  EXPECT_EQ(sent, "hellohello");
  EXPECT_EQ(m.Finish(), kExitOk) << m.Err;
}

TEST_F(MonitorTest, ADeviceThatGoesAwayEndsTheMonitorWithExitOne) {
  RunningMonitor m({"--device", FPath});
  ASSERT_TRUE(m.WaitOpen()) << m.Err;
  ::close(FMaster);
  FMaster = -1;
  ::close(FSlave);
  FSlave = -1;
  ASSERT_TRUE(m.WaitErr("no longer available"));
  EXPECT_EQ(m.Finish(), kExitFailure);
  // The loss is not a line error of a COM port: told once, naming the device.
  EXPECT_EQ(m.Out, "");
  EXPECT_NE(m.Err.find("talmocli: " + FPath + ": The device is no longer available.\n"),
            std::string::npos)
      << m.Err;
}

TEST_F(MonitorTest, BadInputIsRefusedWithOneClearLine) {
  struct Row {
    std::vector<std::string> args;
    int code;
    std::string message;
  };
  const Row rows[] = {
      {{}, kExitUsage, "talmocli: give either --port COMn or --device PATH"},
      {{"--baud", "9600"}, kExitUsage, "talmocli: give either --port COMn or --device PATH"},
      {{"--device", "/x", "--parity", "mark"},
       kExitUsage,
       "talmocli: bad value for --parity: 'mark' (none, odd or even expected)"},
      {{"--device", "/x", "--baud", "fast"},
       kExitUsage,
       "talmocli: bad value for --baud: 'fast' (a whole number from 1 to 4000000 expected)"},
      {{"--device", "/x", "--repeat", "5"}, kExitUsage, "talmocli: --repeat needs --send"},
      {{"--device", "/x", "--dtr", "x"},
       kExitUsage,
       "talmocli: bad value for --dtr: 'x' (on or off expected)"},
      {{"--device", "/x", "--rts", "1"},
       kExitUsage,
       "talmocli: bad value for --rts: '1' (on or off expected)"},
      {{"--device", "/x", "--flow", "hardware"},
       kExitUsage,
       "talmocli: bad value for --flow: 'hardware' (none, rtscts or xonxoff expected)"},
      {{"--device", "/x", "--rts", "on", "--flow", "rtscts"},
       kExitUsage,
       "talmocli: --rts cannot be given with --flow rtscts: the flow control drives RTS"},
      {{"--device", "/x", "--lines=yes"}, kExitUsage, "talmocli: --lines takes no value"},
      {{"--device", "/x", "--dtr"}, kExitUsage, "talmocli: --dtr needs a value"},
      {{"--port", "COM42"},
       kExitFailure,
       "talmocli: unknown port 'COM42' ('talmocli ports' lists the ports)"},
      {{"--device", "/dev/no-such-tty"},
       kExitFailure,
       "talmocli: Specified device not found (/dev/no-such-tty)."},
      {{"--device", "/dev/null", "--send", "/no/such/file"},
       kExitFailure,
       "talmocli: cannot read '/no/such/file': No such file or directory"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.message);
    char* buf = nullptr;
    std::size_t len = 0;
    std::FILE* err = open_memstream(&buf, &len);
    std::FILE* out = std::fopen("/dev/null", "w");
    EXPECT_EQ(RunMonitor(r.args, out, err, nullptr), r.code);
    std::fclose(err);
    std::fclose(out);
    const std::string text(buf, len);
    std::free(buf);
    EXPECT_EQ(text.substr(0, text.find('\n')), r.message);
  }
}

// ---- several ports -----------------------------------------------------------

TEST(PortLabel, ALabelNeverTakesAPathOrARemotePort) {
  struct Row {
    const char* option;
    const char* value;
    const char* label;
    const char* name;
  };
  const Row rows[] = {
      {"--port", "COM5", "", "COM5"},
      {"--port", "host=COM5", "host", "COM5"},
      {"--device", "dev-2_B=/dev/ttyUSB1", "dev-2_B", "/dev/ttyUSB1"},
      {"--device", "/dev/ttyUSB1", "", "/dev/ttyUSB1"},
      // A path may hold '=': the '/' before it keeps the whole a path.
      {"--device", "/dev/serial/by-id/usb=x", "", "/dev/serial/by-id/usb=x"},
      {"--device", "./odd=name", "", "./odd=name"},
      {"--device", "rfc2217://10.0.0.1:4000", "", "rfc2217://10.0.0.1:4000"},
      {"--device", "rfc2217://h:1/a=b", "", "rfc2217://h:1/a=b"},
      {"--device", "bench=rfc2217://h:4000", "bench", "rfc2217://h:4000"},
      {"--device", "a=b=/dev/x", "a", "b=/dev/x"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.value);
    const TLabelledPort got = SplitPortLabel(r.option, r.value);
    EXPECT_EQ(got.Label, r.label);
    EXPECT_EQ(got.Name, r.name);
  }
}

TEST_F(MonitorTest, SeveralPortsRefuseWhatTheyCannotMeanWithOneClearLine) {
  const std::vector<std::string> two = {"--device", "a=/x", "--device", "b=/y"};
  const auto with = [&two](std::vector<std::string> more) {
    more.insert(more.begin(), two.begin(), two.end());
    return more;
  };
  const struct {
    std::vector<std::string> args;
    std::string message;
  } rows[] = {
      {{"--port", "=COM5"},
       "empty label in --port '=COM5' (write LABEL=COMn, or leave out the '=')"},
      {{"--device", "=/dev/x"},
       "empty label in --device '=/dev/x' (write LABEL=PATH, or leave out the '=')"},
      {{"--device", "ho st=/dev/x"},
       "bad label 'ho st' in --device 'ho st=/dev/x': a label is letters, digits, '-' and '_' (a "
       "relative path with '=' is written ./PATH)"},
      {{"--port", "h.1=COM5"},
       "bad label 'h.1' in --port 'h.1=COM5': a label is letters, digits, '-' and '_'"},
      {{"--device", "dev="}, "--device 'dev=' names no device after its label"},
      {{"--device", "a=/x", "--device", "a=/y"},
       "two ports are named 'a': give each its own label (--port LABEL=COMn, --device LABEL=PATH)"},
      // The default label is the name given: the same device twice, or a
      // label that is another port's name.
      {{"--device", "/x", "--device", "/x"},
       "two ports are named '/x': give each its own label (--port LABEL=COMn, --device "
       "LABEL=PATH)"},
      {{"--port", "COM6=COM5", "--port", "COM6"},
       "two ports are named 'COM6': give each its own label (--port LABEL=COMn, --device "
       "LABEL=PATH)"},
      {with({"--capture", "raw.bin"}),
       "a capture of several ports is a timed one (a name ending in .pcapng): 'raw.bin' would be "
       "raw, which cannot tell the ports apart"},
      {with({"--send", "f.bin"}),
       "--send takes one port: with several it is not clear which one sends"},
      {with({"--baud", "x"}),
       "bad value for --baud: 'x' (a whole number from 1 to 4000000 expected)"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.message);
    char* buf = nullptr;
    std::size_t len = 0;
    std::FILE* err = open_memstream(&buf, &len);
    std::FILE* out = std::fopen("/dev/null", "w");
    EXPECT_EQ(RunMonitor(r.args, out, err, nullptr), kExitUsage);
    std::fclose(err);
    std::fclose(out);
    const std::string text(buf, len);
    std::free(buf);
    EXPECT_EQ(text.substr(0, text.find('\n')), "talmocli: " + r.message);
  }
}

// Line settings before the first port are every port's; after a port,
// that port's own. Read back from the line itself.
TEST_F(MonitorTest, EachPortGetsItsOwnLineSettings) {
  test::TPtyPair other;
  ASSERT_TRUE(other.Open());
  const std::string a = FPath, b = other.Path;
  const struct {
    std::vector<std::string> args;
    speed_t speedA, speedB;
    bool twoStopA, twoStopB;
  } rows[] = {
      {{"--device", a, "--device", b}, B19200, B19200, false, false},
      {{"--baud", "9600", "--stopbits", "2", "--device", a, "--device", b},
       B9600,
       B9600,
       true,
       true},
      {{"--device", a, "--baud", "38400", "--device", b}, B38400, B19200, false, false},
      {{"--baud", "1200", "--device", a, "--baud", "57600", "--device", b, "--stopbits", "2"},
       B57600,
       B1200,
       false,
       true},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(::testing::PrintToString(r.args));
    RunningMonitor m(r.args);
    ASSERT_TRUE(m.WaitErr("Ctrl+C ends")) << m.Err;
    termios ta{}, tb{};
    ASSERT_EQ(::tcgetattr(FSlave, &ta), 0);
    ASSERT_EQ(::tcgetattr(other.Slave, &tb), 0);
    EXPECT_EQ(::cfgetospeed(&ta), r.speedA);
    EXPECT_EQ(::cfgetospeed(&tb), r.speedB);
    EXPECT_EQ((ta.c_cflag & CSTOPB) != 0, r.twoStopA);
    EXPECT_EQ((tb.c_cflag & CSTOPB) != 0, r.twoStopB);
    EXPECT_EQ(m.Finish(), kExitOk) << m.Err;
  }
}

TEST_F(MonitorTest, ACaptureThatCannotBeMadeLeavesThePortFree) {
  char* buf = nullptr;
  std::size_t len = 0;
  std::FILE* err = open_memstream(&buf, &len);
  EXPECT_EQ(
      RunMonitor({"--device", FPath, "--capture", FDir + "/no/dir/raw.bin"}, stdout, err, nullptr),
      kExitFailure);
  std::fclose(err);
  const std::string text(buf, len);
  std::free(buf);
  EXPECT_EQ(text, "talmocli: Cannot capture to \"" + FDir +
                      "/no/dir/raw.bin\": No such file or directory\n");
  RunningMonitor again({"--device", FPath});
  ASSERT_TRUE(again.WaitOpen());
  EXPECT_NE(again.Err.find("monitoring"), std::string::npos) << again.Err;
}

// The monitor's capture is the window's writer, given the exact path.
TEST_F(MonitorTest, TheCaptureWritesIntoExactlyThePathOnAnyDescriptor) {
  const std::string path = FDir + "/raw.bin";
  std::ofstream(path) << "old contents";
  // Run with standard input closed, the file may get descriptor 0.
  const int saved = ::dup(0);
  ::close(0);
  TCaptureFile capture;
  int code = 0;
  try {
    capture.StartExact(path);
  } catch (const ECaptureError&) {
    code = -1;
  }
  const bool running = capture.Running();
  capture.Write(reinterpret_cast<const std::uint8_t*>("abc"), 3);
  capture.Stop();
  ::dup2(saved, 0);
  ::close(saved);
  EXPECT_EQ(code, 0);
  EXPECT_TRUE(running);
  EXPECT_EQ(test::ReadFile(path), "abc");
  EXPECT_THROW(capture.StartExact(FDir + "/no/dir/raw.bin"), ECaptureError);
  EXPECT_FALSE(capture.Running());
}

TEST_F(MonitorTest, PortsListsTheLoopbackLast) {
  char* buf = nullptr;
  std::size_t len = 0;
  std::FILE* out = open_memstream(&buf, &len);
  EXPECT_EQ(RunPorts({}, out, stderr), kExitOk);
  std::fclose(out);
  const std::string text(buf, len);
  std::free(buf);
  ASSERT_FALSE(text.empty());
  const std::string last = text.substr(text.rfind('\n', text.size() - 2) == std::string::npos
                                           ? 0
                                           : text.rfind('\n', text.size() - 2) + 1);
  EXPECT_EQ(last.rfind("COM99", 0), 0u) << text;
  EXPECT_NE(last.find("Built-in loopback port"), std::string::npos);
  EXPECT_EQ(text.find("/dev/ttyS0 "), std::string::npos) << "the console is never listed";
}

}  // namespace
}  // namespace talmo

namespace talmo {
namespace {

// Lines without a stop sign end by their time-out; several that fall due by
// one wake-up come out oldest due first, whichever port they are on.
TEST_F(MonitorTest, LinesEndedByTheirTimeOutComeOutInTheOrderTheyFellDue) {
  test::TPtyPair other;
  ASSERT_TRUE(other.Open(test::TPtyPair::TMaster::Blocking));
  struct TStep {
    std::chrono::milliseconds after;  // the clock moves this much first
    char port;                        // 'a' or 'b'
    const char* bytes;
  };
  const struct {
    const char* name;
    std::vector<TStep> steps;
    std::vector<std::string> lines;  // as shown, in order
  } rows[] = {
      {"a first, b later", {{0ms, 'a', "A"}, {500ms, 'b', "B"}}, {"a  A", "b  B"}},
      {"b first, a later", {{0ms, 'b', "B"}, {10ms, 'a', "A"}}, {"b  B", "a  A"}},
      // a's line began first, but its last block came after b's: it is due later.
      {"a's line grows past b's",
       {{0ms, 'a', "A"}, {100ms, 'b', "B"}, {300ms, 'a', "C"}},
       {"b  B", "a  A C"}},
      {"three lines, two ports",
       {{0ms, 'b', "B"}, {1ms, 'a', "A"}, {1998ms, 'b', "D"}},
       {"b  B", "a  A", "b  D"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    TManualClock clock;
    const std::string capture = FDir + "/lines.pcapng";
    RunningMonitor m(
        {"--device", "a=" + FPath, "--device", "b=" + other.Path, "--capture", capture},
        clock.Clock());
    ASSERT_TRUE(m.WaitErr("Ctrl+C ends")) << m.Err;
    for (const TStep& step : row.steps) {
      if (step.after.count()) clock.Advance(step.after);
      const auto before = test::ReadFile(capture).size();
      const int fd = step.port == 'a' ? FMaster : other.Master;
      ASSERT_EQ(::write(fd, step.bytes, std::strlen(step.bytes)),
                static_cast<ssize_t>(std::strlen(step.bytes)));
      // Recorded as the block is handled: stamped on this clock.
      for (int i = 0; i < 500 && test::ReadFile(capture).size() == before; ++i)
        std::this_thread::sleep_for(5ms);
    }
    // Every line falls due by this one wake-up.
    clock.Advance(5000ms);
    ASSERT_TRUE(m.WaitLines(row.lines.size())) << m.Out;
    std::string expected;
    for (const std::string& line : row.lines) expected += line + "\n";
    EXPECT_EQ(m.Out, expected);
    m.Finish();
  }
}

}  // namespace
}  // namespace talmo
