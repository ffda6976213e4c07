// A remote port's figures beside two peers in one run: the port component
// reading a pseudo-terminal through ser2net (RFC 2217), the same pty read
// locally, and pyserial's RFC 2217 client (Debian's python3-serial) reading
// the same ser2net port. Printed, never asserted.
//
//   receive     the far end (pty master) writes a block of every byte value;
//               time until the reader has all of it
//   round trip  1 byte written at the far end, read by the reader and sent
//               back, read again at the far end; median and 99th percentile
//   bare socket the same receive on a TCP socket that decodes nothing: the
//               server's own rate, the most any client can get
//
// usage: remote_bench [--mib N] [--pings N]

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device/device_driver.h"
#include "serial/ser_comm.h"
#include "support/ser2net_kit.h"

namespace {

using namespace talmo;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* kPython = "/usr/bin/python3";  // Debian's, with python3-serial

// pyserial waits for answers to SET-CONTROL that ser2net never gives on a
// pty, and fails its open; ign_set_control is its own way round that.
constexpr const char* kPyClient = R"(import sys, serial
url, mode, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
s = serial.serial_for_url(url + '?ign_set_control', baudrate=115200, timeout=10)
print('ready', flush=True)
if mode == 'rx':
    got = 0
    while got < n:
        b = s.read(min(65536, n - got))
        if not b:
            break
        got += len(b)
else:
    for i in range(n):
        b = s.read(1)
        if not b:
            break
        s.write(b)
print('done', flush=True)
s.close()
)";

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string Block(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
  return s;
}

// Writes `data` into the master end as fast as it takes it.
void Feed(int master, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n =
        ::write(master, data.data() + done, std::min<std::size_t>(65536, data.size() - done));
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else {
      pollfd p{master, POLLOUT, 0};
      ::poll(&p, 1, 100);
    }
  }
}

// Takes what waits on `fd` (blocking or not) and drops it.
void Drain(int fd) {
  char buf[4096];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0 || ::read(fd, buf, sizeof buf) <= 0) return;
  }
}

// One byte out of the master and back; microseconds, or -1 on a time-out.
double Ping(int master, char byte) {
  const auto t0 = Clock::now();
  (void)!::write(master, &byte, 1);
  for (;;) {
    pollfd p{master, POLLIN, 0};
    if (::poll(&p, 1, 5000) <= 0) return -1;
    char got;
    if (::read(master, &got, 1) == 1 && got == byte) break;
  }
  return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

struct TLatency {
  double Median = -1, P99 = -1;
};

TLatency Percentiles(std::vector<double> v) {
  TLatency l;
  v.erase(std::remove(v.begin(), v.end(), -1.0), v.end());
  if (v.empty()) return l;
  std::sort(v.begin(), v.end());
  l.Median = v[v.size() / 2];
  l.P99 = v[std::min(v.size() - 1, v.size() * 99 / 100)];
  return l;
}

// --- the local reader ----------------------------------------------------------

double LocalReceive(test::TSer2net& s, const std::string& data) {
  Drain(s.Slave);
  const auto t0 = Clock::now();
  std::thread writer([&] { Feed(s.Master, data); });
  std::size_t got = 0;
  std::vector<char> buf(65536);
  const int fd = s.Slave;
  while (got < data.size()) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 5000) <= 0) break;
    const ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n > 0) got += static_cast<std::size_t>(n);
  }
  const double secs = Seconds(Clock::now() - t0);
  writer.join();
  return got == data.size() ? data.size() / secs / 1e6 : -1;
}

TLatency LocalRoundTrip(test::TSer2net& s, int pings) {
  std::atomic<bool> stop{false};
  std::thread echo([&] {
    char b;
    while (!stop.load()) {
      pollfd p{s.Slave, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      if (::read(s.Slave, &b, 1) == 1) (void)!::write(s.Slave, &b, 1);
    }
  });
  std::vector<double> v;
  for (int i = 0; i < pings; ++i) v.push_back(Ping(s.Master, static_cast<char>(i & 0x7F)));
  stop.store(true);
  echo.join();
  return Percentiles(v);
}

// --- the server's own rate: a bare socket that decodes nothing ------------------

double RawReceive(int port, int master, const std::string& data) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  // The same options as any client (binary both ways, no go-ahead), so the
  // server sends as it does to one; then its answers are dropped.
  const unsigned char hello[] = {255, 251, 0, 255, 253, 0, 255, 251, 3, 255, 253, 3};
  (void)!::send(fd, hello, sizeof hello, MSG_NOSIGNAL);
  std::this_thread::sleep_for(200ms);
  Drain(fd);
  // On the wire every 0xFF is doubled.
  const std::size_t wire =
      data.size() + static_cast<std::size_t>(std::count(data.begin(), data.end(), '\xFF'));
  std::vector<char> buf(1 << 20);
  std::size_t got = 0;
  const auto t0 = Clock::now();
  std::thread writer([&] { Feed(master, data); });
  while (got < wire) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 5000) <= 0) break;
    const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  const double secs = Seconds(Clock::now() - t0);
  writer.join();
  ::close(fd);
  return got >= wire ? data.size() / secs / 1e6 : -1;
}

// --- the port component through ser2net ------------------------------------------

struct TRemote {
  TSerQueueSync Sync;
  TSerComm Comm{std::make_shared<TSerDeviceDriver>(), Sync};
  std::vector<char> Buf = std::vector<char>(1 << 20);
  std::size_t Got = 0;
  bool Echo = false;

  explicit TRemote(const std::string& url) {
    Comm.SetDeviceName(url);
    Comm.SetBaudrate(br115200);
    TSerBuffers b;
    b.SetReadSize(1 << 20);
    b.SetWriteSize(4096);
    Comm.SetBuffers(b);
    Comm.OnRxChar = [this](TSerCustomComm*, int count) {
      const int n = Comm.ReadBuf(Buf.data(), std::min<int>(count, static_cast<int>(Buf.size())));
      if (n <= 0) return;
      Got += static_cast<std::size_t>(n);
      if (Echo) Comm.WriteBuf(Buf.data(), n);
    };
    Comm.Open();
  }
};

double RemoteReceive(const std::string& url, int master, const std::string& data) {
  TRemote r(url);
  const auto t0 = Clock::now();
  std::thread writer([&] { Feed(master, data); });
  const auto limit = t0 + 60s;
  while (r.Got < data.size() && Clock::now() < limit) r.Sync.WaitAndProcess(10ms);
  const double secs = Seconds(Clock::now() - t0);
  writer.join();
  r.Comm.Close();
  return r.Got == data.size() ? data.size() / secs / 1e6 : -1;
}

TLatency RemoteRoundTrip(const std::string& url, int master, int pings) {
  TRemote r(url);
  r.Echo = true;
  std::vector<double> v;
  std::atomic<bool> done{false};
  std::thread pinger([&] {
    for (int i = 0; i < pings; ++i) v.push_back(Ping(master, static_cast<char>(i & 0x7F)));
    done.store(true);
  });
  while (!done.load()) r.Sync.WaitAndProcess(10ms);
  pinger.join();
  r.Comm.Close();
  return Percentiles(v);
}

// --- pyserial --------------------------------------------------------------------

class TPyClient {
 public:
  TPyClient(const std::string& script, const std::string& url, const char* mode, std::size_t n) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    FPid = ::fork();
    if (FPid == 0) {
      ::dup2(fds[1], 1);
      ::close(fds[0]);
      ::execl(kPython, kPython, script.c_str(), url.c_str(), mode, std::to_string(n).c_str(),
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(fds[1]);
    FOut = fds[0];
  }
  ~TPyClient() {
    if (FOut >= 0) ::close(FOut);
    if (FPid > 0) {
      ::kill(FPid, SIGTERM);
      ::waitpid(FPid, nullptr, 0);
    }
  }
  // Waits for a line that starts with `word`.
  bool Await(const std::string& word, int ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end) {
      const auto nl = FText.find('\n');
      if (nl != std::string::npos) {
        const std::string line = FText.substr(0, nl);
        FText.erase(0, nl + 1);
        if (line.rfind(word, 0) == 0) return true;
        continue;
      }
      pollfd p{FOut, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      char buf[256];
      const ssize_t n = ::read(FOut, buf, sizeof buf);
      if (n <= 0) return false;
      FText.append(buf, static_cast<std::size_t>(n));
    }
    return false;
  }

 private:
  pid_t FPid = -1;
  int FOut = -1;
  std::string FText;
};

bool PyserialThere() {
  const std::string cmd = std::string(kPython) + " -c 'import serial.rfc2217' 2>/dev/null";
  return std::system(cmd.c_str()) == 0;
}

double PyReceive(const std::string& script, const std::string& url, int master,
                 const std::string& data) {
  TPyClient py(script, url, "rx", data.size());
  if (!py.Await("ready", 15000)) return -1;
  const auto t0 = Clock::now();
  std::thread writer([&] { Feed(master, data); });
  const bool ok = py.Await("done", 300000);
  const double secs = Seconds(Clock::now() - t0);
  writer.join();
  return ok ? data.size() / secs / 1e6 : -1;
}

TLatency PyRoundTrip(const std::string& script, const std::string& url, int master, int pings) {
  TPyClient py(script, url, "echo", static_cast<std::size_t>(pings));
  if (!py.Await("ready", 15000)) return {};
  std::vector<double> v;
  for (int i = 0; i < pings; ++i) v.push_back(Ping(master, static_cast<char>(i & 0x7F)));
  py.Await("done", 5000);
  return Percentiles(v);
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? -1 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t mib = 16, pyMib = 1;
  int pings = 1000, pyPings = 200;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--mib")) mib = std::strtoul(argv[i + 1], nullptr, 10);
    if (!std::strcmp(argv[i], "--pings")) pings = std::atoi(argv[i + 1]);
  }
  test::TSer2net server;
  // ser2net holds back what it reads from the device for a few character
  // times to send it in larger packets (on by default: about 3 ms per byte
  // here, the same for every client), and reads its device 64 bytes at a
  // time (about 8 MB/s here). Both off, the figures show the clients, and
  // the bare socket shows what the server itself carries.
  server.Options = "    chardelay: false\n    dev-to-net-bufsize: 65536\n";
  std::string why;
  if (!server.Start(why)) {
    std::printf("remote port bench skipped: %s\n", why.c_str());
    return 0;
  }
  const std::string url = server.Url();
  const std::string data = Block(mib << 20), pyData = Block(pyMib << 20);
  const std::string script = server.Dir + "/pyclient.py";
  std::ofstream(script) << kPyClient;
  const bool py = PyserialThere();

  constexpr int kRounds = 3;
  std::vector<double> local, raw, remote;
  std::fprintf(stderr, "remote_bench: receive, %d rounds\n", kRounds);
  for (int round = 0; round < kRounds; ++round) {
    local.push_back(LocalReceive(server, data));
    std::this_thread::sleep_for(100ms);
    raw.push_back(RawReceive(server.Port, server.Master, data));
    std::this_thread::sleep_for(100ms);
    Drain(server.Master);
    Drain(server.Slave);
    remote.push_back(RemoteReceive(url, server.Master, data));
    std::this_thread::sleep_for(100ms);
    Drain(server.Master);
    Drain(server.Slave);
  }
  std::fprintf(stderr, "remote_bench: pyserial receive\n");
  const double pyRx = py ? PyReceive(script, url, server.Master, pyData) : -1;
  std::this_thread::sleep_for(100ms);
  Drain(server.Slave);

  std::fprintf(stderr, "remote_bench: round trips\n");
  const TLatency lLocal = LocalRoundTrip(server, pings);
  std::this_thread::sleep_for(100ms);
  const TLatency lRemote = RemoteRoundTrip(url, server.Master, pings);
  std::this_thread::sleep_for(100ms);
  const TLatency lPy = py ? PyRoundTrip(script, url, server.Master, pyPings) : TLatency{};

  const double mLocal = Median(local), mRaw = Median(raw), mRemote = Median(remote);
  std::printf(
      "TALMO remote port (RFC 2217 through ser2net on 127.0.0.1, chardelay off) vs the same pty "
      "read locally "
      "vs pyserial %s\n",
      py ? "(python3-serial)" : "(not installed: apt-get install python3-serial)");
  std::printf(
      "receive           local %8.1f MB/s  talmo %8.1f MB/s  pyserial %8.2f MB/s  "
      "talmo/local %.2f  talmo/pyserial %.1f  (%zu MiB, median of %d; pyserial %zu MiB once)\n",
      mLocal, mRemote, pyRx, mRemote / mLocal, pyRx > 0 ? mRemote / pyRx : -1.0, mib, kRounds,
      pyMib);
  std::printf("receive server    bare socket without decoding %8.1f MB/s  talmo/bare %.2f\n", mRaw,
              mRaw > 0 ? mRemote / mRaw : -1.0);
  std::printf(
      "round trip median local %8.1f us    talmo %8.1f us    pyserial %8.1f us    "
      "talmo/local %.2f  pyserial/talmo %.2f  (%d pings; pyserial %d)\n",
      lLocal.Median, lRemote.Median, lPy.Median, lRemote.Median / lLocal.Median,
      lPy.Median > 0 ? lPy.Median / lRemote.Median : -1.0, pings, pyPings);
  std::printf(
      "round trip p99    local %8.1f us    talmo %8.1f us    pyserial %8.1f us    "
      "talmo/local %.2f  pyserial/talmo %.2f\n",
      lLocal.P99, lRemote.P99, lPy.P99, lRemote.P99 / lLocal.P99,
      lPy.P99 > 0 ? lPy.P99 / lRemote.P99 : -1.0);
  return 0;
}
