#pragma once
// The hand-off from a worker thread to the GUI thread (the blocking
// Synchronize of a thread class) and the application's exception handler,
// as an interface the port receives. A GUI posts the call into its event
// loop; TSerQueueSync is a queue that its owner thread pumps (tests, CLI).
//
// The pending request is cancellable: a GUI thread that shuts a worker down
// cancels the call the worker waits on, and so can join the worker without
// serving its own queue first.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace talmo {

class TSerSyncCall {
 public:
  enum class TState { Pending, Running, Done, Cancelled };

  explicit TSerSyncCall(std::function<void()> fn) : FFn(std::move(fn)) {}

  // GUI thread: runs the call unless it was cancelled. The function is
  // expected to handle its own exceptions; one that escapes is swallowed
  // here so that the waiting worker is always released.
  void Run();
  // Any thread: a pending call will never run; its waiter is released.
  // A running call cannot be cancelled (returns false).
  bool Cancel();
  // Worker: blocks until the call has run (true) or was cancelled (false).
  bool Wait();
  TState State() const;

 private:
  mutable std::mutex FLock;
  std::condition_variable FCv;
  TState FState = TState::Pending;
  std::function<void()> FFn;
};

class TSerSync {
 public:
  virtual ~TSerSync() = default;
  // Any thread: queue the call for the GUI thread. Must not block and must
  // not run the call on the calling thread.
  virtual void Post(std::shared_ptr<TSerSyncCall> call) = 0;
  // GUI thread: show an exception that a handler raised.
  virtual void HandleException(std::exception_ptr e) noexcept = 0;
};

// A hand-off whose queue the owning thread pumps by itself.
class TSerQueueSync : public TSerSync {
 public:
  using TExceptionHandler = std::function<void(std::exception_ptr)>;

  explicit TSerQueueSync(TExceptionHandler onException = {})
      : FOnException(std::move(onException)) {}

  void Post(std::shared_ptr<TSerSyncCall> call) override;
  void HandleException(std::exception_ptr e) noexcept override;

  // Runs every call queued now; returns how many ran (cancelled ones
  // are dropped and not counted).
  std::size_t ProcessPending();
  // Waits up to `timeout` for a call, then runs what is queued.
  std::size_t WaitAndProcess(std::chrono::milliseconds timeout);
  std::size_t QueuedCount() const;

 private:
  mutable std::mutex FLock;
  std::condition_variable FCv;
  std::deque<std::shared_ptr<TSerSyncCall>> FQueue;
  TExceptionHandler FOnException;
};

}  // namespace talmo
