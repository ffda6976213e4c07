#pragma once
// A scripted device for the port tests: records what the component hands
// down, answers with what the test sets, and lets the test feed events and
// hold writes.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "serial/ser_device.h"
#include "serial/ser_sync.h"

namespace talmo::test {

struct FakeState {
  std::mutex Lock;
  std::condition_variable Cv;

  // What the component handed down.
  std::vector<TSerDCB> Dcbs;
  std::uint32_t SetupIn = 0, SetupOut = 0;
  std::uint32_t Mask = 0;
  std::vector<std::size_t> WriteCalls;  // size of each Write call
  std::vector<std::uint8_t> Sent;
  std::vector<TThreadPriority> Priorities;  // through the driver
  int WaitCalls = 0;
  bool Cancelled = false;
  bool Closed = false;

  // Answers.
  int SetStateError = 0;
  bool RefuseZeroRate = true;
  int SetupError = 0, TimeoutsError = 0, MaskError = 0;
  int ReadError = 0, ClearErrorError = 0;
  std::deque<int> WriteErrors;  // one per Write call, front first
  // One per Write call, front first, before WriteErrors: takes at most
  // `Take` bytes, then answers `Error`, as a tty does when the line fails
  // part way (Error set) or a time-out ends the write (Error 0).
  struct WriteAnswer {
    std::size_t Take;
    int Error;
  };
  std::deque<WriteAnswer> WriteAnswers;
  int GoneError = 0;           // WaitEvent and Write answer it for ever
  std::deque<int> WaitErrors;  // one per WaitEvent call: a passing failure
  // At most this many bytes per Read (0: no limit), as a device whose count
  // ran ahead of what it hands out.
  std::size_t ReadLimit = 0;
  std::deque<std::uint32_t> Events;
  int LastPopCall = 0;  // WaitCalls when the latest event was taken
  std::deque<std::uint8_t> Input;
  std::uint32_t PendingErrors = 0;
  // Modem lines: the calls as "DTR on", "RTS off", "break on"; what
  // SetModemLine and SetBreak answer; the lines the device reports.
  std::vector<std::string> LineCalls;
  int LineError = 0;
  std::uint8_t Lines = 0;
  bool HasLines = false;
  bool HoldWrites = false;  // Write blocks while set (until Cancel)
  bool InWrite = false;

  void PushEvent(std::uint32_t ev) {
    {
      std::lock_guard l(Lock);
      Events.push_back(ev);
    }
    Cv.notify_all();
  }
  void SetHold(bool hold) {
    {
      std::lock_guard l(Lock);
      HoldWrites = hold;
    }
    Cv.notify_all();
  }
  template <typename Pred>
  bool WaitFor(Pred pred, std::chrono::milliseconds limit = std::chrono::milliseconds(3000)) {
    std::unique_lock l(Lock);
    return Cv.wait_for(l, limit, [&] { return pred(*this); });
  }
};

class FakeDevice : public TSerDevice {
 public:
  explicit FakeDevice(std::shared_ptr<FakeState> s) : FS(std::move(s)) {}
  ~FakeDevice() override { Close(); }

  int SetState(const TSerDCB& dcb) override {
    std::lock_guard l(FS->Lock);
    if (FS->SetStateError) return FS->SetStateError;
    if (FS->RefuseZeroRate && dcb.BaudRate == 0) return EINVAL;
    FS->Dcbs.push_back(dcb);
    return 0;
  }
  int SetupBuffers(std::uint32_t in, std::uint32_t out) override {
    std::lock_guard l(FS->Lock);
    FS->SetupIn = in;
    FS->SetupOut = out;
    return FS->SetupError;
  }
  int SetTimeouts() override {
    std::lock_guard l(FS->Lock);
    return FS->TimeoutsError;
  }
  int SetEventMask(std::uint32_t mask) override {
    std::lock_guard l(FS->Lock);
    FS->Mask = mask;
    return FS->MaskError;
  }
  int WaitEvent(std::uint32_t& events) override {
    std::unique_lock l(FS->Lock);
    ++FS->WaitCalls;
    FS->Cv.notify_all();
    events = 0;
    if (FS->GoneError && !FS->Cancelled) return FS->GoneError;
    if (!FS->WaitErrors.empty() && !FS->Cancelled) {
      const int e = FS->WaitErrors.front();
      FS->WaitErrors.pop_front();
      return e;
    }
    FS->Cv.wait(l, [&] { return FS->Cancelled || !FS->Events.empty() || FS->GoneError; });
    if (FS->Cancelled) return 0;
    if (FS->Events.empty()) return FS->GoneError;
    events = FS->Events.front();
    FS->Events.pop_front();
    FS->LastPopCall = FS->WaitCalls;
    FS->Cv.notify_all();
    return 0;
  }
  int Read(void* buf, std::size_t count, std::size_t& got) override {
    std::lock_guard l(FS->Lock);
    got = 0;
    if (FS->ReadError) return FS->ReadError;
    auto* p = static_cast<std::uint8_t*>(buf);
    if (FS->ReadLimit) count = std::min(count, FS->ReadLimit);
    while (got < count && !FS->Input.empty()) {
      p[got++] = FS->Input.front();
      FS->Input.pop_front();
    }
    return 0;
  }
  int Write(const void* buf, std::size_t count, std::size_t& written, int) override {
    std::unique_lock l(FS->Lock);
    written = 0;
    FS->WriteCalls.push_back(count);
    FS->InWrite = true;
    FS->Cv.notify_all();
    FS->Cv.wait(l, [&] { return FS->Cancelled || !FS->HoldWrites; });
    FS->InWrite = false;
    FS->Cv.notify_all();
    if (FS->Cancelled) return 0;
    if (FS->GoneError) return FS->GoneError;
    auto* p = static_cast<const std::uint8_t*>(buf);
    if (!FS->WriteAnswers.empty()) {
      const FakeState::WriteAnswer a = FS->WriteAnswers.front();
      FS->WriteAnswers.pop_front();
      written = std::min(count, a.Take);
      FS->Sent.insert(FS->Sent.end(), p, p + written);
      FS->Cv.notify_all();
      return a.Error;
    }
    if (!FS->WriteErrors.empty()) {
      const int e = FS->WriteErrors.front();
      FS->WriteErrors.pop_front();
      if (e) return e;
    }
    FS->Sent.insert(FS->Sent.end(), p, p + count);
    written = count;
    FS->Cv.notify_all();
    return 0;
  }
  int ClearError(std::uint32_t& errors, TSerComStat& stat) override {
    std::lock_guard l(FS->Lock);
    if (FS->ClearErrorError) return FS->ClearErrorError;
    errors = FS->PendingErrors;
    FS->PendingErrors = 0;
    stat = TSerComStat{};
    stat.cbInQue = static_cast<std::uint32_t>(FS->Input.size());
    return 0;
  }
  int SetModemLine(std::uint8_t line, bool on) override {
    std::lock_guard l(FS->Lock);
    if (FS->LineError) return FS->LineError;
    FS->LineCalls.push_back(std::string(line == 0x10 ? "DTR" : "RTS") + (on ? " on" : " off"));
    return 0;
  }
  int SetBreak(bool on) override {
    std::lock_guard l(FS->Lock);
    if (FS->LineError) return FS->LineError;
    FS->LineCalls.push_back(on ? "break on" : "break off");
    return 0;
  }
  std::uint8_t ControlLines() const override {
    std::lock_guard l(FS->Lock);
    return FS->Lines;
  }
  bool HasModemLines() const override {
    std::lock_guard l(FS->Lock);
    return FS->HasLines;
  }
  void Cancel() override {
    {
      std::lock_guard l(FS->Lock);
      FS->Cancelled = true;
    }
    FS->Cv.notify_all();
  }
  void Close() override {
    {
      std::lock_guard l(FS->Lock);
      FS->Cancelled = true;
      FS->Closed = true;
    }
    FS->Cv.notify_all();
  }

 private:
  std::shared_ptr<FakeState> FS;
};

// Hands out one FakeState per open; the test keeps the last one.
class FakeDriver : public TSerDriver {
 public:
  std::unique_ptr<TSerDevice> Open(const std::string& name, int& error) override {
    std::lock_guard l(Lock);
    Names.push_back(name);
    error = 0;
    if (auto it = OpenErrors.find(name); it != OpenErrors.end()) {
      error = it->second;
      return nullptr;
    }
    Last = std::make_shared<FakeState>();
    if (Prepare) Prepare(*Last);
    return std::make_unique<FakeDevice>(Last);
  }
  // Recorded on the device opened last, where the tests look for it.
  void ApplyThreadPriority(TThreadPriority p) const override {
    std::shared_ptr<FakeState> s;
    {
      std::lock_guard l(Lock);
      s = Last;
    }
    if (!s) return;
    std::lock_guard l(s->Lock);
    s->Priorities.push_back(p);
  }
  mutable std::mutex Lock;
  std::vector<std::string> Names;
  std::map<std::string, int> OpenErrors;
  std::function<void(FakeState&)> Prepare;
  std::shared_ptr<FakeState> Last;
};

// Serves the hand-off on the calling thread until `pred` holds.
template <typename Pred>
bool PumpUntil(TSerQueueSync& sync, Pred pred,
               std::chrono::milliseconds limit = std::chrono::milliseconds(3000)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    sync.WaitAndProcess(std::chrono::milliseconds(5));
  }
  return true;
}

// Serves the hand-off for a while, whatever comes.
inline void PumpFor(TSerQueueSync& sync, std::chrono::milliseconds d) {
  const auto end = std::chrono::steady_clock::now() + d;
  while (std::chrono::steady_clock::now() < end) sync.WaitAndProcess(std::chrono::milliseconds(5));
}

}  // namespace talmo::test
