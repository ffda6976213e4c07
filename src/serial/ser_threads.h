#pragma once
// The port component's worker threads and their write queue: used only by
// the component's own files (ser_comm.cpp, ser_threads.cpp). The threading
// contract they keep is written in serial/ser_comm.h.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "serial/ser_comm.h"

namespace talmo {

// The fixed-size write queue: `Count` bytes at the start of `Data`.
class TSerCommBuffer {
 public:
  explicit TSerCommBuffer(std::size_t capacity) : FData(capacity) {}
  // The caller has made sure that the bytes fit.
  void Append(const void* buf, std::size_t n);
  void Remove(std::size_t n);
  std::uint8_t* Data() { return FData.data(); }
  std::size_t Count() const { return FCount.load(); }

 private:
  std::vector<std::uint8_t> FData;
  // Read without the lock by the room test: only the write thread makes it
  // smaller, so a stale value can only be too large.
  std::atomic<std::size_t> FCount{0};
};

// What the two worker threads share: life cycle, the cancellable hand-off,
// the retry pause and the priority.
class TSerCommThread : public std::enable_shared_from_this<TSerCommThread> {
 public:
  virtual ~TSerCommThread();
  void Start(TThreadPriority priority);
  // Ends the thread's loop soon; cancels a hand-off it waits in. Does not
  // wait.
  virtual void Shutdown();
  bool Terminated() const { return FTerminated.load(); }
  void SetPriority(TThreadPriority priority) { FPriority.store(priority); }
  // True while the thread waits for a dispatch that is running right now
  // (on the GUI thread, below the caller).
  bool BlockedInRunningCall() const;
  void Join();
  void Detach();

  // A failed wait or write is tried again only after this pause.
  static constexpr int kRetryPauseMs = 100;

 protected:
  TSerCommThread(TSerCustomComm& owner, std::shared_ptr<TSerDriver> driver,
                 std::shared_ptr<TSerDevice> device, TSerSync& sync, TSerTiming timing);
  virtual void Execute() = 0;
  // Runs `fn` on the GUI thread and waits; false when cancelled.
  bool Synchronize(std::function<void()> fn);
  // Queues `fn` for the GUI thread and goes on; Shutdown cancels it while
  // it waits.
  void Queue(std::function<void()> fn);
  void Terminate() { FTerminated.store(true); }
  void ApplyPriority();
  // Ends early when Shutdown wakes the thread.
  void Pause(int ms);

  TSerCustomComm* const FOwner;
  // Kept by the thread, which may outlive a port destroyed in its handler.
  const std::shared_ptr<TSerDriver> FDriver;  // for the thread priority
  const std::shared_ptr<TSerDevice> FDevice;
  TSerSync& FSync;
  const TSerTiming FTiming;
  TSerWaitEvent FWaitEvent;  // also the wake-up signal of Shutdown
  bool FLossSeen = false;    // this thread has reported the device gone

 private:
  std::thread FThread;
  std::atomic<bool> FTerminated{false};
  mutable std::mutex FCallLock;
  std::shared_ptr<TSerSyncCall> FCall;
  std::vector<std::shared_ptr<TSerSyncCall>> FQueued;
  std::atomic<TThreadPriority> FPriority{tpNormal};
  TThreadPriority FApplied = tpNormal;
  bool FPriorityApplied = false;
};

class TSerCommEventThread final : public TSerCommThread {
 public:
  TSerCommEventThread(TSerCustomComm& owner, std::shared_ptr<TSerDriver> driver,
                      std::shared_ptr<TSerDevice> device, TSerSync& sync, TSerTiming timing)
      : TSerCommThread(owner, std::move(driver), std::move(device), sync, std::move(timing)) {}

 private:
  void Execute() override;
  std::uint32_t FEvtMask = 0;
  // The lines as the device saw them when it reported their change.
  std::optional<std::uint8_t> FEvtLines;
  // Set by the dispatch (GUI thread) while this thread waits for it.
  std::chrono::milliseconds FHold{0};
};

class TSerCommWriteThread final : public TSerCommThread {
 public:
  TSerCommWriteThread(TSerCustomComm& owner, std::shared_ptr<TSerDriver> driver,
                      std::shared_ptr<TSerDevice> device, TSerSync& sync, std::size_t capacity,
                      TSerTiming timing);
  // GUI thread. Waits for room at most `timeoutMs`, looking at least every
  // millisecond and sleeping in between; false when there was none in time.
  bool QueueWrite(const void* buf, std::size_t count, int timeoutMs);
  void Shutdown() override;
  std::size_t QueuedCount() const { return FBuffer.Count(); }

 private:
  void Execute() override;
  void FinishWrite(std::size_t n);

  const std::size_t FCapacity;
  TSerCommBuffer FBuffer;
  std::mutex FQueueLock;
  std::condition_variable FQueueCv;
  std::condition_variable FRoomCv;  // the writer has removed bytes
  bool FWriteRequest = false;
  bool FCloseRequest = false;
};

}  // namespace talmo
