// The POSIX device layer under the component, over pseudo-terminal pairs
// made here: what a pty really keeps (rates, 1024 baud through termios2),
// exclusive open, every byte value received intact, the write queue on a
// real descriptor, and a far end that goes away.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device/device_driver.h"
#include "device/termios2_rate.h"
#include "fake_device.h"
#include "serial/ser_comm.h"

#include "support/pty_pair.h"

namespace talmo {
namespace {

using namespace std::chrono_literals;

// A pseudo-terminal pair: the port opens `Path`, the test plays the far end
// on `Master`.
// The line is left as made: the port sets it up itself.
struct Pty : test::TPtyPair {
  Pty() {
    if (Open(TMaster::Blocking, TSlave::AsMade)) CloseSlave();
  }
  // Reads what is there now (non-blocking).
  std::vector<std::uint8_t> Drain() {
    std::vector<std::uint8_t> out;
    std::uint8_t b[4096];
    for (;;) {
      pollfd p{Master, POLLIN, 0};
      if (poll(&p, 1, 0) <= 0 || !(p.revents & POLLIN)) break;
      const ssize_t r = read(Master, b, sizeof b);
      if (r <= 0) break;
      out.insert(out.end(), b, b + r);
    }
    return out;
  }
};

double CpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

class PtyTest : public ::testing::Test {
 protected:
  Pty FP;
  std::vector<std::string> FShown;
  TSerQueueSync FSync{[this](std::exception_ptr e) {
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& x) {
      FShown.push_back(x.what());
    }
  }};
  std::unique_ptr<TSerComm> FComm;

  void SetUp() override {
    ASSERT_GE(FP.Master, 0);
    FComm = MakePort();
  }
  std::unique_ptr<TSerComm> MakePort() {
    auto c = std::make_unique<TSerComm>(std::make_shared<TSerDeviceDriver>(), FSync);
    c->SetDeviceName(FP.Path);
    // Close's pause only gave self-freeing threads time to end; ours are
    // joined, so the tests skip it.
    c->SetTiming({[] { return std::chrono::steady_clock::now(); },
                  [](std::chrono::milliseconds ms) {
                    if (ms.count() <= 1) std::this_thread::sleep_for(ms);
                  }});
    return c;
  }
  std::uint32_t Rate() {
    std::uint32_t in = 0, out = 0;
    EXPECT_EQ(GetRates(FP.Master, in, out), 0);
    return out;
  }
};

// The port's receive and write paths, with its threads and polled by its
// owner's loop (as the tap runs it): the same results either way.
class PtyPortTest : public PtyTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    PtyTest::SetUp();
    FComm->SetPolled(GetParam());
  }
  // One step of the owner's loop: the hand-off, or the port's descriptor.
  void Step(std::chrono::milliseconds wait) {
    if (FComm->Active() && FComm->PollFd() >= 0) {
      EXPECT_EQ(FSync.QueuedCount(), 0u) << "a polled port hands nothing over";
      pollfd p{FComm->PollFd(), FComm->PollEvents(), 0};
      const int r = poll(&p, 1, static_cast<int>(wait.count()));
      if (r > 0 || FComm->PollDue()) FComm->Serve(r > 0 ? p.revents : 0);
    } else {
      FSync.WaitAndProcess(wait);
    }
  }
  template <typename Pred>
  bool ServeUntil(Pred pred, std::chrono::milliseconds limit = 3000ms) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
      if (std::chrono::steady_clock::now() > end) return false;
      Step(5ms);
    }
    return true;
  }
  void ServeFor(std::chrono::milliseconds d) {
    const auto end = std::chrono::steady_clock::now() + d;
    while (std::chrono::steady_clock::now() < end) Step(5ms);
  }
};
INSTANTIATE_TEST_SUITE_P(ThreadedAndPolled, PtyPortTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& i) {
                           return i.param ? "Polled" : "Threaded";
                         });

TEST_F(PtyTest, RatesAreKeptAndReadBackIncluding1024) {
  const struct {
    TSerBaudrate b;
    std::uint32_t rate;
  } table[] = {{br110, 110},       {br600, 1024},      {br9600, 9600},
               {br14400, 14400},   {br19200, 19200},   {br56000, 56000},
               {br115200, 115200}, {br128000, 128000}, {br256000, 256000}};
  for (auto& row : table) {
    SCOPED_TRACE(row.rate);
    FComm->SetBaudrate(row.b);
    FComm->Open();
    EXPECT_EQ(Rate(), row.rate);
    FComm->Close();
  }
  // A change while open reaches the device at once.
  FComm->SetBaudrate(br9600);
  FComm->Open();
  FComm->SetBaudrate(br600);
  EXPECT_EQ(Rate(), 1024u);
  FComm->SetUserBaudrate(12345);
  EXPECT_EQ(Rate(), 12345u);
  // Settings a pty cannot keep are taken without complaint, and so are
  // modem lines it does not have.
  FComm->SetDatabits(db7);
  FComm->SetParity(paEven);
  FComm->FlowControl().SetControlDtr(dtrEnabled);
  FComm->FlowControl().SetControlRts(rtsHandshake);
  FComm->FlowControl().SetXonXoffIn(true);
  EXPECT_TRUE(FComm->Active());
  EXPECT_EQ(Rate(), 12345u);
}

TEST_F(PtyTest, MissingDevicesAreNotFound) {
  const struct {
    std::string name;
    std::string msg;
  } table[] = {
      {"/dev/talmo-no-such-tty", "Specified device not found (/dev/talmo-no-such-tty)."},
      {"\\\\.\\COM13", "Specified device not found (\\\\.\\COM13)."},
  };
  for (auto& row : table) {
    SCOPED_TRACE(row.name);
    FComm->SetDeviceName(row.name);
    try {
      FComm->Open();
      ADD_FAILURE();
    } catch (const ESerCommError& e) {
      EXPECT_EQ(e.what(), row.msg);
    }
    EXPECT_FALSE(FComm->Active());
  }
}

// The driver sets the calling thread's nice value; lowering it needs no
// right, so the lower priorities can be checked anywhere.
TEST(PosixDriver, ThreadPriorityLowersOnlyTheCallingThread) {
  TSerDeviceDriver driver;
  const int mine = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
  for (auto [priority, nice] : {std::pair{tpIdle, 19}, {tpLowest, 10}}) {
    if (nice < mine && geteuid() != 0) continue;  // already niced below it
    int seen = -100;
    std::thread t([&, priority = priority] {
      driver.ApplyThreadPriority(priority);
      seen = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
    });
    t.join();
    EXPECT_EQ(seen, nice);
  }
  EXPECT_EQ(getpriority(PRIO_PROCESS, static_cast<id_t>(gettid())), mine);
}

TEST_F(PtyTest, ADeviceHeldElsewhereCannotBeOpened) {
  const std::string busy =
      "Can't open specified device " + FP.Path + " (Error 16, " + SysErrorText(EBUSY) + ")";
  // Root ignores TIOCEXCL, so the flock is what holds.
  const int other = open(FP.Path.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(other, 0);
  ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  try {
    FComm->Open();
    ADD_FAILURE();
  } catch (const ESerCommError& e) {
    EXPECT_EQ(e.what(), busy);
  }
  close(other);
  FComm->Open();

  auto second = MakePort();
  try {
    second->Open();
    ADD_FAILURE();
  } catch (const ESerCommError& e) {
    EXPECT_EQ(e.what(), busy);
  }
  FComm->Close();
  second->Open();
  EXPECT_TRUE(second->Active());
}

TEST_P(PtyPortTest, EveryByteValueArrivesIntactInOrderOnTheGuiThread) {
  std::vector<std::uint8_t> sent(64 * 1024);
  for (std::size_t i = 0; i < sent.size(); ++i)
    sent[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
  std::vector<std::uint8_t> got;
  bool offThread = false;
  int badCount = 0;
  const auto gui = std::this_thread::get_id();
  FComm->OnRxChar = [&](TSerCustomComm* c, int count) {
    if (std::this_thread::get_id() != gui) offThread = true;
    if (count <= 0) ++badCount;
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(count) + 1);
    const int n = c->ReadBuf(buf.data(), count);
    got.insert(got.end(), buf.begin(), buf.begin() + n);
  };
  FComm->Open();
  std::thread far([&] {
    std::size_t off = 0;
    while (off < sent.size()) {
      const ssize_t w =
          write(FP.Master, sent.data() + off, std::min<std::size_t>(1000, sent.size() - off));
      if (w > 0)
        off += static_cast<std::size_t>(w);
      else if (errno != EAGAIN && errno != EINTR)
        break;
    }
  });
  ASSERT_TRUE(ServeUntil([&] { return got.size() >= sent.size(); }, 10s));
  far.join();
  EXPECT_EQ(got, sent);
  EXPECT_FALSE(offThread);
  EXPECT_EQ(badCount, 0);
  EXPECT_TRUE(FShown.empty());
  // Close ends the thread's wait at once.
  const auto t0 = std::chrono::steady_clock::now();
  FComm->Close();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
}

TEST_P(PtyPortTest, QueuedWritesArriveInOrderAndEmptyIsReported) {
  int txEmpty = 0;
  FComm->OnTxEmpty = [&](TSerCustomComm*) { ++txEmpty; };
  FComm->Buffers().SetWriteSize(1024);
  // A busy machine may keep the reader away for a while: room in the queue
  // is waited for, not refused.
  FComm->Buffers().SetWriteTimeout(10000);
  FComm->Open();
  std::vector<std::uint8_t> want, got;
  std::atomic<bool> stop{false};
  std::thread far([&] {
    while (!stop) {
      auto part = FP.Drain();
      got.insert(got.end(), part.begin(), part.end());
      std::this_thread::sleep_for(1ms);
    }
  });
  // A failed assertion leaves the test early; the reader is still ended.
  struct TJoin {
    std::atomic<bool>& Stop;
    std::thread& Thread;
    ~TJoin() {
      Stop = true;
      if (Thread.joinable()) Thread.join();
    }
  } joinFar{stop, far};
  for (int block = 0; block < 200; ++block) {
    std::uint8_t b[300];
    for (int i = 0; i < 300; ++i) b[i] = static_cast<std::uint8_t>(block + i);
    ASSERT_EQ(FComm->WriteBuf(b, 300), 300);
    want.insert(want.end(), b, b + 300);
    Step(0ms);
  }
  ASSERT_TRUE(ServeUntil(
      [&] { return txEmpty > 0 && FComm->WriteQueueCount() == 0 && FSync.QueuedCount() == 0; }));
  ServeFor(50ms);
  stop = true;
  far.join();
  EXPECT_EQ(got, want);
  EXPECT_GE(txEmpty, 1);
  EXPECT_LE(txEmpty, 200);
}

TEST_P(PtyPortTest, AFullLineTimesOutAndCloseDropsTheRest) {
  int txEmpty = 0;
  FComm->OnTxEmpty = [&](TSerCustomComm*) { ++txEmpty; };
  FComm->Buffers().SetWriteSize(1024);
  FComm->Buffers().SetWriteTimeout(300);
  FComm->Open();
  // Nobody reads at the far end: the pty fills, then the queue.
  std::size_t accepted = 0;
  std::string error;
  std::vector<std::uint8_t> block(1000, 'x');
  double waitCpu = 0;
  for (int i = 0; i < 100 && error.empty(); ++i) {
    const double cpu0 = CpuSeconds();
    try {
      accepted += static_cast<std::size_t>(FComm->WriteBuf(block.data(), 1000));
    } catch (const ESerCommError& e) {
      error = e.what();
      waitCpu = CpuSeconds() - cpu0;
    }
  }
  EXPECT_EQ(error, "Output buffer is full. Please check comm status.");
  // The 300 ms wait for room sleeps; it does not burn a core.
  EXPECT_LT(waitCpu, 0.15);
  FComm->Close();
  const std::size_t arrived = FP.Drain().size();
  EXPECT_LT(arrived, accepted);  // what was still queued was dropped
  std::this_thread::sleep_for(20ms);
  EXPECT_TRUE(FP.Drain().empty());
  ServeFor(20ms);
  EXPECT_EQ(txEmpty, 0);
}

TEST_P(PtyPortTest, FarEndGoneReportsOnceNoSpinAndCloseWorks) {
  std::vector<int> errors;
  bool closed = false;
  FComm->OnError = [&](TSerCustomComm*, int e) { errors.push_back(e); };
  FComm->OnClose = [&](TSerCustomComm*) { closed = true; };
  FComm->OnRxChar = [&](TSerCustomComm* c, int n) {
    std::vector<char> b(static_cast<std::size_t>(n));
    c->ReadBuf(b.data(), n);
  };
  FComm->Open();
  FP.CloseMaster();
  ASSERT_TRUE(ServeUntil([&] { return !errors.empty(); }));
  // The write thread meets the same loss; still one report.
  EXPECT_EQ(FComm->WriteBuf("abc", 3), 3);
  const double cpu0 = CpuSeconds();
  ServeFor(1000ms);
  const double cpu = CpuSeconds() - cpu0;
  EXPECT_LT(cpu, 0.3) << "threads spin on a vanished device";
  EXPECT_EQ(errors, std::vector<int>{0x0400});
  FComm->Close();
  EXPECT_FALSE(FComm->Active());
  EXPECT_TRUE(closed);
}

}  // namespace
}  // namespace talmo
