// The built talmocli as Wireshark runs it from its extcap folder (a link
// named talmo-extcap): what it tells Wireshark, how it refuses bad options,
// and live captures into a FIFO, by itself and through tshark. The test
// plays the device on a pseudo-terminal listed as COM5 in a temporary
// settings file; HOME and the configuration folder are temporary too.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "capture/pcapng.h"
#include "support/cli_child.h"
#include "support/pty_pair.h"
#include "support/settings_file.h"
#include "support/temp_dir.h"
#include "support/text.h"

namespace {

using talmo::test::ReadFile;
using talmo::test::TPtyPair;
using talmo::test::TTempDir;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace pcapng = talmo::pcapng;

const char kDlt[] = "dlt {number=250}{name=RTAC_SERIAL}{display=Serial line (TALMO)}\n";

// The line settings' options, numbered from `first`.
std::string LineConfig(int first) {
  const std::string n[] = {std::to_string(first), std::to_string(first + 1),
                           std::to_string(first + 2), std::to_string(first + 3)};
  return "arg {number=" + n[0] +
         "}{call=--baud}{display=Baud rate}{type=integer}{range=1,4000000}{default=19200}"
         "{tooltip=Line rate in bits per second (any rate, 1024 too)}\n"
         "arg {number=" +
         n[1] +
         "}{call=--databits}{display=Data bits}{type=selector}{tooltip=Bits per character}\n" +
         "value {arg=" + n[1] + "}{value=8}{display=8}{default=true}\n" + "value {arg=" + n[1] +
         "}{value=7}{display=7}{default=false}\n" + "arg {number=" + n[2] +
         "}{call=--parity}{display=Parity}{type=selector}{tooltip=Parity bit}\n" +
         "value {arg=" + n[2] + "}{value=none}{display=None}{default=true}\n" +
         "value {arg=" + n[2] + "}{value=odd}{display=Odd}{default=false}\n" +
         "value {arg=" + n[2] + "}{value=even}{display=Even}{default=false}\n" +
         "arg {number=" + n[3] +
         "}{call=--stopbits}{display=Stop bits}{type=selector}{tooltip=Stop bits per character}\n" +
         "value {arg=" + n[3] + "}{value=1}{display=1}{default=true}\n" + "value {arg=" + n[3] +
         "}{value=2}{display=2}{default=false}\n";
}

const std::string kRemoteArg =
    "arg {number=0}{call=--remote}{display=Server (HOST:PORT)}{type=string}{required=true}"
    "{placeholder=lab-pi:7000}{tooltip=The RFC 2217 server of the port, e.g. ser2net; [v6]:PORT "
    "for IPv6}\n";

using talmo::test::Contains;

bool HaveTshark() { return std::system("tshark --version >/dev/null 2>&1") == 0; }

// Another process holds the device's lock: the port is open (and its line
// emptied, which the open does right after taking the lock).
bool HeldByAnother(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  std::ifstream locks("/proc/locks");
  const std::string inode = ":" + std::to_string(st.st_ino);
  for (std::string line; std::getline(locks, line);) {
    std::istringstream f(line);
    std::string n, kind, mode, access, pid, where;
    f >> n >> kind >> mode >> access >> pid >> where;
    if (kind == "FLOCK" && pid != std::to_string(::getpid()) && where.size() > inode.size() &&
        where.compare(where.size() - inode.size(), inode.size(), inode) == 0)
      return true;
  }
  return false;
}

bool WaitHeld(const std::string& path) {
  const auto end = Clock::now() + 20s;
  while (!HeldByAnother(path)) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(10ms);
  }
  std::this_thread::sleep_for(100ms);
  return true;
}

struct TResult {
  int Status = -1;  // as the shell shows it; -1: did not end in time
  std::string Out, Err;
};

class Extcap : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(FLine.Open());
    std::filesystem::create_directories(FHome);
    // Wireshark 4.0's personal extcap folder: in its configuration folder,
    // which XDG_CONFIG_HOME moves; TALMO's settings file moves with it.
    std::filesystem::create_directories(FConfig + "/wireshark/extcap");
    ASSERT_EQ(::symlink(TALMOCLI_PATH, FExtcap.c_str()), 0);
    talmo::test::WriteSettings(FConfig, talmo::test::PortListed(FLine.Path, "COM5"));
  }
  // Starts a program with the test's home and configuration folders; its
  // output and errors go to files.
  void Start(std::vector<std::string> argv) {
    ASSERT_FALSE(FChild);
    talmo::test::TChildOutput o;
    o.File = FOutFile;
    o.ErrFile = FErrFile;
    o.Env = {{"HOME", FHome}, {"WIRESHARK_CONFIG_DIR", std::nullopt}};
    o.SearchPath = true;  // tshark
    const std::vector<std::string> args(argv.begin() + 1, argv.end());
    FChild = std::make_unique<talmo::test::TChild>(argv[0], args, FConfig, o);
  }
  TResult Wait(std::chrono::milliseconds limit = 20s) {
    TResult r;
    r.Status = FChild->Wait(limit);
    if (r.Status < 0) return r;
    FChild.reset();
    r.Out = ReadFile(FOutFile);
    r.Err = ReadFile(FErrFile);
    return r;
  }
  TResult Run(std::vector<std::string> argv) {
    Start(std::move(argv));
    return Wait();
  }

  // Opens the FIFO as Wireshark does: a blocking open, which waits for the
  // writer. -1 when none came in time.
  int OpenReader(const std::string& fifo) {
    auto opened = std::async(std::launch::async,
                             [fifo] { return ::open(fifo.c_str(), O_RDONLY | O_CLOEXEC); });
    if (opened.wait_for(10s) == std::future_status::ready) return opened.get();
    const int w = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);  // releases the wait
    ::close(opened.get());
    ::close(w);
    return -1;
  }
  std::string MakeFifo() {
    const std::string fifo = FTemp / "fifo";
    EXPECT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    return fifo;
  }

  TTempDir FTemp{"talmo-extcap"};
  TPtyPair FLine;
  std::string FHome = FTemp / "home", FConfig = FTemp / "config";
  std::string FExtcap = FConfig + "/wireshark/extcap/talmo-extcap";
  std::string FOutFile = FTemp / "out", FErrFile = FTemp / "err";
  std::unique_ptr<talmo::test::TChild> FChild;  // killed if still running
};

// Reads a capture from a descriptor, waiting for each piece up to `limit`.
class TFifoCapture {
 public:
  explicit TFifoCapture(int fd, std::chrono::milliseconds limit = 10s)
      : FReader([fd, limit](std::uint8_t* p, std::size_t n) -> long {
          pollfd pf{fd, POLLIN, 0};
          if (::poll(&pf, 1, static_cast<int>(limit.count())) <= 0) return 0;
          return ::read(fd, p, n);
        }) {}
  // The next received block; false at the end.
  bool NextData(std::string& data, std::int64_t& timeNs) {
    while (FReader.Next() == pcapng::TPcapngReader::TStep::Packet) {
      const auto& p = FReader.Packet();
      if (p.Serial && p.Event == pcapng::TEvent::RxData) {
        data.assign(p.Payload);
        timeNs = p.TimeNs;
        return true;
      }
    }
    return false;
  }
  // The first packet: the capture has started, so the port is open.
  bool Started() { return FReader.Next() == pcapng::TPcapngReader::TStep::Packet; }
  pcapng::TPcapngReader FReader;
};

TEST_F(Extcap, TellsWiresharkItsInterfacesLinkTypeAndOptions) {
  struct Row {
    std::vector<std::string> args;
    std::string out;
  };
  const Row rows[] = {
      {{"--extcap-interface", "talmo-COM5", "--extcap-dlts"}, kDlt},
      // Wireshark's own options that we do not use are passed over.
      {{"--extcap-version=4.0", "--extcap-dlts", "--extcap-interface", "talmo-remote",
        "--extcap-capture-filter", "not tcp", "--debug"},
       kDlt},
      {{"--extcap-interface", "talmo-COM5", "--extcap-config"}, LineConfig(0)},
      {{"--extcap-interface", "talmo-COM99", "--extcap-config", "--extcap-reload-option", "x"},
       LineConfig(0)},
      {{"--extcap-interface", "talmo-remote", "--extcap-config"}, kRemoteArg + LineConfig(1)},
  };
  for (const Row& r : rows) {
    // Both ways Wireshark or a user reaches it: the link and the command.
    std::vector<std::string> viaLink = {FExtcap}, viaCommand = {TALMOCLI_PATH, "extcap"};
    viaLink.insert(viaLink.end(), r.args.begin(), r.args.end());
    viaCommand.insert(viaCommand.end(), r.args.begin(), r.args.end());
    for (const auto& argv : {viaLink, viaCommand}) {
      SCOPED_TRACE(argv[0] + " " + r.args[0] + " " + r.args[1]);
      const TResult res = Run(argv);
      EXPECT_EQ(res.Status, 0) << res.Err;
      EXPECT_EQ(res.Out, r.out);
      EXPECT_EQ(res.Err, "");
    }
  }

  // Every port of the list (the machine's own serial devices vary), the
  // settings file's first and the loopback port last, then the remote one.
  const TResult res = Run({FExtcap, "--extcap-interfaces", "--extcap-version=4.0"});
  EXPECT_EQ(res.Status, 0);
  EXPECT_EQ(res.Err, "");
  std::vector<std::string> lines;
  std::istringstream in(res.Out);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  ASSERT_GE(lines.size(), 4u) << res.Out;
  EXPECT_EQ(lines[0], "extcap {version=" TALMO_VERSION_TEXT "}{help=man:talmocli(1)}");
  EXPECT_EQ(lines[1], "interface {value=talmo-COM5}{display=TALMO COM5 (" + FLine.Path + ")}");
  EXPECT_EQ(lines[lines.size() - 2],
            "interface {value=talmo-COM99}{display=TALMO COM99 (built in)}");
  EXPECT_EQ(lines.back(),
            "interface {value=talmo-remote}{display=TALMO remote port (RFC 2217, ser2net)}");
}

TEST_F(Extcap, BadOptionsAreOneLineAndStatus1) {
  struct Row {
    std::vector<std::string> args;
    std::string err;
  };
  const Row rows[] = {
      {{}, "nothing to do: give --extcap-interfaces, --extcap-dlts, --extcap-config or --capture"},
      {{"--extcap-interfaces", "--extcap-config"},
       "give one of --extcap-interfaces, --extcap-dlts, --extcap-config and --capture"},
      {{"--extcap-dlts"}, "--extcap-interface NAME is needed"},
      {{"--extcap-config", "--extcap-interface", "wlan0"},
       "unknown interface 'wlan0' (talmo-COMn or talmo-remote expected; --extcap-interfaces "
       "lists them)"},
      {{"--capture", "--extcap-interface", "talmo-COM5"}, "--capture needs --fifo PATH"},
      {{"--capture", "--extcap-interface", "talmo-COM5", "--fifo", "f", "--baud", "9600x"},
       "bad value for --baud: '9600x' (a whole number from 1 to 4000000 expected)"},
      {{"--capture", "--extcap-interface", "talmo-COM5", "--fifo", "f", "--parity", "mark"},
       "bad value for --parity: 'mark' (none, odd or even expected)"},
      {{"--capture", "--extcap-interface", "talmo-COM5", "--fifo", "f", "--databits", "5"},
       "bad value for --databits: '5' (7 or 8 expected)"},
      {{"--capture", "--extcap-interface", "talmo-remote", "--fifo", "f"},
       "talmo-remote needs --remote HOST:PORT"},
      {{"--capture", "--extcap-interface", "talmo-remote", "--fifo", "f", "--remote", "lab-pi"},
       "bad value for --remote: 'lab-pi' (there is no :PORT; HOST:PORT or [v6]:PORT expected)"},
      {{"--capture", "--extcap-interface", "talmo-remote", "--fifo", "f", "--remote", "h:99999"},
       "bad value for --remote: 'h:99999' (the port is outside 1..65535; HOST:PORT or [v6]:PORT "
       "expected)"},
      {{"--capture", "--extcap-interface", "talmo-COM5", "--fifo", "f", "--remote", "h:1"},
       "--remote is for the interface talmo-remote only"},
      {{"--extcap-interfaces", "--port", "COM5"}, "unknown option '--port'"},
      {{"--extcap-interfaces", "extra"}, "unexpected word 'extra'"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.err);
    std::vector<std::string> argv = {FExtcap};
    argv.insert(argv.end(), r.args.begin(), r.args.end());
    const TResult res = Run(argv);
    EXPECT_EQ(res.Status, 2);
    EXPECT_EQ(res.Out, "");
    EXPECT_EQ(res.Err, "talmocli: " + r.err + "\n");
  }
  EXPECT_FALSE(std::filesystem::exists(FTemp / "f"));
}

// Wireshark gives a named pipe; any other --fifo is refused before it is
// opened for writing, and left as it was.
TEST_F(Extcap, AFifoThatIsNoFifoIsRefusedAndLeftAsItIs) {
  const std::string file = FTemp / "capture.pcapng";
  talmo::test::WriteFile(file, "an earlier capture");
  const std::string link = FTemp / "link";
  ASSERT_EQ(::symlink(file.c_str(), link.c_str()), 0);
  const std::string missing = FTemp / "missing";
  const std::string folder = FTemp.Path();
  struct Row {
    std::string path, err;
  };
  const Row rows[] = {
      {file, "--fifo '" + file +
                 "' is a regular file, not a FIFO: it is left as it is (the named pipe "
                 "Wireshark made is expected)"},
      {link, "--fifo '" + link +
                 "' is a regular file, not a FIFO: it is left as it is (the named pipe "
                 "Wireshark made is expected)"},
      {folder, "--fifo '" + folder +
                   "' is a directory, not a FIFO: it is left as it is (the named pipe Wireshark "
                   "made is expected)"},
      {"/dev/null",
       "--fifo '/dev/null' is a character device, not a FIFO: it is left as it is "
       "(the named pipe Wireshark made is expected)"},
      {missing, "--fifo '" + missing +
                    "': No such file or directory (the named pipe Wireshark made is expected)"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.path);
    const TResult res =
        Run({FExtcap, "--capture", "--extcap-interface", "talmo-COM5", "--fifo", r.path});
    EXPECT_EQ(res.Status, 2);
    EXPECT_EQ(res.Out, "");
    EXPECT_EQ(res.Err, "talmocli: " + r.err + "\n");
    EXPECT_EQ(ReadFile(file), "an earlier capture");
    EXPECT_FALSE(std::filesystem::exists(missing));
  }
}

TEST_F(Extcap, CapturesIntoAFifoWithTheArrivalOfEveryBlockUntilSigterm) {
  const std::string fifo = MakeFifo();
  Start({FExtcap, "--capture", "--extcap-interface", "talmo-COM5", "--fifo", fifo, "--baud",
         "115200", "--extcap-version=4.0"});
  const int fd = OpenReader(fifo);
  ASSERT_GE(fd, 0);
  TFifoCapture capture(fd);
  ASSERT_TRUE(capture.Started());
  ASSERT_EQ(capture.FReader.Interfaces().size(), 1u);
  EXPECT_EQ(capture.FReader.Interfaces()[0].LinkType, pcapng::kLinkSerial);
  EXPECT_EQ(capture.FReader.Interfaces()[0].Name, "COM5");
  EXPECT_EQ(capture.FReader.Interfaces()[0].Description, FLine.Path + " 115200 8N1");

  // Every byte value, then two small blocks close together: each is
  // stamped when it came, not when a gathering of slow blocks let it in.
  std::string all;
  for (int i = 0; i < 512; ++i) all += static_cast<char>(i);
  ASSERT_EQ(::write(FLine.Master, all.data(), all.size()), 512);
  std::string got, block;
  std::int64_t t = 0, tA = 0, tB = 0;
  while (got.size() < all.size() && capture.NextData(block, t)) got += block;
  EXPECT_EQ(got, all);
  ASSERT_EQ(::write(FLine.Master, "A", 1), 1);
  const auto wroteA = Clock::now();
  std::this_thread::sleep_for(10ms);
  const auto wroteB = Clock::now();
  ASSERT_EQ(::write(FLine.Master, "B", 1), 1);
  ASSERT_TRUE(capture.NextData(block, tA));
  EXPECT_EQ(block, "A");
  ASSERT_TRUE(capture.NextData(block, tB));
  EXPECT_EQ(block, "B");
  const auto sent = std::chrono::duration_cast<std::chrono::nanoseconds>(wroteB - wroteA).count();
  EXPECT_NEAR(static_cast<double>(tB - tA), static_cast<double>(sent), 5e6);

  // Wireshark's stop: a clean end, and the capture ends with a whole block.
  ::kill(FChild->Pid, SIGTERM);
  const TResult res = Wait();
  EXPECT_EQ(res.Status, 0);
  EXPECT_EQ(res.Err, "");
  EXPECT_EQ(res.Out, "");
  EXPECT_FALSE(capture.NextData(block, t));
  EXPECT_EQ(capture.FReader.Error(), "");
  ::close(fd);
}

TEST_F(Extcap, EndsWithoutAWordWhenWiresharkStopsReadingOrNeverStarts) {
  {
    SCOPED_TRACE("the reader goes away");
    const std::string fifo = MakeFifo();
    Start({FExtcap, "--capture", "--extcap-interface", "talmo-COM5", "--fifo", fifo});
    const int fd = OpenReader(fifo);
    ASSERT_GE(fd, 0);
    TFifoCapture capture(fd);
    ASSERT_TRUE(capture.Started());
    ::close(fd);
    // The next block finds no reader.
    ASSERT_EQ(::write(FLine.Master, "xyz", 3), 3);
    const TResult res = Wait(10s);
    EXPECT_EQ(res.Status, 0);
    EXPECT_EQ(res.Err, "");
    std::filesystem::remove(fifo);
  }
  {
    SCOPED_TRACE("stopped before anyone read");
    const std::string fifo = MakeFifo();
    Start({FExtcap, "--capture", "--extcap-interface", "talmo-COM5", "--fifo", fifo});
    std::this_thread::sleep_for(200ms);
    ::kill(FChild->Pid, SIGTERM);
    const TResult res = Wait(5s);
    EXPECT_EQ(res.Status, 0);
    EXPECT_EQ(res.Err, "");
  }
}

TEST_F(Extcap, APortThatCannotOpenIsSaidAndTheReaderIsNotLeftWaiting) {
  struct Row {
    std::vector<std::string> args;
    std::string err;  // in standard error
  };
  const Row rows[] = {
      {{"--extcap-interface", "talmo-COM7"}, "talmocli: unknown port 'COM7'"},
      {{"--extcap-interface", "talmo-remote", "--remote", "127.0.0.1:1"},
       "rfc2217://127.0.0.1:1 (Error 111, Connection refused)"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.err);
    const std::string fifo = MakeFifo();
    std::vector<std::string> argv = {FExtcap, "--capture", "--fifo", fifo};
    argv.insert(argv.end(), r.args.begin(), r.args.end());
    Start(argv);
    const int fd = OpenReader(fifo);
    ASSERT_GE(fd, 0);
    char c;
    EXPECT_EQ(::read(fd, &c, 1), 0);  // the end, not a wait
    ::close(fd);
    const TResult res = Wait();
    EXPECT_EQ(res.Status, 1);
    EXPECT_TRUE(Contains(res.Err, r.err)) << res.Err;
    std::filesystem::remove(fifo);
  }
}

// ---- through Wireshark's tshark ----------------------------------------------

TEST_F(Extcap, TsharkListsThePortsFromThePersonalExtcapFolder) {
  if (!HaveTshark()) GTEST_SKIP() << "tshark is not installed";
  const TResult res = Run({"tshark", "-D"});
  ASSERT_EQ(res.Status, 0) << res.Err;
  EXPECT_TRUE(Contains(res.Out, ". talmo-COM5 (TALMO COM5 (" + FLine.Path + "))\n")) << res.Out;
  EXPECT_TRUE(Contains(res.Out, ". talmo-COM99 (TALMO COM99 (built in))\n")) << res.Out;
  EXPECT_TRUE(Contains(res.Out, ". talmo-remote (TALMO remote port (RFC 2217, ser2net))\n"))
      << res.Out;
}

TEST_F(Extcap, TsharkCapturesExactlyWhatThePortReceived) {
  if (!HaveTshark()) GTEST_SKIP() << "tshark is not installed";
  const std::string out = FTemp / "out.pcapng";
  Start({"tshark", "-i", "talmo-COM5", "-a", "duration:4", "-w", out});
  // The device is sent to once the port is open: its open empties the line.
  ASSERT_TRUE(WaitHeld(FLine.Path));
  std::string sent;
  for (int i = 0; i < 3000; ++i) sent += static_cast<char>(i * 7);
  ASSERT_EQ(::write(FLine.Master, sent.data(), 1000), 1000);
  std::this_thread::sleep_for(50ms);
  ASSERT_EQ(::write(FLine.Master, sent.data() + 1000, 2000), 2000);
  const TResult res = Wait(30s);
  ASSERT_EQ(res.Status, 0) << res.Err;

  const int fd = ::open(out.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  TFifoCapture capture(fd, 0ms);
  std::string got, block;
  std::int64_t t = 0;
  while (capture.NextData(block, t)) got += block;
  ::close(fd);
  EXPECT_EQ(capture.FReader.Error(), "");
  ASSERT_EQ(capture.FReader.Interfaces().size(), 1u);
  EXPECT_EQ(capture.FReader.Interfaces()[0].LinkType, pcapng::kLinkSerial);
  EXPECT_EQ(got.size(), sent.size());
  EXPECT_TRUE(got == sent) << "the capture holds other bytes than were sent";
}

}  // namespace
