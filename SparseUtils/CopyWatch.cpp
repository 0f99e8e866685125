#include "SparseUtils/CopyWatch.h"

#include <utility>

#include "platform/Platform.h"

TCopyWatch::TState TCopyWatch::State() const {
  const std::lock_guard<std::mutex> lock(FMutex);
  TState state = FState;
  state.done = FDone.load(std::memory_order_relaxed);
  return state;
}

void TCopyWatch::Interrupt() {
  std::unique_lock<std::mutex> lock(FMutex);
  FInterrupted = true;
  FEnded.wait(lock, [this] { return !FState.running; });
}

void TCopyWatch::Begin(const std::string& fileName, std::int64_t size) {
  if (FBeforeFirstCopy) std::exchange(FBeforeFirstCopy, nullptr)();
  {
    const std::lock_guard<std::mutex> lock(FMutex);
    if (!Interrupted()) {
      FState = {FState.serial + 1, true, fileName, size, 0, std::chrono::steady_clock::now()};
      FDone = 0;
      return;
    }
  }
  platform::AwaitProcessEnd();
}

void TCopyWatch::End() {
  {
    const std::lock_guard<std::mutex> lock(FMutex);
    FState.running = false;
  }
  FEnded.notify_all();
  if (Interrupted()) platform::AwaitProcessEnd();
}
