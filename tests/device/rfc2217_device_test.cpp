// The port component on a remote port: against a real ser2net serving a
// pseudo-terminal (every byte value both ways, a speed change that reaches
// the served device, the empty start, a server stopped mid-stream), and
// against a small Telnet server of our own for what ser2net on a pty cannot
// show (notifications, flow-control suspend, a refused setting, a server
// that never answers, IPv6). Faults of the connection come out as the
// component's messages.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/device_driver.h"
#include "device/rfc2217_codec.h"
#include "device/rfc2217_device.h"
#include "device/termios2_rate.h"
#include "serial/ser_comm.h"
#include "support/ser2net_kit.h"

namespace talmo {
namespace {

using namespace std::chrono_literals;
using test::TSer2net;

// Pumps the hand-off until `done` or `limit`.
bool RunUntil(TSerQueueSync& sync, const std::function<bool()>& done,
              std::chrono::milliseconds limit = 10s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    sync.WaitAndProcess(10ms);
  }
  return true;
}

void RunFor(TSerQueueSync& sync, std::chrono::milliseconds span) {
  RunUntil(
      sync, [] { return false; }, span);
}

// A port on the remote line, reading everything that comes.
struct RemotePort {
  TSerQueueSync Sync;
  TSerComm Comm{std::make_shared<TSerDeviceDriver>(), Sync};
  std::string Got;
  std::vector<int> Errors;
  int Breaks = 0, Cts = 0;

  explicit RemotePort(const std::string& url) {
    Comm.SetDeviceName(url);
    Comm.SetBaudrate(br115200);
    Comm.SetMonitorEvents({ceRxChar, ceError, ceBreak, ceCts, ceTxEmpty});
    Comm.OnRxChar = [this](TSerCustomComm*, int count) {
      std::string buf(static_cast<std::size_t>(count), '\0');
      const int n = Comm.ReadBuf(buf.data(), count);
      Got.append(buf.data(), static_cast<std::size_t>(n > 0 ? n : 0));
    };
    Comm.OnError = [this](TSerCustomComm*, int e) { Errors.push_back(e); };
    Comm.OnBreak = [this](TSerCustomComm*) { ++Breaks; };
    Comm.OnCts = [this](TSerCustomComm*) { ++Cts; };
  }
  void Write(const std::string& data) {
    for (std::size_t at = 0; at < data.size(); at += 1024) {
      const std::string piece = data.substr(at, 1024);
      Comm.WriteBuf(piece.data(), static_cast<int>(piece.size()));
      Sync.ProcessPending();
    }
  }
  // The message of a failed open, "" when it opened.
  std::string OpenMessage() {
    try {
      Comm.Open();
      return "";
    } catch (const ESerCommError& e) {
      return e.what();
    }
  }
};

class Ser2netPort : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (test::FindSer2net().empty()) GTEST_SKIP() << test::kNoSer2net;
    ASSERT_TRUE(FServer.Start(why)) << why;
  }
  TSer2net FServer;
};

TEST_F(Ser2netPort, EveryByteValueBothWaysThroughTheComponent) {
  RemotePort port(FServer.Url());
  ASSERT_EQ(port.OpenMessage(), "");
  const std::string data = test::EveryByteAndEscapeRuns();
  FServer.Send(data);
  ASSERT_TRUE(RunUntil(port.Sync, [&] { return port.Got.size() >= data.size(); }))
      << port.Got.size();
  EXPECT_EQ(port.Got.size(), data.size());
  EXPECT_TRUE(port.Got == data) << "the received bytes differ";

  std::string back;
  std::atomic<bool> received{false};
  std::thread reader([&] {
    back = FServer.Receive(data.size());
    received.store(true);
  });
  port.Write(data);
  RunUntil(port.Sync, [&] { return received.load(); });
  reader.join();
  EXPECT_EQ(back.size(), data.size());
  EXPECT_TRUE(back == data) << "the sent bytes differ";
  EXPECT_TRUE(port.Errors.empty());
  port.Comm.Close();
}

TEST_F(Ser2netPort, SpeedChangesReachTheServedDevice) {
  RemotePort port(FServer.Url());
  port.Comm.SetBaudrate(br9600);
  ASSERT_EQ(port.OpenMessage(), "");
  const auto outRate = [&] {
    std::uint32_t in = 0, out = 0;
    GetRates(FServer.Slave, in, out);
    return out;
  };
  const auto speed = [&] {
    termios t{};
    tcgetattr(FServer.Slave, &t);
    return cfgetospeed(&t);
  };
  // The server answers once it has set the device; read back at once.
  EXPECT_EQ(speed(), static_cast<speed_t>(B9600));
  EXPECT_EQ(outRate(), 9600u);
  port.Comm.SetBaudrate(br115200);
  EXPECT_EQ(speed(), static_cast<speed_t>(B115200));
  EXPECT_EQ(outRate(), 115200u);
  port.Comm.SetBaudrate(br600);  // 1024 in this component's rate table
  EXPECT_EQ(outRate(), 1024u);
  port.Comm.SetUserBaudrate(250000);
  EXPECT_EQ(outRate(), 250000u);
  EXPECT_TRUE(port.Errors.empty());
  port.Comm.Close();
}

TEST_F(Ser2netPort, BytesThatWaitedBeforeTheOpenAreNotReceived) {
  FServer.Send("stale bytes from before the open");
  RemotePort port(FServer.Url());
  ASSERT_EQ(port.OpenMessage(), "");
  FServer.Send("fresh");
  ASSERT_TRUE(RunUntil(port.Sync, [&] { return port.Got.size() >= 5; }));
  RunFor(port.Sync, 50ms);
  EXPECT_EQ(port.Got, "fresh");
  port.Comm.Close();
}

TEST_F(Ser2netPort, AHostNameAndThePortListNameOpenTheSameLine) {
  const std::string url = "rfc2217://localhost:" + std::to_string(FServer.Port);
  {
    RemotePort port(url);
    ASSERT_EQ(port.OpenMessage(), "");
    FServer.Send("by name");
    EXPECT_TRUE(RunUntil(port.Sync, [&] { return port.Got == "by name"; })) << port.Got;
    port.Comm.Close();
  }
  // The window opens "\\.\COM20" through the port list's resolver.
  TSerQueueSync sync;
  TSerComm comm(std::make_shared<TSerDeviceDriver>([&](const std::string& name) {
                  return name == "\\\\.\\COM20" ? FServer.Url() : std::string();
                }),
                sync);
  comm.SetDeviceName("\\\\.\\COM%d");
  comm.SetPortNum(20);
  comm.SetBaudrate(br19200);
  EXPECT_NO_THROW(comm.Open());
  EXPECT_TRUE(comm.Active());
  comm.Close();
}

TEST_F(Ser2netPort, AServerStoppedMidStreamIsOneLossWithoutSpinning) {
  RemotePort port(FServer.Url());
  ASSERT_EQ(port.OpenMessage(), "");
  std::atomic<bool> feeding{true};
  std::thread feeder([&] {
    const std::string chunk(512, 'x');
    while (feeding.load()) {
      (void)!::write(FServer.Master, chunk.data(), chunk.size());
      std::this_thread::sleep_for(1ms);
    }
  });
  ASSERT_TRUE(RunUntil(port.Sync, [&] { return port.Got.size() > 20000; }));
  FServer.Stop();
  const bool lost = RunUntil(port.Sync, [&] {
    for (int e : port.Errors)
      if (e & static_cast<int>(CE_IOE)) return true;
    return false;
  });
  feeding.store(false);
  feeder.join();
  ASSERT_TRUE(lost) << "no loss reported";
  // A write to the lost line is not a second report either.
  port.Comm.WriteBuf("after", 5);
  const std::uint64_t wakeupsBefore = Rfc2217WaitCount();
  RunFor(port.Sync, 1000ms);
  const std::uint64_t wakeups = Rfc2217WaitCount() - wakeupsBefore;
  EXPECT_EQ(port.Errors, std::vector<int>{static_cast<int>(CE_IOE)});
  // The event thread tries again every 100 ms: about ten waits in a second;
  // a spinning thread makes hundreds of thousands.
  EXPECT_LE(wakeups, 40u);
  EXPECT_NO_THROW(port.Comm.Close());
  EXPECT_FALSE(port.Comm.Active());
}

// --- faults of the connection -----------------------------------------------

TEST(RemotePortFaults, ConnectionFaultsGiveTheOpenMessageWithTheReason) {
  const int closedPort = test::FreeTcpPort();
  // A listener whose queue is full: the handshake never completes.
  const int full = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(full, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(full, 0), 0);
  socklen_t len = sizeof a;
  ::getsockname(full, reinterpret_cast<sockaddr*>(&a), &len);
  const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(::connect(filler, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  const std::string fullUrl = "rfc2217://127.0.0.1:" + std::to_string(ntohs(a.sin_port));

  const struct {
    std::string name;
    std::vector<std::string> messages;  // one of these
  } cases[] = {
      {"rfc2217://127.0.0.1:" + std::to_string(closedPort),
       {"Can't open specified device rfc2217://127.0.0.1:" + std::to_string(closedPort) +
        " (Error 111, Connection refused)"}},
      {fullUrl, {"Can't open specified device " + fullUrl + " (Error 110, Connection timed out)"}},
      // Name servers may be out of reach on a test machine: then the look-up
      // runs out of time instead.
      {"rfc2217://no-such-host.invalid:7000",
       {"Can't open specified device rfc2217://no-such-host.invalid:7000 (Error 6, No such device "
        "or address)",
        "Can't open specified device rfc2217://no-such-host.invalid:7000 (Error 110, Connection "
        "timed out)",
        "Can't open specified device rfc2217://no-such-host.invalid:7000 (Error 11, Resource "
        "temporarily "
        "unavailable)"}},
      {"rfc2217://127.0.0.1",
       {"Can't open specified device rfc2217://127.0.0.1 (Error 22, Invalid argument)"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RemotePort port(c.name);
    const std::string message = port.OpenMessage();
    EXPECT_NE(std::find(c.messages.begin(), c.messages.end(), message), c.messages.end())
        << message;
    EXPECT_FALSE(port.Comm.Active());
  }
  ::close(filler);
  ::close(full);
}

// A Telnet server of our own: agrees to BINARY, SUPPRESS-GO-AHEAD and
// COM-PORT-OPTION (unless `Negotiate` is off), answers COM-PORT commands
// through `Answer` (default: takes every value) and keeps the data.
class FakeServer : private TTelnetSink {
 public:
  bool Negotiate = true;
  // Appends the answer to a command (code, value); nothing: no answer.
  std::function<void(std::uint8_t, const std::vector<std::uint8_t>&, std::vector<std::uint8_t>&)>
      Answer = [](std::uint8_t code, const std::vector<std::uint8_t>& value,
                  std::vector<std::uint8_t>& out) {
        AppendComPort(static_cast<std::uint8_t>(code + comport::kServerOffset), value.data(),
                      value.size(), out);
      };

  explicit FakeServer(int family = AF_INET) {
    FListen = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (family == AF_INET6) {
      sockaddr_in6 a{};
      a.sin6_family = AF_INET6;
      a.sin6_addr = in6addr_loopback;
      Ok = ::bind(FListen, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
      socklen_t len = sizeof a;
      ::getsockname(FListen, reinterpret_cast<sockaddr*>(&a), &len);
      Port = ntohs(a.sin6_port);
    } else {
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      Ok = ::bind(FListen, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
      socklen_t len = sizeof a;
      ::getsockname(FListen, reinterpret_cast<sockaddr*>(&a), &len);
      Port = ntohs(a.sin_port);
    }
    Ok = Ok && ::listen(FListen, 4) == 0;
    FOptions.AcceptLocal(telnet::kOptBinary);
    FOptions.AcceptLocal(telnet::kOptSuppressGoAhead);
    FOptions.AcceptRemote(telnet::kOptBinary);
    FOptions.AcceptRemote(telnet::kOptSuppressGoAhead);
    FOptions.AcceptRemote(telnet::kOptComPort);
  }
  ~FakeServer() override {
    FStop.store(true);
    if (FThread.joinable()) FThread.join();
    if (FConn >= 0) ::close(FConn);
    ::close(FListen);
  }
  void Run() {
    FThread = std::thread([this] { Loop(); });
  }
  // Sends raw bytes to the client.
  void Inject(const std::vector<std::uint8_t>& bytes) {
    std::lock_guard lock(FLock);
    FPendingOut.insert(FPendingOut.end(), bytes.begin(), bytes.end());
  }
  std::string Data() {
    std::lock_guard lock(FLock);
    return FData;
  }
  std::vector<std::uint8_t> Commands() {
    std::lock_guard lock(FLock);
    return FCommands;
  }

  bool Ok = false;
  int Port = 0;

 private:
  void Loop() {
    while (!FStop.load() && FConn < 0) {
      pollfd p{FListen, POLLIN, 0};
      if (::poll(&p, 1, 10) > 0) FConn = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
    }
    std::uint8_t buf[4096];
    while (!FStop.load()) {
      std::vector<std::uint8_t> out;
      {
        std::lock_guard lock(FLock);
        out.swap(FPendingOut);
      }
      if (!out.empty()) (void)!::send(FConn, out.data(), out.size(), MSG_NOSIGNAL);
      pollfd p{FConn, POLLIN, 0};
      if (::poll(&p, 1, 5) <= 0) continue;
      const ssize_t n = ::recv(FConn, buf, sizeof buf, 0);
      if (n <= 0) break;
      FReply.clear();
      FDecoder.Feed(buf, static_cast<std::size_t>(n), *this);
      if (!FReply.empty()) (void)!::send(FConn, FReply.data(), FReply.size(), MSG_NOSIGNAL);
    }
  }
  void Data(const std::uint8_t* p, std::size_t n) override {
    std::lock_guard lock(FLock);
    FData.append(reinterpret_cast<const char*>(p), n);
  }
  void Negotiation(std::uint8_t verb, std::uint8_t option) override {
    if (Negotiate) FOptions.Receive(verb, option, FReply);
  }
  void SubNegotiation(std::uint8_t option, const std::uint8_t* p, std::size_t n) override {
    if (option != telnet::kOptComPort || n == 0) return;
    {
      std::lock_guard lock(FLock);
      FCommands.push_back(p[0]);
    }
    if (Answer) Answer(p[0], std::vector<std::uint8_t>(p + 1, p + n), FReply);
  }

  int FListen = -1;
  int FConn = -1;
  std::atomic<bool> FStop{false};
  std::thread FThread;
  TTelnetDecoder FDecoder;
  TTelnetOptions FOptions;
  std::vector<std::uint8_t> FReply;
  std::mutex FLock;
  std::vector<std::uint8_t> FPendingOut;
  std::string FData;
  std::vector<std::uint8_t> FCommands;
};

std::string UrlOf(const FakeServer& s) { return "rfc2217://127.0.0.1:" + std::to_string(s.Port); }

std::vector<std::uint8_t> Notify(std::uint8_t code, std::uint8_t value) {
  std::vector<std::uint8_t> out;
  AppendComPort(static_cast<std::uint8_t>(comport::kServerOffset + code), &value, 1, out);
  return out;
}

TEST(RemotePortProtocol, AServerThatNeverAnswersDoesNotHangTheOpen) {
  FakeServer server;
  ASSERT_TRUE(server.Ok);
  server.Negotiate = false;
  server.Answer = nullptr;
  server.Run();
  RemotePort port(UrlOf(server));
  // Without COM-PORT-OPTION no setting can reach the line: said, not hidden.
  EXPECT_EQ(port.OpenMessage(), "Error writing dcb (95), Operation not supported");
  EXPECT_FALSE(port.Comm.Active());
}

TEST(RemotePortProtocol, ModemLinesTheServerDoesNotAnswerDoNotStopTheSettings) {
  FakeServer server;
  ASSERT_TRUE(server.Ok);
  // Like ser2net on a pty: every setting is answered but DTR and RTS.
  server.Answer = [](std::uint8_t code, const std::vector<std::uint8_t>& value,
                     std::vector<std::uint8_t>& out) {
    if (code == comport::kSetControl && !value.empty() && value[0] >= 7 && value[0] <= 12) return;
    AppendComPort(static_cast<std::uint8_t>(code + comport::kServerOffset), value.data(),
                  value.size(), out);
  };
  server.Run();
  RemotePort port(UrlOf(server));
  ASSERT_EQ(port.OpenMessage(), "");
  // Later settings still go out (the rate is answered), and the lines are
  // still sent each time.
  port.Comm.SetBaudrate(br57600);
  port.Comm.SetBaudrate(br38400);
  const auto cmds = server.Commands();
  // Two questions of the empty start, the open, two changes.
  EXPECT_EQ(std::count(cmds.begin(), cmds.end(), comport::kSetBaudrate), 5);
  EXPECT_EQ(std::count(cmds.begin(), cmds.end(), comport::kSetControl), 3 * 3);
  port.Comm.Close();
}

TEST(RemotePortProtocol, ASettingTheServerDidNotTakeIsRefused) {
  FakeServer server;
  ASSERT_TRUE(server.Ok);
  server.Answer = [](std::uint8_t code, const std::vector<std::uint8_t>& value,
                     std::vector<std::uint8_t>& out) {
    std::vector<std::uint8_t> v = value;
    // Keeps 9600 whatever is asked, as a server of a fixed-rate line does.
    if (code == comport::kSetBaudrate && v.size() == 4 && (v[0] | v[1] | v[2] | v[3]) != 0)
      v = {0, 0, 0x25, 0x80};
    AppendComPort(static_cast<std::uint8_t>(code + comport::kServerOffset), v.data(), v.size(),
                  out);
  };
  server.Run();
  RemotePort port(UrlOf(server));
  port.Comm.SetBaudrate(br9600);
  ASSERT_EQ(port.OpenMessage(), "");
  try {
    port.Comm.SetBaudrate(br115200);
    ADD_FAILURE() << "the refused rate was taken";
  } catch (const ESerCommError& e) {
    EXPECT_STREQ(e.what(), "Error writing dcb (22), Invalid argument");
  }
  port.Comm.Close();
}

TEST(RemotePortProtocol, NotificationsBecomeTheLocalEventsAndErrors) {
  FakeServer server;
  ASSERT_TRUE(server.Ok);
  server.Run();
  RemotePort port(UrlOf(server));
  ASSERT_EQ(port.OpenMessage(), "");
  // The port asked to hear of line errors.
  ASSERT_TRUE(RunUntil(port.Sync, [&] {
    const auto c = server.Commands();
    return std::count(c.begin(), c.end(), comport::kSetLinestateMask) > 0;
  }));
  server.Inject(Notify(comport::kNotifyLinestate, 0x04 | 0x10));  // parity error, break
  ASSERT_TRUE(RunUntil(port.Sync, [&] { return !port.Errors.empty() && port.Breaks > 0; }));
  EXPECT_EQ(port.Errors, std::vector<int>{static_cast<int>(CE_RXPARITY | CE_BREAK)});
  EXPECT_EQ(port.Breaks, 1);
  server.Inject(Notify(comport::kNotifyModemstate, 0x11));  // CTS came up
  ASSERT_TRUE(RunUntil(port.Sync, [&] { return port.Cts > 0; }));
  // Data with the Telnet escape around a notification arrives whole.
  std::vector<std::uint8_t> mixed = {'a', 0xFF, 0xFF};
  const auto overrun = Notify(comport::kNotifyLinestate, 0x02);
  mixed.insert(mixed.end(), overrun.begin(), overrun.end());
  mixed.push_back('b');
  server.Inject(mixed);
  ASSERT_TRUE(RunUntil(port.Sync, [&] { return port.Got.size() >= 3 && port.Errors.size() >= 2; }));
  EXPECT_EQ(port.Got, std::string("a\xFF"
                                  "b"));
  EXPECT_EQ(port.Errors.back(), static_cast<int>(CE_OVERRUN));
  port.Comm.Close();
}

TEST(RemotePortProtocol, FlowControlSuspendHoldsOurDataUntilResume) {
  FakeServer server;
  ASSERT_TRUE(server.Ok);
  server.Run();
  RemotePort port(UrlOf(server));
  ASSERT_EQ(port.OpenMessage(), "");
  port.Write("first");
  ASSERT_TRUE(RunUntil(port.Sync, [&] { return server.Data() == "first"; }));
  server.Inject(Notify(comport::kFlowcontrolSuspend, 0));
  // The suspend is taken in with the input; a notification behind it
  // tells when it has been.
  server.Inject(Notify(comport::kNotifyLinestate, 0x02));
  ASSERT_TRUE(RunUntil(port.Sync, [&] { return !port.Errors.empty(); }));
  port.Write("held");
  RunFor(port.Sync, 300ms);
  EXPECT_EQ(server.Data(), "first");
  server.Inject(Notify(comport::kFlowcontrolResume, 0));
  EXPECT_TRUE(RunUntil(port.Sync, [&] { return server.Data() == "firstheld"; })) << server.Data();
  port.Comm.Close();
}

TEST(RemotePortProtocol, IPv6AddressesInBrackets) {
  FakeServer server(AF_INET6);
  if (!server.Ok) GTEST_SKIP() << "no IPv6 loopback on this machine";
  server.Run();
  RemotePort port("rfc2217://[::1]:" + std::to_string(server.Port));
  ASSERT_EQ(port.OpenMessage(), "");
  port.Write(std::string("\xFF\x00\xFF", 3));
  EXPECT_TRUE(RunUntil(port.Sync, [&] { return server.Data() == std::string("\xFF\x00\xFF", 3); }));
  port.Comm.Close();
}

}  // namespace
}  // namespace talmo
