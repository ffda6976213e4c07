// The built-in loopback port through the port component: what is sent comes
// back, every byte, in order.

#include "device/loopback_port.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <random>
#include <thread>

#include "device/device_driver.h"
#include "serial/ser_comm.h"
#include "serial/ser_sync.h"

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

TEST(LoopbackPort, TheProgramsPortIsMadeOnce) {
  EXPECT_EQ(&TLoopbackPort::Instance(), &TLoopbackPort::Instance());
  EXPECT_STREQ(TLoopbackPort::kName, "COM99");
}

}  // namespace
}  // namespace talmo
