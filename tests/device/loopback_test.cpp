// The built-in loopback port through the port component: what is sent comes
// back, every byte, in order.

#include "device/loopback_port.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <random>
#include <thread>
#include <vector>

#include "base/control_lines.h"
#include "device/device_driver.h"
#include "serial/ser_comm.h"
#include "serial/ser_sync.h"
#include "support/proc_stats.h"

namespace talmo {
namespace {

TEST(LoopbackPort, AMebibyteThroughTheComponentComesBackIdentical) {
  TLoopbackPort loop;
  ASSERT_TRUE(loop.Error().empty()) << loop.Error();
  ASSERT_FALSE(loop.Path().empty());

  std::string failure;
  TSerQueueSync sync([&failure](std::exception_ptr) { failure = "a handler failed"; });
  const std::string path = loop.Path();
  TSerComm comm(std::make_shared<TSerDeviceDriver>([path](const std::string&) { return path; }),
                sync);
  comm.SetDeviceName("COM99");
  comm.SetBaudrate(br115200);
  comm.Buffers().SetWriteSize(8192);
  std::vector<std::uint8_t> back;
  comm.OnRxChar = [&](TSerCustomComm*, int count) {
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(count));
    const int n = comm.ReadBuf(buf.data(), count);
    back.insert(back.end(), buf.begin(), buf.begin() + std::max(n, 0));
  };
  comm.Open();

  std::mt19937 rng(5);
  std::vector<std::uint8_t> sent(1 << 20);
  for (auto& b : sent) b = static_cast<std::uint8_t>(rng());
  std::size_t pos = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (back.size() < sent.size() && std::chrono::steady_clock::now() < end) {
    // Keep what is in flight well inside the loopback's ring.
    if (pos < sent.size() && pos - back.size() < TLoopbackPort::kRingSize / 4) {
      const int n = static_cast<int>(std::min<std::size_t>(4096, sent.size() - pos));
      pos += static_cast<std::size_t>(comm.WriteBuf(sent.data() + pos, n));
    }
    sync.WaitAndProcess(std::chrono::milliseconds(1));
  }
  comm.Close();
  EXPECT_TRUE(failure.empty());
  ASSERT_EQ(back.size(), sent.size());
  EXPECT_TRUE(back == sent) << "bytes changed or reordered";
}

// What waited in the line before the port was opened is not delivered: the
// loopback keeps its line open between opens, so echoes of an earlier
// session would otherwise turn up in the next one.
TEST(LoopbackPort, AnOpenStartsWithAnEmptyLine) {
  TLoopbackPort loop;
  ASSERT_TRUE(loop.Error().empty());
  const std::string path = loop.Path();
  TSerQueueSync sync;
  TSerComm comm(std::make_shared<TSerDeviceDriver>([path](const std::string&) { return path; }),
                sync);
  comm.SetDeviceName("COM99");
  std::string got;
  comm.OnRxChar = [&](TSerCustomComm*, int count) {
    std::string buf(static_cast<std::size_t>(count), '\0');
    buf.resize(static_cast<std::size_t>(std::max(comm.ReadBuf(buf.data(), count), 0)));
    got += buf;
  };
  comm.Open();
  comm.WriteBuf("old session", 11);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  // The echo arrives, but this session ends before anyone reads it.
  while (comm.InQueCount() < 11 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  comm.OnRxChar = nullptr;
  comm.Close();

  comm.OnRxChar = [&](TSerCustomComm*, int count) {
    std::string buf(static_cast<std::size_t>(count), '\0');
    buf.resize(static_cast<std::size_t>(std::max(comm.ReadBuf(buf.data(), count), 0)));
    got += buf;
  };
  comm.Open();
  comm.WriteBuf("new", 3);
  while (got.size() < 3 && std::chrono::steady_clock::now() < until)
    sync.WaitAndProcess(std::chrono::milliseconds(5));
  sync.WaitAndProcess(std::chrono::milliseconds(20));
  comm.Close();
  EXPECT_EQ(got, "new");
}

TEST(LoopbackPort, CostsNothingWhileUnused) {
  TLoopbackPort loop;
  ASSERT_TRUE(loop.Error().empty());
  ASSERT_EQ(loop.ErrorCode(), 0);
  ASSERT_FALSE(loop.Path().empty());
  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  getrusage(RUSAGE_SELF, &after);
  const auto us = [](const rusage& r) {
    return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000000LL + r.ru_utime.tv_usec +
           r.ru_stime.tv_usec;
  };
  EXPECT_LT(us(after) - us(before), 30000) << "the echo thread must sleep while nothing arrives";
}

// The loopback port with the modem-line events watched, as a program that
// shows them has it.
struct WiredPort {
  TLoopbackPort Loop;
  TSerQueueSync Sync{[](std::exception_ptr) {}};
  TSerComm Comm{
      std::make_shared<TSerDeviceDriver>([p = Loop.Path()](const std::string&) { return p; }),
      Sync};
  int Cts = 0, Dsr = 0, Rlsd = 0, Breaks = 0;
  std::vector<bool> DsrSeen;  // DSR as ModemLines told it in each OnDsr
  std::string Got;

  WiredPort() {
    Comm.SetDeviceName("COM99");
    Comm.SetMonitorEvents({ceRxChar, ceError, ceBreak, ceCts, ceDsr, ceRlsd, ceRing});
    Comm.OnCts = [this](TSerCustomComm*) { ++Cts; };
    Comm.OnDsr = [this](TSerCustomComm*) {
      ++Dsr;
      DsrSeen.push_back((Comm.ModemLines() & kLineDsr) != 0);
    };
    Comm.OnRlsd = [this](TSerCustomComm*) { ++Rlsd; };
    Comm.OnBreak = [this](TSerCustomComm*) { ++Breaks; };
    Comm.OnRxChar = [this](TSerCustomComm*, int count) {
      std::string buf(static_cast<std::size_t>(count), '\0');
      buf.resize(static_cast<std::size_t>(std::max(0, Comm.ReadBuf(buf.data(), count))));
      Got += buf;
    };
  }
  template <typename Pred>
  bool Until(Pred pred) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!pred()) {
      if (std::chrono::steady_clock::now() > end) return false;
      Sync.WaitAndProcess(std::chrono::milliseconds(5));
    }
    return true;
  }
};

constexpr std::uint8_t kDtrWired = kLineDtr | kLineDsr | kLineDcd;
constexpr std::uint8_t kRtsWired = kLineRts | kLineCts;

TEST(LoopbackPort, IsWiredAsALoopbackPlug) {
  struct Row {
    const char* what;
    TSerControlDtr dtrAtOpen;
    TSerControlRts rtsAtOpen;
    std::function<void(WiredPort&)> act;  // on the open port; waits for what it expects
    std::uint8_t lines;                   // ModemLines afterwards
    int cts, dsr, rlsd;                   // events fired
  };
  const Row rows[] = {
      {"both off at the open", dtrDisabled, rtsDisabled, nullptr, 0, 0, 0, 0},
      {"DTR on at the open", dtrEnabled, rtsDisabled, nullptr, kDtrWired, 0, 0, 0},
      {"RTS on at the open", dtrDisabled, rtsEnabled, nullptr, kRtsWired, 0, 0, 0},
      {"DTR raised: DSR and DCD follow", dtrDisabled, rtsDisabled,
       [](WiredPort& p) {
         p.Comm.SetDTR(true);
         ASSERT_TRUE(p.Until([&] { return p.Dsr > 0 && p.Rlsd > 0; }));
       },
       kDtrWired, 0, 1, 1},
      {"RTS raised and dropped: CTS follows", dtrDisabled, rtsDisabled,
       [](WiredPort& p) {
         p.Comm.SetRTS(true);
         ASSERT_TRUE(p.Until([&] { return p.Cts == 1; }));
         EXPECT_EQ(p.Comm.ModemLines(), kRtsWired);
         p.Comm.SetRTS(false);
         ASSERT_TRUE(p.Until([&] { return p.Cts == 2; }));
       },
       0, 2, 0, 0},
      {"DTR dropped, RTS kept", dtrEnabled, rtsEnabled,
       [](WiredPort& p) {
         p.Comm.SetDTR(false);
         ASSERT_TRUE(p.Until([&] { return p.Dsr > 0; }));
       },
       kRtsWired, 0, 1, 1},
      // A pulse over before the program serves its events is still seen:
      // each change with the lines as they were when it came.
      {"a DTR pulse while the events wait", dtrDisabled, rtsDisabled,
       [](WiredPort& p) {
         p.Comm.SetDTR(true);
         std::this_thread::sleep_for(std::chrono::milliseconds(200));
         p.Comm.SetDTR(false);
         ASSERT_TRUE(p.Until([&] { return p.Dsr == 2; }));
         EXPECT_EQ(p.DsrSeen, (std::vector<bool>{true, false}));
       },
       0, 0, 2, 2},
      {"a break comes back as a break, after the bytes before it", dtrDisabled, rtsDisabled,
       [](WiredPort& p) {
         p.Comm.WriteBuf("ab", 2);
         ASSERT_TRUE(p.Until([&] { return p.Got == "ab"; }));
         p.Comm.SetBreak(true);
         p.Comm.SetBreak(false);
         p.Comm.WriteBuf("c", 1);
         ASSERT_TRUE(p.Until([&] { return p.Got.size() == 4 && p.Breaks > 0; })) << p.Got;
         EXPECT_EQ(p.Got, std::string("ab\0c", 4));
         EXPECT_EQ(p.Breaks, 1);
       },
       0, 0, 0, 0},
      {"a reopen keeps the levels set on the open port", dtrDisabled, rtsDisabled,
       [](WiredPort& p) {
         p.Comm.SetDTR(true);
         p.Comm.SetRTS(true);
         p.Comm.Close();
         p.Comm.Open();
         EXPECT_EQ(p.Comm.FlowControl().ControlDtr(), dtrEnabled);
         EXPECT_EQ(p.Comm.FlowControl().ControlRts(), rtsEnabled);
       },
       kDtrWired | kRtsWired, 0, 0, 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    WiredPort p;
    ASSERT_TRUE(p.Loop.Error().empty()) << p.Loop.Error();
    p.Comm.FlowControl().SetControlDtr(r.dtrAtOpen);
    p.Comm.FlowControl().SetControlRts(r.rtsAtOpen);
    p.Comm.Open();
    EXPECT_TRUE(p.Comm.HasModemLines());
    if (r.act) r.act(p);
    // Late events of a change that should not have been there.
    p.Sync.WaitAndProcess(std::chrono::milliseconds(30));
    EXPECT_EQ(p.Comm.ModemLines(), r.lines);
    EXPECT_EQ(p.Cts, r.cts);
    EXPECT_EQ(p.Dsr, r.dsr);
    EXPECT_EQ(p.Rlsd, r.rlsd);
    p.Comm.Close();
    // Closed, the plug sees no DTR or RTS: the lines are down for the next user.
    EXPECT_EQ(p.Comm.ModemLines(), 0);
  }
}

// The lines are waited for in the kernel's way (the loopback's eventfd),
// never looked at on a timer: an open port that watches them sleeps.
TEST(LoopbackPort, AnOpenPortWatchingTheLinesDoesNotWake) {
  WiredPort p;
  ASSERT_TRUE(p.Loop.Error().empty());
  p.Comm.Open();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const long long before = test::ContextSwitches(::getpid());
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const long long woke = test::ContextSwitches(::getpid()) - before;
  // This thread's own sleep is one; a 10 ms look would be 50 more.
  EXPECT_LE(woke, 5);
  p.Comm.Close();
}

TEST(LoopbackPort, TheProgramsPortIsMadeOnce) {
  EXPECT_EQ(&TLoopbackPort::Instance(), &TLoopbackPort::Instance());
  EXPECT_STREQ(TLoopbackPort::kName, "COM99");
}

}  // namespace
}  // namespace talmo
