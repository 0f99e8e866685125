// A copy under way, as other threads see it. SparseCopyFile reports each file's copy to it; the
// progress display reads how far the copy has got, and an interrupt stops it for good.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

class TCopyWatch {
 public:
  struct TState {
    std::uint64_t serial = 0;  // the copies begun so far: a new file tells itself apart by it
    bool running = false;
    std::string fileName;  // the source's path
    std::int64_t size = 0;
    std::int64_t done = 0;  // bytes of the source dealt with: copied, or passed over as holes
    std::chrono::steady_clock::time_point began;
  };
  TState State() const;

  // From another thread: stops the copy under way for good. Its workers stop, its destination
  // is cut to the bytes known to be copied, and its thread waits for the process to end; a
  // copy that had not begun never begins. Returns once no copy runs.
  void Interrupt();

  // Runs `start` as the first copy begins, on its thread: what watches copies (a progress
  // display, an interrupt handler) starts there, and not in a run that copies nothing.
  void BeforeFirstCopy(std::function<void()> start) { FBeforeFirstCopy = std::move(start); }

  // For the copy itself. Once the copy is interrupted, Begin and End wait for the process to
  // end instead of returning: nothing more of the run happens.
  void Begin(const std::string& fileName, std::int64_t size);
  void Advance(std::int64_t bytes) { FDone.fetch_add(bytes, std::memory_order_relaxed); }
  bool Interrupted() const { return FInterrupted.load(std::memory_order_relaxed); }
  void End();

 private:
  mutable std::mutex FMutex;
  std::condition_variable FEnded;
  TState FState;
  std::function<void()> FBeforeFirstCopy;
  std::atomic<std::int64_t> FDone{0};
  std::atomic<bool> FInterrupted{false};
};
