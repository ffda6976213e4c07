#include "serial/ser_sync.h"

#include <stdexcept>

namespace talmo {

void TSerSyncCall::Run() {
  {
    std::lock_guard lock(FLock);
    if (FState != TState::Pending) return;
    FState = TState::Running;
  }
  try {
    FFn();
  } catch (...) {
  }
  {
    std::lock_guard lock(FLock);
    FState = TState::Done;
    FFn = nullptr;
  }
  FCv.notify_all();
}

bool TSerSyncCall::Cancel() {
  {
    std::lock_guard lock(FLock);
    if (FState == TState::Running) return false;
    if (FState == TState::Pending) FState = TState::Cancelled;
  }
  FCv.notify_all();
  return true;
}

bool TSerSyncCall::Wait() {
  std::unique_lock lock(FLock);
  FCv.wait(lock, [this] { return FState == TState::Done || FState == TState::Cancelled; });
  return FState == TState::Done;
}

TSerSyncCall::TState TSerSyncCall::State() const {
  std::lock_guard lock(FLock);
  return FState;
}

void TSerQueueSync::Post(std::shared_ptr<TSerSyncCall> call) {
  {
    std::lock_guard lock(FLock);
    FQueue.push_back(std::move(call));
  }
  FCv.notify_all();
}

void TSerQueueSync::HandleException(std::exception_ptr e) noexcept {
  if (!FOnException) return;
  try {
    FOnException(e);
  } catch (...) {
  }
}

std::size_t TSerQueueSync::ProcessPending() {
  std::deque<std::shared_ptr<TSerSyncCall>> batch;
  {
    std::lock_guard lock(FLock);
    batch.swap(FQueue);
  }
  std::size_t ran = 0;
  for (auto& call : batch) {
    if (call->State() != TSerSyncCall::TState::Pending) continue;
    call->Run();
    ++ran;
  }
  return ran;
}

std::size_t TSerQueueSync::WaitAndProcess(std::chrono::milliseconds timeout) {
  {
    std::unique_lock lock(FLock);
    FCv.wait_for(lock, timeout, [this] { return !FQueue.empty(); });
  }
  return ProcessPending();
}

std::size_t TSerQueueSync::QueuedCount() const {
  std::lock_guard lock(FLock);
  return FQueue.size();
}

}  // namespace talmo
