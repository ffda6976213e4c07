// Closing a port (or dropping it with its window) while its write queue is
// full and the writer waits on a line that takes nothing more: no hang, no
// crash, the bytes that did go out are an unchanged prefix of those queued,
// and nothing at all goes out once Close has returned, not even after the
// port is opened again.

#include <gtest/gtest.h>
#include <QApplication>
#include <QEventLoop>
#include <QPushButton>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device/device_driver.h"
#include "fault_kit.h"
#include "mainwindow/main_window.h"
#include "mainwindow/radio_group.h"
#include "serial/ser_comm.h"
#include "serial/ser_sync.h"
#include "window_kit.h"

namespace talmo {
namespace {

using namespace std::chrono_literals;
using faults::Pattern;
using faults::TFarEnd;
using faults::WallSeconds;

constexpr double kCloseLimit = 2.0;  // the tests leave out Close's own pause (QuickTiming)

// ---- The port component --------------------------------------------------

class QueuedClose : public ::testing::Test {
 protected:
  void SetUp() override {
    FComm->SetBaudrate(br115200);
    FComm->SetTiming(faults::QuickTiming());
    FComm->SetDeviceName(FFar.Path);
    FComm->Buffers().SetWriteSize(16 * 1024);
    FComm->Buffers().SetWriteTimeout(200);
    FComm->OnRxChar = [](TSerCustomComm* c, int n) {
      std::string b(static_cast<std::size_t>(n), '\0');
      c->ReadBuf(b.data(), n);
    };
  }

  // Queues numbered bytes until the queue refuses; returns how many it took.
  std::size_t FillQueue() {
    std::size_t accepted = 0;
    for (int i = 0; i < 1000; ++i) {
      const std::string block = Pattern(accepted, 1000);
      try {
        accepted += static_cast<std::size_t>(FComm->WriteBuf(block.data(), 1000));
      } catch (const ESerCommError& e) {
        EXPECT_EQ(std::string(e.what()), "Output buffer is full. Please check comm status.");
        return accepted;
      }
      FSync.ProcessPending();
    }
    ADD_FAILURE() << "the queue never filled";
    return accepted;
  }

  // Everything the far end receives within `seconds`.
  std::string Collect(double seconds) {
    std::string got;
    const double end = WallSeconds() + seconds;
    while (WallSeconds() < end) {
      got += FFar.Drain();
      FSync.ProcessPending();
      std::this_thread::sleep_for(5ms);
    }
    return got + FFar.Drain();
  }

  TFarEnd FFar;
  std::vector<std::string> FShown;
  TSerQueueSync FSync{[this](std::exception_ptr e) {
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& x) {
      FShown.push_back(x.what());
    }
  }};
  std::unique_ptr<TSerComm> FComm =
      std::make_unique<TSerComm>(std::make_shared<TSerDeviceDriver>(), FSync);
};

TEST_F(QueuedClose, CloseDropsTheQueueAndSendsNothingAfter) {
  FComm->Open();
  const std::size_t accepted = FillQueue();
  // The writer frees room only once a whole pass is out, so the queue
  // holds at most its own size however much the line took before it stalled.
  ASSERT_GE(accepted, 15u * 1024) << "the queue should be full";

  const double t0 = WallSeconds();
  FComm->Close();
  EXPECT_LT(WallSeconds() - t0, kCloseLimit) << "Close hangs on a writer that waits for room";
  EXPECT_FALSE(FComm->Active());

  const std::string got = Collect(0.3);
  EXPECT_GT(got.size(), 0u) << "the line took nothing before it stalled";
  EXPECT_LT(got.size(), accepted) << "the stalled line cannot have taken everything";
  EXPECT_EQ(got, Pattern(0, got.size())) << "a byte was lost or changed on the way out";
  EXPECT_TRUE(Collect(0.5).empty()) << "bytes went out after Close";
  EXPECT_EQ(FComm->WriteBuf("late", 4), 0) << "a closed port takes no bytes";
  EXPECT_TRUE(Collect(0.2).empty());
  EXPECT_TRUE(FShown.empty()) << ::testing::PrintToString(FShown);

  // The next session starts with an empty queue: nothing of the old one
  // leaks onto the line.
  FComm->Open();
  EXPECT_EQ(FComm->WriteBuf("fresh", 5), 5);
  std::string after;
  const double end = WallSeconds() + 3;
  while (after.size() < 5 && WallSeconds() < end) after += Collect(0.05);
  after += Collect(0.3);
  EXPECT_EQ(after, "fresh");
  FComm->Close();
}

TEST_F(QueuedClose, DestroyingTheOpenPortWithAFullQueue) {
  FComm->Open();
  const std::size_t accepted = FillQueue();
  const double t0 = WallSeconds();
  FComm.reset();
  EXPECT_LT(WallSeconds() - t0, kCloseLimit);
  const std::string got = Collect(0.3);
  EXPECT_LE(got.size(), accepted);
  EXPECT_EQ(got, Pattern(0, got.size()));
  EXPECT_TRUE(Collect(0.5).empty()) << "a writer outlived its port";
  FSync.ProcessPending();  // dispatches queued for the gone port must not run
}

TEST_F(QueuedClose, CloseWhileTheLineIsDrainingStopsTheFlow) {
  // A far end that reads all the time: Close lands in the middle of writes.
  std::atomic<bool> stop{false};
  std::atomic<std::size_t> total{0};
  std::string got;
  std::thread reader([&] {
    while (!stop) {
      const std::string part = FFar.Drain();
      got += part;
      total += part.size();
      std::this_thread::sleep_for(1ms);
    }
  });
  FComm->Open();
  std::size_t queued = 0;
  const double end = WallSeconds() + 0.5;
  while (WallSeconds() < end) {
    const std::string block = Pattern(queued, 4000);
    try {
      queued += static_cast<std::size_t>(FComm->WriteBuf(block.data(), 4000));
    } catch (const ESerCommError&) {
      // Full for a moment: the reader is slower than the loop.
    }
    FSync.ProcessPending();
  }
  FComm->Close();
  std::this_thread::sleep_for(100ms);
  const std::size_t atClose = total;
  std::this_thread::sleep_for(500ms);
  stop = true;
  reader.join();
  EXPECT_EQ(total.load(), atClose) << "bytes went out after Close";
  EXPECT_LE(got.size(), queued);
  EXPECT_GT(got.size(), 0u);
  EXPECT_EQ(got, Pattern(0, got.size())) << "a byte was lost or changed on the way out";
}

// ---- Through the main window -----------------------------------------------

using faults::QuietDialogs;
using faults::RunLoop;

class WindowQueuedClose : public ::testing::Test {
 protected:
  void SetUp() override {
    TMainEnvironment env;
    env.SettingsPath = FScratch.Path + "/TALMO.reg";
    env.Dialogs = FDialogs;
    env.Delay = [](int) {};
    env.PortTiming = faults::QuickTiming();
    const std::string path = FFar.Path;
    env.Driver = std::make_shared<TSerDeviceDriver>([path](const std::string&) { return path; });
    env.PortList = [path] { return std::vector<TPortEntry>{{"COM3", path, ""}}; };
    FWindow = std::make_unique<TfoMain>(env);
    FWindow->show();
    const double end = WallSeconds() + 5;
    while (!FWindow->Activated() && WallSeconds() < end) RunLoop(0.02);
    ASSERT_TRUE(FWindow->Activated());
    FWindow->raPort->SetItemIndex(0);
    FWindow->buOpen->click();
    ASSERT_TRUE(FWindow->Comm1().Active());
    for (int i = 0; i < 1000; ++i) {
      FTyped += static_cast<char>('a' + i % 26);
      FWindow->meDataKeyPress(static_cast<std::uint8_t>(FTyped.back()));
    }
  }
  void TearDown() override { FWindow.reset(); }

  // Transmit until the queue refuses (the line takes nothing: nobody reads).
  int TransmitUntilFull() {
    int sent = 0;
    while (FDialogs->errors.empty() && sent < 100) {
      FWindow->buTransmit->click();
      if (FDialogs->errors.empty()) ++sent;
      RunLoop(0.001);
    }
    EXPECT_EQ(FDialogs->errors,
              std::vector<std::string>{"Output buffer is full. Please check comm status."});
    return sent;
  }

  std::string Collect(double seconds) {
    std::string got;
    const double end = WallSeconds() + seconds;
    while (WallSeconds() < end) {
      got += FFar.Drain();
      RunLoop(0.005);
    }
    return got + FFar.Drain();
  }

  std::string Stream(std::size_t n) const {
    std::string s;
    while (s.size() < n) s += FTyped;
    return s.substr(0, n);
  }

  faults::TScratchDir FScratch;
  TFarEnd FFar;
  std::shared_ptr<QuietDialogs> FDialogs = std::make_shared<QuietDialogs>();
  std::unique_ptr<TfoMain> FWindow;
  std::string FTyped;
};

TEST_F(WindowQueuedClose, ClosePortWithAFullQueue) {
  const int sent = TransmitUntilFull();
  ASSERT_GT(sent, 5);
  const double t0 = WallSeconds();
  FWindow->buClose->click();
  EXPECT_LT(WallSeconds() - t0, kCloseLimit);
  EXPECT_FALSE(FWindow->Comm1().Active());
  const std::string got = Collect(0.3);
  EXPECT_LE(got.size(), FTyped.size() * static_cast<std::size_t>(sent));
  EXPECT_EQ(got, Stream(got.size()));
  EXPECT_TRUE(Collect(0.5).empty()) << "bytes went out after Close Port";
  FWindow->buTransmit->click();  // closed: sends nothing, keeps the line
  EXPECT_TRUE(Collect(0.2).empty());
  EXPECT_EQ(FDialogs->messages, std::vector<std::string>{}) << "Close fail?";
}

TEST_F(WindowQueuedClose, ClosingTheWindowWithAFullQueue) {
  TransmitUntilFull();
  const double t0 = WallSeconds();
  EXPECT_TRUE(FWindow->close());
  FWindow.reset();
  EXPECT_LT(WallSeconds() - t0, kCloseLimit);
  const std::string got = Collect(0.3);
  EXPECT_EQ(got, Stream(got.size()));
  EXPECT_TRUE(Collect(0.5).empty()) << "bytes went out after the window was gone";
}

}  // namespace
}  // namespace talmo
