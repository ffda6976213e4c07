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

#include "fault_kit.h"
#include "mainwindow/main_window.h"
#include "mainwindow/radio_group.h"
#include "platform/posix_device.h"
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
    Comm->SetBaudrate(br115200);
    Comm->SetTiming(faults::QuickTiming());
    Comm->SetDeviceName(Far.Path);
    Comm->Buffers().SetWriteSize(16 * 1024);
    Comm->Buffers().SetWriteTimeout(200);
    Comm->OnRxChar = [](TSerCustomComm* c, int n) {
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
        accepted += static_cast<std::size_t>(Comm->WriteBuf(block.data(), 1000));
      } catch (const ESerCommError& e) {
        EXPECT_EQ(std::string(e.what()), "Output buffer is full. Please check comm status.");
        return accepted;
      }
      Sync.ProcessPending();
    }
    ADD_FAILURE() << "the queue never filled";
    return accepted;
  }

  // Everything the far end receives within `seconds`.
  std::string Collect(double seconds) {
    std::string got;
    const double end = WallSeconds() + seconds;
    while (WallSeconds() < end) {
      got += Far.Drain();
      Sync.ProcessPending();
      std::this_thread::sleep_for(5ms);
    }
    return got + Far.Drain();
  }

  TFarEnd Far;
  std::vector<std::string> Shown;
  TSerQueueSync Sync{[this](std::exception_ptr e) {
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& x) {
      Shown.push_back(x.what());
    }
  }};
  std::unique_ptr<TSerComm> Comm =
      std::make_unique<TSerComm>(std::make_shared<TSerPosixDriver>(), Sync);
};

TEST_F(QueuedClose, CloseDropsTheQueueAndSendsNothingAfter) {
  Comm->Open();
  const std::size_t accepted = FillQueue();
  // The writer frees room only once a whole pass is out, so the queue
  // holds at most its own size however much the line took before it stalled.
  ASSERT_GE(accepted, 15u * 1024) << "the queue should be full";

  const double t0 = WallSeconds();
  Comm->Close();
  EXPECT_LT(WallSeconds() - t0, kCloseLimit) << "Close hangs on a writer that waits for room";
  EXPECT_FALSE(Comm->Active());

  const std::string got = Collect(0.3);
  EXPECT_GT(got.size(), 0u) << "the line took nothing before it stalled";
  EXPECT_LT(got.size(), accepted) << "the stalled line cannot have taken everything";
  EXPECT_EQ(got, Pattern(0, got.size())) << "a byte was lost or changed on the way out";
  EXPECT_TRUE(Collect(0.5).empty()) << "bytes went out after Close";
  EXPECT_EQ(Comm->WriteBuf("late", 4), 0) << "a closed port takes no bytes";
  EXPECT_TRUE(Collect(0.2).empty());
  EXPECT_TRUE(Shown.empty()) << ::testing::PrintToString(Shown);

  // The next session starts with an empty queue: nothing of the old one
  // leaks onto the line.
  Comm->Open();
  EXPECT_EQ(Comm->WriteBuf("fresh", 5), 5);
  std::string after;
  const double end = WallSeconds() + 3;
  while (after.size() < 5 && WallSeconds() < end) after += Collect(0.05);
  after += Collect(0.3);
  EXPECT_EQ(after, "fresh");
  Comm->Close();
}

TEST_F(QueuedClose, DestroyingTheOpenPortWithAFullQueue) {
  Comm->Open();
  const std::size_t accepted = FillQueue();
  const double t0 = WallSeconds();
  Comm.reset();
  EXPECT_LT(WallSeconds() - t0, kCloseLimit);
  const std::string got = Collect(0.3);
  EXPECT_LE(got.size(), accepted);
  EXPECT_EQ(got, Pattern(0, got.size()));
  EXPECT_TRUE(Collect(0.5).empty()) << "a writer outlived its port";
  Sync.ProcessPending();  // dispatches queued for the gone port must not run
}

TEST_F(QueuedClose, CloseWhileTheLineIsDrainingStopsTheFlow) {
  // A far end that reads all the time: Close lands in the middle of writes.
  std::atomic<bool> stop{false};
  std::atomic<std::size_t> total{0};
  std::string got;
  std::thread reader([&] {
    while (!stop) {
      const std::string part = Far.Drain();
      got += part;
      total += part.size();
      std::this_thread::sleep_for(1ms);
    }
  });
  Comm->Open();
  std::size_t queued = 0;
  const double end = WallSeconds() + 0.5;
  while (WallSeconds() < end) {
    const std::string block = Pattern(queued, 4000);
    try {
      queued += static_cast<std::size_t>(Comm->WriteBuf(block.data(), 4000));
    } catch (const ESerCommError&) {
      // Full for a moment: the reader is slower than the loop.
    }
    Sync.ProcessPending();
  }
  Comm->Close();
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
    env.SettingsPath = Scratch.Path + "/TALMO.reg";
    env.Dialogs = Dialogs;
    env.Delay = [](int) {};
    env.PortTiming = faults::QuickTiming();
    const std::string path = Far.Path;
    env.Driver = std::make_shared<TSerPosixDriver>([path](const std::string&) { return path; });
    env.PortList = [path] { return std::vector<TPortEntry>{{"COM3", path, ""}}; };
    Window = std::make_unique<TfoMain>(env);
    Window->show();
    const double end = WallSeconds() + 5;
    while (!Window->Activated() && WallSeconds() < end) RunLoop(0.02);
    ASSERT_TRUE(Window->Activated());
    Window->raPort->SetItemIndex(0);
    Window->buOpen->click();
    ASSERT_TRUE(Window->Comm1().Active());
    for (int i = 0; i < 1000; ++i) {
      Typed += static_cast<char>('a' + i % 26);
      Window->meDataKeyPress(static_cast<std::uint8_t>(Typed.back()));
    }
  }
  void TearDown() override { Window.reset(); }

  // Transmit until the queue refuses (the line takes nothing: nobody reads).
  int TransmitUntilFull() {
    int sent = 0;
    while (Dialogs->errors.empty() && sent < 100) {
      Window->buTransmit->click();
      if (Dialogs->errors.empty()) ++sent;
      RunLoop(0.001);
    }
    EXPECT_EQ(Dialogs->errors,
              std::vector<std::string>{"Output buffer is full. Please check comm status."});
    return sent;
  }

  std::string Collect(double seconds) {
    std::string got;
    const double end = WallSeconds() + seconds;
    while (WallSeconds() < end) {
      got += Far.Drain();
      RunLoop(0.005);
    }
    return got + Far.Drain();
  }

  std::string Stream(std::size_t n) const {
    std::string s;
    while (s.size() < n) s += Typed;
    return s.substr(0, n);
  }

  faults::TScratchDir Scratch;
  TFarEnd Far;
  std::shared_ptr<QuietDialogs> Dialogs = std::make_shared<QuietDialogs>();
  std::unique_ptr<TfoMain> Window;
  std::string Typed;
};

TEST_F(WindowQueuedClose, ClosePortWithAFullQueue) {
  const int sent = TransmitUntilFull();
  ASSERT_GT(sent, 5);
  const double t0 = WallSeconds();
  Window->buClose->click();
  EXPECT_LT(WallSeconds() - t0, kCloseLimit);
  EXPECT_FALSE(Window->Comm1().Active());
  const std::string got = Collect(0.3);
  EXPECT_LE(got.size(), Typed.size() * static_cast<std::size_t>(sent));
  EXPECT_EQ(got, Stream(got.size()));
  EXPECT_TRUE(Collect(0.5).empty()) << "bytes went out after Close Port";
  Window->buTransmit->click();  // closed: sends nothing, keeps the line
  EXPECT_TRUE(Collect(0.2).empty());
  EXPECT_EQ(Dialogs->messages, std::vector<std::string>{}) << "Close fail?";
}

TEST_F(WindowQueuedClose, ClosingTheWindowWithAFullQueue) {
  TransmitUntilFull();
  const double t0 = WallSeconds();
  EXPECT_TRUE(Window->close());
  Window.reset();
  EXPECT_LT(WallSeconds() - t0, kCloseLimit);
  const std::string got = Collect(0.3);
  EXPECT_EQ(got, Stream(got.size()));
  EXPECT_TRUE(Collect(0.5).empty()) << "bytes went out after the window was gone";
}

}  // namespace
}  // namespace talmo
