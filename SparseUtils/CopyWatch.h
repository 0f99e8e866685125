// A copy under way, as the rest of the run sees it. SparseCopyFile reports each file's copy to
// it, and the copy's own threads show how far it has got in the console's or the terminal's
// title (platform::TProgressTitle): from a second after the file's copy began, at most four
// times a second, until it ends. An interrupt stops the copy for good; it waits at the watch's
// gate until no act of the run (a destination written, a line printed) is under way, and after
// it no act begins.
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
    std::string fileName;  // the source's path
    std::int64_t size = 0;
    std::int64_t done = 0;  // bytes of the source dealt with: copied, or passed over as holes
  };

  // An act of the run's main thread on the world. It holds an interrupt off until it ends;
  // once the run has been interrupted, none begins: the thread waits for the process to end
  // instead. An act begun inside another one always runs.
  class TAct {
   public:
    explicit TAct(TCopyWatch& watch);
    ~TAct();
    TAct(const TAct&) = delete;
    TAct& operator=(const TAct&) = delete;

   private:
    TCopyWatch& FWatch;
  };

  // The copy of one file, from its beginning to its end (an error's too): its progress, and
  // the title put back at its end.
  class TCopying {
   public:
    TCopying(TCopyWatch& watch, const std::string& fileName, std::int64_t size);
    ~TCopying();
    TCopying(const TCopying&) = delete;
    TCopying& operator=(const TCopying&) = delete;

   private:
    TCopyWatch& FWatch;
  };

  // From another thread: stops the copy under way for good, and returns once no act is under
  // way. The copy's workers see it in Interrupted() and stop.
  void Interrupt();
  bool Interrupted() const { return FInterrupted.load(std::memory_order_relaxed); }

  // Runs `start` as the first copy begins: what only a copy needs (an interrupt handler)
  // starts there, and not in a run that copies nothing.
  void BeforeFirstCopy(std::function<void()> start) { FBeforeFirstCopy = std::move(start); }

  // From the copy's threads: `bytes` more are dealt with. Shows the progress when it is due.
  void Advance(std::int64_t bytes);

  // A fault report puts the title back: this takes no lock and allocates nothing.
  void PutTitleBackAtFault();

 private:
  void ShowProgress(std::chrono::steady_clock::time_point now);
  void PutTitleBack();

  std::mutex FActs;
  std::condition_variable FActEnded;
  int FActDepth = 0;
  std::atomic<bool> FInterrupted{false};
  std::function<void()> FBeforeFirstCopy;

  // The copy under way, set as it begins, before its workers start.
  TState FCopy;
  std::chrono::steady_clock::time_point FBegan;
  std::atomic<std::int64_t> FDone{0};
  std::atomic<std::chrono::steady_clock::rep> FNextShow{0};
  std::mutex FShowing;
  bool FTitleAsked = false;
  std::atomic<std::intptr_t> FTitle{0};  // a platform::TProgressTitle
};

// The title's text: "37% 12.3 GiB / 33.0 GiB  210.5 MiB/s  残り 1:40  disk.vhd".
std::string ProgressText(const TCopyWatch::TState& state,
                         std::chrono::steady_clock::duration taken);
