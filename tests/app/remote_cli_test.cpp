// talmocli's monitor and play on a remote port: the built program run
// against ser2net serving a pseudo-terminal, every byte value both ways
// (the capture holds every byte that came; the served device gets every
// byte played), a server stopped under the monitor reported once, and
// --reconnect going on when the server is back.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/cli_child.h"
#include "support/proc_stats.h"
#include "support/ser2net_kit.h"
#include "support/text.h"

namespace talmo {
namespace {

using namespace std::chrono_literals;
using test::TChildOutput;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

using talmo::test::Count;

// True once the file holds at least `size` bytes (within `limit`).
bool Holds(const std::string& path, std::size_t size, std::chrono::milliseconds limit = 10s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    std::error_code ec;
    const auto n = std::filesystem::file_size(path, ec);
    if (!ec && n >= size) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

TChildOutput InFiles(const std::string& dir) {
  TChildOutput o;
  o.File = dir + "/out.txt";
  o.ErrFile = dir + "/err.txt";
  return o;
}

// A run of the built talmocli with its output in files, its settings
// never the user's.
class Cli : public test::TChild {
 public:
  Cli(const std::string& dir, const std::vector<std::string>& args)
      : TChild(TALMOCLI_PATH, args, dir + "/config", InFiles(dir)), FDir(dir) {}
  // The exit code, or -1 when it did not end within `limit`.
  int Wait(std::chrono::milliseconds limit = 30s) { return TChild::Wait(limit); }
  bool WaitForError(const std::string& text, std::chrono::milliseconds limit = 10s) const {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      if (Err().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }
  std::string Out() const { return ReadAll(FDir + "/out.txt"); }
  std::string Err() const { return ReadAll(FDir + "/err.txt"); }

 private:
  std::string FDir;
};

class RemoteCli : public ::testing::Test {
 protected:
  void SetUp() override {
    if (test::FindSer2net().empty()) GTEST_SKIP() << test::kNoSer2net;
    std::string why;
    ASSERT_TRUE(FServer.Start(why)) << why;
    FDir = FServer.Dir;
  }
  test::TSer2net FServer;
  std::string FDir;
};

TEST_F(RemoteCli, MonitorCapturesAndSendsEveryByteValue) {
  const std::string data = test::EveryByteAndEscapeRuns();
  std::string toSend;
  for (int b = 255; b >= 0; --b) toSend += static_cast<char>(b);
  toSend += std::string(100, '\xFF');
  std::ofstream(FDir + "/send.bin", std::ios::binary) << toSend;
  Cli cli(FDir, {"monitor", "--device", FServer.Url(), "--baud", "115200", "--capture",
                 FDir + "/capture.bin", "--send", FDir + "/send.bin", "--seconds", "3"});
  ASSERT_TRUE(cli.WaitForError("talmocli: monitoring")) << cli.Err();
  const std::string sent = FServer.Receive(toSend.size());
  FServer.Send(data);
  EXPECT_EQ(cli.Wait(), 0) << cli.Err();
  EXPECT_TRUE(sent == toSend) << "the device got " << sent.size() << " of " << toSend.size()
                              << " bytes";
  const std::string captured = ReadAll(FDir + "/capture.bin");
  EXPECT_EQ(captured.size(), data.size());
  EXPECT_TRUE(captured == data) << "the capture differs from what the device sent";
}

TEST_F(RemoteCli, PlaySendsEveryByteValueToTheServedDevice) {
  std::string script = "m1 ";
  std::string expected;
  static const char* hex = "0123456789ABCDEF";
  for (int b = 0; b < 256; ++b) {
    script += std::string("$") + hex[b >> 4] + hex[b & 15];
    expected += static_cast<char>(b);
  }
  script += "\r\nm1 ";
  for (int i = 0; i < 200; ++i) script += "$FF";
  expected += std::string(200, '\xFF');
  script += "\r\n";
  std::ofstream(FDir + "/script.txt", std::ios::binary) << script;
  Cli cli(FDir, {"play", "--device", FServer.Url(), "--baud", "115200", FDir + "/script.txt"});
  const std::string got = FServer.Receive(expected.size(), 15000);
  EXPECT_EQ(cli.Wait(), 0) << cli.Err();
  EXPECT_EQ(got.size(), expected.size());
  EXPECT_TRUE(got == expected) << "the served device got other bytes";
  EXPECT_NE(cli.Out().find(" End\n"), std::string::npos) << cli.Out();
}

// A device that talks and stops reading for a while: play's bytes are all
// still delivered after play has queued them (a close with the server's
// bytes unread would be a reset, and ser2net would drop what it still
// held); play ends only then.
TEST_F(RemoteCli, PlayDeliversEveryByteToADeviceThatTalksAndPausesReading) {
  const struct {
    const char* name;
    std::size_t size;
    std::chrono::milliseconds pause;  // after the first 20 KB
  } rows[] = {
      {"3 MB, the device pauses 4 s", 3000000, 4s},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    std::string script, expected;
    for (std::size_t i = 0; expected.size() < r.size; ++i) {
      const std::string text(std::min<std::size_t>(1000, r.size - expected.size()),
                             static_cast<char>('A' + i % 26));
      script += "m1 " + text + "\r\n";
      expected += text;
    }
    std::ofstream(FDir + "/big.txt", std::ios::binary) << script;
    std::string got;
    std::atomic<bool> done{false};
    std::thread device([&] {
      bool paused = false;
      char buf[65536];
      while (!done.load()) {
        if (!paused && got.size() >= 20000) {
          paused = true;
          std::this_thread::sleep_for(r.pause);
        }
        const std::string talk(100, 't');
        (void)!::write(FServer.Master, talk.data(), talk.size());
        pollfd p{FServer.Master, POLLIN, 0};
        if (::poll(&p, 1, 10) <= 0) continue;
        const ssize_t n = ::read(FServer.Master, buf, sizeof buf);
        if (n > 0) got.append(buf, static_cast<std::size_t>(n));
      }
    });
    Cli cli(FDir, {"play", "--device", FServer.Url(), "--baud", "115200", FDir + "/big.txt"});
    const int code = cli.Wait(120s);
    std::this_thread::sleep_for(1s);  // the pty's last bytes
    done = true;
    device.join();
    EXPECT_EQ(code, 0) << cli.Err();
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected) << "every byte once, in order";
  }
}

TEST_F(RemoteCli, MonitorReportsAStoppedServerOnceAndEnds) {
  Cli cli(FDir, {"monitor", "--device", FServer.Url(), "--baud", "115200", "--seconds", "20"});
  ASSERT_TRUE(cli.WaitForError("talmocli: monitoring")) << cli.Err();
  FServer.Send("before the stop");
  std::this_thread::sleep_for(200ms);
  FServer.Stop();
  EXPECT_EQ(cli.Wait(10s), 1) << cli.Err();
  const std::string err = cli.Err();
  std::size_t reports = 0;
  for (std::size_t at = err.find("no longer available"); at != std::string::npos;
       at = err.find("no longer available", at + 1))
    ++reports;
  EXPECT_EQ(reports, 1u) << err;
  // The loss is the monitor's own message (standard error), not a line error.
  EXPECT_NE(err.find("The device is no longer available."), std::string::npos) << err;
  EXPECT_EQ(cli.Out().find("no longer available"), std::string::npos) << cli.Out();
  // What came before the stop is shown (in the monitor's default framing).
  EXPECT_NE(cli.Out().find(" b e f o r e  SP  t h e  SP  s t o p"), std::string::npos)
      << "out: " << cli.Out() << "\nerr: " << cli.Err();
}

TEST_F(RemoteCli, ReconnectGoesOnWhenTheServerIsBackWithTheSameCapture) {
  const std::string capture = FDir + "/capture.bin";
  Cli cli(FDir, {"monitor", "--device", FServer.Url(), "--baud", "115200", "--reconnect",
                 "--capture", capture});
  ASSERT_TRUE(cli.WaitForError("talmocli: monitoring")) << cli.Err();

  // The device streams every byte value; the server is stopped while it
  // does (and goes on a while when there is no server to take it). What
  // came before the stop is a beginning of that stream.
  std::string stream;
  for (int i = 0; i < 20; ++i) stream += test::EveryByteAndEscapeRuns();
  std::atomic<bool> streaming{true};
  std::atomic<std::size_t> sent{0};
  std::thread device([&] {
    while (streaming.load() && sent.load() < stream.size()) {
      const std::size_t n = std::min<std::size_t>(256, stream.size() - sent.load());
      const ssize_t w = ::write(FServer.Master, stream.data() + sent.load(), n);
      if (w > 0) sent += static_cast<std::size_t>(w);
      std::this_thread::sleep_for(2ms);
    }
  });
  const std::size_t early = 4096;
  const bool flowing = Holds(capture, early);
  FServer.Stop();
  const std::string lost = "talmocli: " + FServer.Url() +
                           ": The device is no longer available. Waiting for it to come back.\n";
  const bool told = cli.WaitForError(lost);
  std::this_thread::sleep_for(300ms);
  streaming = false;
  device.join();
  std::printf("device: %zu bytes sent, %zu captured at the loss\n", sent.load(),
              ReadAll(capture).size());
  ASSERT_TRUE(flowing) << "the stream did not come through: " << cli.Err();
  ASSERT_TRUE(told) << cli.Err();

  // While the server is away the monitor tries again, at most about once
  // a second once its pause has grown (100 ms, doubled up to 1 s).
  std::this_thread::sleep_for(2s);
  const long long before = talmo::test::ContextSwitches(cli.Pid);
  std::this_thread::sleep_for(4s);
  const long long woke = talmo::test::ContextSwitches(cli.Pid) - before;
  std::printf("monitor waiting for its server: %lld wake-ups in 4 s\n", woke);
  EXPECT_LE(woke, 12);
  EXPECT_EQ(Count(cli.Err(), "no longer available"), 1u) << cli.Err();
  const std::size_t beforeStop = ReadAll(capture).size();

  // The same server again, on the same port, serving the same device.
  std::string why;
  ASSERT_TRUE(FServer.Start(why)) << why;
  const std::string back =
      "talmocli: " + FServer.Url() + ": The device is back; monitoring goes on.\n";
  ASSERT_TRUE(cli.WaitForError(back, 15s)) << cli.Err();
  std::string after = "after the return \xFF\xFF\xFF\r\n";
  for (int b = 255; b >= 0; --b) after += static_cast<char>(b);
  FServer.Send(after);
  EXPECT_TRUE(Holds(capture, beforeStop + after.size())) << cli.Err();
  std::this_thread::sleep_for(300ms);  // room for bytes that should not come
  ::kill(cli.Pid, SIGTERM);
  EXPECT_EQ(cli.Wait(), 0) << cli.Err();

  // Every byte that came: the beginning of the stream up to the loss, then
  // what was sent after the return, in one file. What the device sent
  // while no server took it is not part of the line the monitor reopened
  // (an open starts empty).
  const std::string captured = ReadAll(capture);
  EXPECT_GE(beforeStop, early);
  EXPECT_LE(beforeStop, sent.load());
  EXPECT_EQ(captured.size(), beforeStop + after.size());
  EXPECT_TRUE(captured.compare(0, beforeStop, stream, 0, beforeStop) == 0)
      << "the capture up to the loss is not the stream";
  EXPECT_TRUE(captured.size() >= after.size() &&
              captured.compare(beforeStop, std::string::npos, after) == 0)
      << "the capture after the return differs";
  const std::string err = cli.Err();
  EXPECT_EQ(Count(err, lost), 1u) << err;
  EXPECT_EQ(Count(err, back), 1u) << err;
  EXPECT_EQ(Count(err, "talmocli: "), 3u) << "monitoring, the loss and the return only: " << err;
}

// Listens on 127.0.0.1:port and takes connections without a word, as a
// server of something other than RFC 2217 may.
class SilentServer {
 public:
  explicit SilentServer(int port) {
    FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(FListen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    Ok = ::bind(FListen, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
         ::listen(FListen, 8) == 0;
    FThread = std::thread([this] {
      while (!FStop.load()) {
        pollfd p{FListen, POLLIN, 0};
        if (::poll(&p, 1, 10) <= 0) continue;
        const int c = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
        if (c >= 0 && FTaken.size() < 64)
          FTaken.push_back(c);
        else if (c >= 0)
          ::close(c);
      }
    });
  }
  ~SilentServer() {
    FStop.store(true);
    FThread.join();
    for (int c : FTaken) ::close(c);
    ::close(FListen);
  }
  bool Ok = false;

 private:
  int FListen = -1;
  std::atomic<bool> FStop{false};
  std::thread FThread;
  std::vector<int> FTaken;
};

TEST_F(RemoteCli, AServerBackButNotSpeakingRfc2217IsToldOnce) {
  Cli cli(FDir, {"monitor", "--device", FServer.Url(), "--baud", "115200", "--reconnect"});
  ASSERT_TRUE(cli.WaitForError("talmocli: monitoring")) << cli.Err();
  FServer.Stop();
  ASSERT_TRUE(cli.WaitForError("Waiting for it to come back.")) << cli.Err();
  // Something else answers on the server's port now: each try fails the
  // same way, and the reason is told once, with what is wrong.
  SilentServer other(FServer.Port);
  ASSERT_TRUE(other.Ok);
  const std::string reason = "talmocli: Error writing dcb (95), Operation not supported\n";
  ASSERT_TRUE(cli.WaitForError(reason, 15s)) << cli.Err();
  // Long enough for two more tries of three seconds and a pause each.
  std::this_thread::sleep_for(8s);
  ::kill(cli.Pid, SIGTERM);
  EXPECT_EQ(cli.Wait(), 0) << cli.Err();
  const std::string err = cli.Err();
  EXPECT_EQ(Count(err, reason), 1u) << err;
  EXPECT_EQ(Count(err, "talmocli: the server at " + FServer.Url() +
                           " does not speak RFC 2217: no answer to the COM-PORT option within "
                           "3000 ms\n"),
            1u)
      << err;
  EXPECT_EQ(Count(err, "talmocli: "), 4u)
      << "monitoring, the loss, the reason and its explanation: " << err;
}

TEST_F(RemoteCli, ARefusedConnectionIsTheOpenMessage) {
  const std::string url = "rfc2217://127.0.0.1:" + std::to_string(test::FreeTcpPort());
  Cli cli(FDir, {"monitor", "--device", url, "--seconds", "1"});
  EXPECT_EQ(cli.Wait(), 1);
  EXPECT_EQ(cli.Err(),
            "talmocli: Can't open specified device " + url + " (Error 111, Connection refused)\n");
}

}  // namespace
}  // namespace talmo
