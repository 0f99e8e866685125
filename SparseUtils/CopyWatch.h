// A copy under way, as the rest of the run sees it. SparseCopyFile reports each file's copy to
// it, and the copy's own threads show how far it has got (platform::TProgressDisplay): in the
// title, and in a status line on standard error where that is a console, from a second after
// the file's copy began, at most four times a second, until it ends. At its end the line is gone
// before anything else is printed. An interrupt stops the copy for good; it waits at the watch's
// gate until no act of the run (a destination written, a line printed) is under way, and after
// it no act begins.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
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

  // An act of the run's main thread on the world, which an interrupt waits for. Once the run has
  // been interrupted, none begins: the thread waits for the process to end instead. Acts never
  // nest.
  class TAct {
   public:
    explicit TAct(TCopyWatch& watch);
    TAct(const TAct&) = delete;
    TAct& operator=(const TAct&) = delete;

   private:
    std::unique_lock<std::mutex> FGate;
  };

  // The copy of one file, from its beginning to its end (an error's too): its progress, and
  // the display put back at its end, the status line kept and ended where the copy was
  // interrupted.
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

  // From the copy's threads: `bytes` more are dealt with. Shows the progress when it is due, on
  // the thread that finds it due; the other goes on meanwhile.
  void Advance(std::int64_t bytes);

  // A fault report puts the display back first: this takes no lock and allocates nothing.
  void PutProgressBackAtFault();

 private:
  void ShowProgress(std::chrono::steady_clock::time_point now);
  void PutProgressBack();

  std::mutex FGate;
  std::atomic<bool> FInterrupted{false};
  std::function<void()> FBeforeFirstCopy;

  // The copy under way, set as it begins, before its workers start.
  TState FCopy;
  std::chrono::steady_clock::time_point FBegan;
  std::atomic<std::int64_t> FDone{0};
  std::atomic<std::chrono::steady_clock::rep> FNextShow{0};
  std::mutex FShowing;
  bool FDisplayAsked = false;
  std::atomic<std::intptr_t> FDisplay{0};  // a platform::TProgressDisplay
};

// What a display shows: the title, "37% 12.3 GiB / 33.0 GiB  210.5 MiB/s  残り 1:40  disk.vhd",
// and, where `columns` are given, the status line in at most that many display columns, none of
// it a control character: "37% [#######.............] 12.3 GiB / 33.0 GiB  210.5 MiB/s  残り 1:40
// disk.vhd". The name is shortened in its middle where it does not fit, the bar is left out where
// it does not fit with the whole name, and what still does not fit is cut off.
struct TProgressTexts {
  std::string title;
  std::string line;
  std::size_t lineColumns = 0;
};
TProgressTexts ProgressTexts(const TCopyWatch::TState& state,
                             std::chrono::steady_clock::duration taken, std::size_t columns);
