// Figures of the port component against plain descriptor loops, each over
// its own pseudo-terminal pair, side by side in one run. Printed, never
// asserted: a loaded machine moves them.
//
//   receive   far end writes 64 MiB; OnRxChar + ReadBuf  vs  poll + read
//   latency   1 byte at the far end to OnRxChar          vs  poll + read
//   send      WriteBuf in 1 KiB blocks                   vs  write loop
// each with the port's threads, then with the port polled by its owner.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device/device_driver.h"
#include "serial/ser_comm.h"

namespace {

using namespace talmo;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kTotal = 64u << 20;

struct Pty {
  int Master = -1;
  int Slave = -1;
  std::string Path;
  Pty() {
    if (openpty(&Master, &Slave, nullptr, nullptr, nullptr) != 0) {
      std::perror("openpty");
      std::exit(1);
    }
    Path = ttyname(Slave);
    termios t{};
    tcgetattr(Slave, &t);
    cfmakeraw(&t);
    tcsetattr(Slave, TCSANOW, &t);
  }
  ~Pty() {
    if (Master >= 0) close(Master);
    if (Slave >= 0) close(Slave);
  }
  void CloseSlave() {
    close(Slave);
    Slave = -1;
  }
};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

void WriteAll(int fd, std::size_t total, std::size_t block) {
  std::vector<char> buf(block, 'r');
  std::size_t off = 0;
  while (off < total) {
    const ssize_t w = write(fd, buf.data(), std::min(block, total - off));
    if (w > 0)
      off += static_cast<std::size_t>(w);
    else if (errno != EINTR && errno != EAGAIN)
      break;
  }
}

void ReadAll(int fd, std::size_t total) {
  std::vector<char> buf(64 * 1024);
  std::size_t got = 0;
  while (got < total) {
    const ssize_t r = read(fd, buf.data(), buf.size());
    if (r > 0)
      got += static_cast<std::size_t>(r);
    else if (r < 0 && errno != EINTR && errno != EAGAIN)
      break;
  }
}

std::unique_ptr<TSerComm> MakePort(TSerQueueSync& sync, const std::string& path) {
  auto c = std::make_unique<TSerComm>(std::make_shared<TSerDeviceDriver>(), sync);
  c->SetDeviceName(path);
  c->SetBaudrate(br115200);
  return c;
}

// One step of the owner's loop: the hand-off of a threaded port, or the
// descriptor of a polled one (the tap's way).
void Step(TSerComm& port, TSerQueueSync& sync, int ms) {
  if (port.Active() && port.PollFd() >= 0) {
    pollfd p{port.PollFd(), port.PollEvents(), 0};
    const int r = poll(&p, 1, ms);
    if (r > 0 || port.PollDue()) port.Serve(r > 0 ? p.revents : 0);
    return;
  }
  if (ms == 0)
    sync.ProcessPending();
  else
    sync.WaitAndProcess(std::chrono::milliseconds(ms));
}

// --- receive ---------------------------------------------------------------

double ReceivePlain() {
  Pty p;
  const auto t0 = Clock::now();
  std::thread far([&] { WriteAll(p.Master, kTotal, 64 * 1024); });
  std::vector<char> buf(64 * 1024);
  std::size_t got = 0;
  pollfd pf{p.Slave, POLLIN, 0};
  while (got < kTotal) {
    poll(&pf, 1, -1);
    const ssize_t r = read(p.Slave, buf.data(), buf.size());
    if (r > 0) got += static_cast<std::size_t>(r);
  }
  const double s = Seconds(Clock::now() - t0);
  far.join();
  return kTotal / s / 1e6;
}

double ReceivePort(bool polled) {
  Pty p;
  p.CloseSlave();
  TSerQueueSync sync;
  auto port = MakePort(sync, p.Path);
  port->SetPolled(polled);
  std::size_t got = 0;
  std::vector<std::uint8_t> buf;
  port->OnRxChar = [&](TSerCustomComm* c, int count) {
    buf.resize(static_cast<std::size_t>(count) + 1);
    got += static_cast<std::size_t>(c->ReadBuf(buf.data(), count));
    benchmark::DoNotOptimize(buf.data());
  };
  port->Open();
  const auto t0 = Clock::now();
  std::thread far([&] { WriteAll(p.Master, kTotal, 64 * 1024); });
  while (got < kTotal) Step(*port, sync, 100);
  const double s = Seconds(Clock::now() - t0);
  far.join();
  port->Close();
  return kTotal / s / 1e6;
}

// --- latency ---------------------------------------------------------------

struct Percentiles {
  double median_us = 0, p99_us = 0;
};

Percentiles Summarise(std::vector<double>& us) {
  std::sort(us.begin(), us.end());
  return {us[us.size() / 2], us[us.size() * 99 / 100]};
}

constexpr int kPings = 2000;

// The far end writes one byte, then waits until the receiving side has
// stamped its arrival; both sides run on their own threads, as in the port.
template <typename Receive>
Percentiles Ping(int master, Receive&& receiveLoop) {
  std::atomic<std::int64_t> arrivedNs{0};
  std::vector<double> us;
  std::thread far([&] {
    char b = 'x';
    for (int i = 0; i < kPings; ++i) {
      arrivedNs = 0;
      const auto t0 = Clock::now();
      if (write(master, &b, 1) != 1) break;
      while (arrivedNs.load() == 0) std::this_thread::yield();
      us.push_back((arrivedNs.load() - t0.time_since_epoch().count()) / 1e3);
      // Single bytes apart, as typed: each one is its own event.
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  });
  receiveLoop([&] { arrivedNs = Clock::now().time_since_epoch().count(); });
  far.join();
  return Summarise(us);
}

Percentiles LatencyPlain() {
  Pty p;
  return Ping(p.Master, [&](auto stamp) {
    char in[64];
    pollfd pf{p.Slave, POLLIN, 0};
    for (int i = 0; i < kPings; ++i) {
      poll(&pf, 1, -1);
      if (read(p.Slave, in, sizeof in) <= 0) break;
      stamp();
    }
  });
}

Percentiles LatencyPort(bool polled) {
  Pty p;
  p.CloseSlave();
  TSerQueueSync sync;
  auto port = MakePort(sync, p.Path);
  port->SetPolled(polled);
  port->Open();
  const Percentiles r = Ping(p.Master, [&](auto stamp) {
    int seen = 0;
    port->OnRxChar = [&](TSerCustomComm* c, int count) {
      stamp();
      char in[64];
      seen += c->ReadBuf(in, std::min(count, 64));
    };
    while (seen < kPings) Step(*port, sync, 100);
  });
  port->Close();
  return r;
}

// --- send ------------------------------------------------------------------

double SendPlain() {
  Pty p;
  std::thread far([&] { ReadAll(p.Master, kTotal); });
  const auto t0 = Clock::now();
  // The slave is blocking here: a plain write loop waits in write().
  WriteAll(p.Slave, kTotal, 1024);
  far.join();
  return kTotal / Seconds(Clock::now() - t0) / 1e6;
}

double SendPort(int writeSize, bool polled) {
  Pty p;
  p.CloseSlave();
  TSerQueueSync sync;
  auto port = MakePort(sync, p.Path);
  port->SetPolled(polled);
  port->Buffers().SetWriteSize(writeSize);
  port->Open();
  std::thread far([&] { ReadAll(p.Master, kTotal); });
  std::vector<char> block(1024, 's');
  const auto t0 = Clock::now();
  for (std::size_t off = 0; off < kTotal; off += block.size()) {
    port->WriteBuf(block.data(), static_cast<int>(block.size()));
    Step(*port, sync, 0);  // OnTxEmpty hand-offs, or the queue's rest
  }
  // Keep serving the hand-off until the far end has everything.
  std::atomic<bool> done{false};
  std::thread joiner([&] {
    far.join();
    done = true;
  });
  while (!done) Step(*port, sync, 1);
  joiner.join();
  const double mbs = kTotal / Seconds(Clock::now() - t0) / 1e6;
  port->Close();
  return mbs;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Runs the two sides alternately, `rounds` times, and keeps the median of
// each: pty throughput on a shared machine moves a lot between runs.
template <typename A, typename B>
std::pair<double, double> SideBySide(int rounds, A a, B b) {
  std::vector<double> va, vb;
  for (int i = 0; i < rounds; ++i) {
    va.push_back(a());
    vb.push_back(b());
  }
  return {Median(va), Median(vb)};
}

}  // namespace

int main() {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  std::printf(
      "TALMO serial component vs plain descriptor loops "
      "(pty pairs, median of 5 alternating rounds, latency of 3)\n");
  // The port with its threads, then polled by its owner (lines marked
  // "polled").
  for (const bool polled : {false, true}) {
    const char* mark = polled ? "polled " : "";
    const auto [rxPlain, rxPort] =
        SideBySide(5, ReceivePlain, [polled] { return ReceivePort(polled); });
    std::printf(
        "%sreceive 64 MiB    plain %8.1f MB/s  port %8.1f MB/s  "
        "port/plain %.2f\n",
        mark, rxPlain, rxPort, rxPort / rxPlain);

    std::vector<double> mPlain, mPort, pPlain, pPort;
    for (int i = 0; i < 3; ++i) {
      const Percentiles a = LatencyPlain(), b = LatencyPort(polled);
      mPlain.push_back(a.median_us);
      pPlain.push_back(a.p99_us);
      mPort.push_back(b.median_us);
      pPort.push_back(b.p99_us);
    }
    std::printf(
        "%slatency median    plain %8.1f us    port %8.1f us    "
        "port/plain %.2f\n",
        mark, Median(mPlain), Median(mPort), Median(mPort) / Median(mPlain));
    std::printf(
        "%slatency p99       plain %8.1f us    port %8.1f us    "
        "port/plain %.2f\n",
        mark, Median(pPlain), Median(pPort), Median(pPort) / Median(pPlain));

    for (int size : {1024, 2048, 64 * 1024, 1024 * 1024}) {
      if (polled && size != 1024 && size != 64 * 1024) continue;
      const auto [txPlain, txPort] =
          SideBySide(5, SendPlain, [size, polled] { return SendPort(size, polled); });
      std::printf(
          "%ssend 1 KiB blocks plain %8.1f MB/s  port %8.1f MB/s  "
          "port/plain %.2f  (WriteSize %d)\n",
          mark, txPlain, txPort, txPort / txPlain, size);
    }
  }
  return 0;
}
