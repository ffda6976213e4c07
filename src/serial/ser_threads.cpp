// The event thread, the write thread and the small objects they use.

#include "serial/ser_threads.h"

#include <cstring>

namespace talmo {

TSerTiming TSerTiming::System() {
  return {[] { return std::chrono::steady_clock::now(); },
          [](std::chrono::milliseconds ms) { std::this_thread::sleep_for(ms); }, true,
          [](TSerWaitEvent& wake, std::chrono::milliseconds ms) {
            wake.WaitFor(static_cast<int>(ms.count()));
          }};
}

void TSerWaitEvent::SetEvent() {
  {
    std::lock_guard lock(FLock);
    FSignaled = true;
  }
  FCv.notify_all();
}

void TSerWaitEvent::ResetEvent() {
  std::lock_guard lock(FLock);
  FSignaled = false;
}

int TSerWaitEvent::WaitFor(int timeoutMs) {
  std::unique_lock lock(FLock);
  if (timeoutMs < 0) {
    FCv.wait(lock, [this] { return FSignaled; });
    return wrSignaled;
  }
  return FCv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return FSignaled; })
             ? wrSignaled
             : wrTimeout;
}

void TSerCommBuffer::Append(const void* buf, std::size_t n) {
  const std::size_t count = FCount.load();
  std::memcpy(FData.data() + count, buf, n);
  FCount.store(count + n);
}

void TSerCommBuffer::Remove(std::size_t n) {
  const std::size_t count = FCount.load();
  if (n > count) n = count;
  std::memmove(FData.data(), FData.data() + n, count - n);
  FCount.store(count - n);
}

// ---------------------------------------------------------------------------

TSerCommThread::TSerCommThread(TSerCustomComm& owner, std::shared_ptr<TSerDriver> driver,
                               std::shared_ptr<TSerDevice> device, TSerSync& sync,
                               TSerTiming timing)
    : FOwner(&owner),
      FDriver(std::move(driver)),
      FDevice(std::move(device)),
      FSync(sync),
      FTiming(std::move(timing)) {}

TSerCommThread::~TSerCommThread() {
  // Only a detached thread ends here without a join; it runs this
  // destructor itself.
  if (FThread.joinable()) FThread.detach();
}

void TSerCommThread::Start(TThreadPriority priority) {
  FPriority.store(priority);
  // The thread keeps itself alive, so that a thread detached by a port
  // destroyed from inside a dispatch still finds its own state.
  FThread = std::thread([self = shared_from_this()] { self->Execute(); });
}

void TSerCommThread::Shutdown() {
  std::vector<std::shared_ptr<TSerSyncCall>> calls;
  {
    std::lock_guard lock(FCallLock);
    FTerminated.store(true);
    calls.swap(FQueued);
    if (FCall) calls.push_back(FCall);
  }
  for (auto& call : calls) call->Cancel();
  FWaitEvent.SetEvent();
}

void TSerCommThread::Queue(std::function<void()> fn) {
  auto call = std::make_shared<TSerSyncCall>(std::move(fn));
  {
    std::lock_guard lock(FCallLock);
    if (FTerminated.load()) return;
    std::erase_if(FQueued, [](const std::shared_ptr<TSerSyncCall>& c) {
      const auto st = c->State();
      return st == TSerSyncCall::TState::Done || st == TSerSyncCall::TState::Cancelled;
    });
    FQueued.push_back(call);
  }
  FSync.Post(std::move(call));
}

bool TSerCommThread::BlockedInRunningCall() const {
  std::lock_guard lock(FCallLock);
  return FCall && FCall->State() == TSerSyncCall::TState::Running;
}

void TSerCommThread::Join() {
  if (FThread.joinable() && FThread.get_id() != std::this_thread::get_id()) FThread.join();
}

void TSerCommThread::Detach() {
  if (FThread.joinable()) FThread.detach();
}

bool TSerCommThread::Synchronize(std::function<void()> fn) {
  auto call = std::make_shared<TSerSyncCall>(std::move(fn));
  {
    // Registered under the same lock as Shutdown's flag, so a call is either
    // never posted or visible to Shutdown's cancel.
    std::lock_guard lock(FCallLock);
    if (FTerminated.load()) return false;
    FCall = call;
  }
  FSync.Post(call);
  const bool ran = call->Wait();
  std::lock_guard lock(FCallLock);
  FCall.reset();
  return ran;
}

void TSerCommThread::Pause(int ms) {
  if (FTiming.RetryPause)
    FTiming.RetryPause(FWaitEvent, std::chrono::milliseconds(ms));
  else
    FWaitEvent.WaitFor(ms);
}

void TSerCommThread::ApplyPriority() {
  const TThreadPriority wanted = FPriority.load();
  if (FPriorityApplied && wanted == FApplied) return;
  FDriver->ApplyThreadPriority(wanted);
  FApplied = wanted;
  FPriorityApplied = true;
}

// ---------------------------------------------------------------------------

void TSerCommEventThread::Execute() {
  while (!Terminated()) {
    ApplyPriority();
    std::uint32_t events = 0;
    const int err = FDevice->WaitEvent(events);
    if (Terminated()) break;
    if (err != 0) {
      // A vanished device answers every wait at once; without the pause
      // this loop would burn a core until the port is closed.
      if (IsDeviceGone(err) && !FLossSeen) {
        FLossSeen = true;
        Synchronize([port = FOwner] { port->DispatchDeviceLost(); });
      }
      Pause(kRetryPauseMs);
      continue;
    }
    if (events == 0) continue;
    FEvtMask = events;
    // Taken now: a pulse may be over before the dispatch runs, and its
    // handlers should still see it.
    FEvtLines.reset();
    if (events & (EV_CTS | EV_DSR | EV_RLSD | EV_RING)) FEvtLines = FDevice->ControlLines();
    FHold = std::chrono::milliseconds(0);
    Synchronize([this, port = FOwner] {
      const std::uint64_t before = port->FBytesRead;
      port->FDispatchLines = FEvtLines;
      port->DispatchEvents(FEvtMask);
      port->FDispatchLines.reset();
      FHold = port->RxHoldAfter(before);
    });
    // What arrives meanwhile waits in the device for the next dispatch.
    if (FHold.count() > 0 && !Terminated()) Pause(static_cast<int>(FHold.count()));
  }
}

// ---------------------------------------------------------------------------

TSerCommWriteThread::TSerCommWriteThread(TSerCustomComm& owner, std::shared_ptr<TSerDriver> driver,
                                         std::shared_ptr<TSerDevice> device, TSerSync& sync,
                                         std::size_t capacity, TSerTiming timing)
    : TSerCommThread(owner, std::move(driver), std::move(device), sync, std::move(timing)),
      FCapacity(capacity),
      FBuffer(capacity) {}

bool TSerCommWriteThread::QueueWrite(const void* buf, std::size_t count, int timeoutMs) {
  if (count + FBuffer.Count() > FCapacity) {
    const auto start = FTiming.Now();
    const auto limit = std::chrono::milliseconds(timeoutMs);
    const auto fits = [&] { return count + FBuffer.Count() <= FCapacity; };
    while (!fits()) {
      if (FTiming.Now() - start > limit) return false;
      if (FTiming.IsSystem) {
        std::unique_lock lock(FQueueLock);
        FRoomCv.wait_for(lock, std::chrono::milliseconds(1), fits);
      } else {
        FTiming.Sleep(std::chrono::milliseconds(1));
      }
    }
  }
  {
    std::lock_guard lock(FQueueLock);
    FBuffer.Append(buf, count);
    FWriteRequest = true;
  }
  FQueueCv.notify_all();
  return true;
}

void TSerCommWriteThread::Shutdown() {
  {
    std::lock_guard lock(FQueueLock);
    FCloseRequest = true;
  }
  FQueueCv.notify_all();
  TSerCommThread::Shutdown();
}

void TSerCommWriteThread::Execute() {
  while (!Terminated()) {
    ApplyPriority();
    std::size_t n = 0;
    const std::uint8_t* data = nullptr;
    {
      std::unique_lock lock(FQueueLock);
      FQueueCv.wait(lock, [this] { return FCloseRequest || FWriteRequest; });
      if (FCloseRequest) {
        Terminate();
        break;
      }
      // Bytes appended from now on go out in a later pass; Append writes
      // only behind these and Remove runs only after the write has ended.
      n = FBuffer.Count();
      data = FBuffer.Data();
    }
    std::size_t written = 0;
    const int err = n ? FDevice->Write(data, n, written, -1) : 0;
    if (Terminated()) break;
    if (err == 0) {
      FinishWrite(written);
      continue;
    }
    if (written) FinishWrite(written);
    if (IsDeviceGone(err)) {
      if (!FLossSeen) {
        FLossSeen = true;
        Synchronize([port = FOwner] { port->DispatchDeviceLost(); });
      }
    } else {
      Synchronize([port = FOwner] { port->DispatchThreadEvents(EV_ERR); });
    }
    // The bytes stay queued and are tried again, but not at once.
    Pause(kRetryPauseMs);
  }
}

void TSerCommWriteThread::FinishWrite(std::size_t n) {
  bool empty;
  {
    std::lock_guard lock(FQueueLock);
    FBuffer.Remove(n);
    empty = FBuffer.Count() == 0;
    if (empty) FWriteRequest = false;
  }
  FRoomCv.notify_all();
  // Not a blocking hand-off: the GUI thread may be waiting for room right
  // now, without serving its queue, and the next bytes must still go out.
  if (empty) Queue([port = FOwner] { port->DispatchThreadEvents(EV_TXEMPTY); });
}

}  // namespace talmo
