// The progress of a long copy, shown where it changes no byte of the program's output: the
// console's or the terminal's title (platform::TProgressTitle). From one second after a file's
// copy began, at most four times a second, until the file ends; then the title is put back.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "SparseUtils/CopyWatch.h"
#include "platform/Platform.h"

// The title's text: "37% 12.3 GiB / 33.0 GiB  210.5 MiB/s  残り 1:40  disk.vhd".
std::string ProgressText(const TCopyWatch::TState& state,
                         std::chrono::steady_clock::duration taken);

class TProgressDisplay {
 public:
  explicit TProgressDisplay(const TCopyWatch& watch) : FWatch(watch) {}
  // Watches on a thread of its own from now on.
  void Start();
  ~TProgressDisplay();

  TProgressDisplay(const TProgressDisplay&) = delete;
  TProgressDisplay& operator=(const TProgressDisplay&) = delete;

  // Puts the title back now, from any thread: the run ends, or is interrupted. Gives up after
  // a while should the display be stuck (a fault on its own thread), rather than never end.
  void PutTitleBack();

 private:
  void Watch();
  void Update(const TCopyWatch::TState& state);

  const TCopyWatch& FWatch;
  std::mutex FMutex;
  std::condition_variable FWake;
  bool FStopping = false;
  std::uint64_t FShownSerial = 0;
  platform::TProgressTitle FTitle;
  std::thread FThread;
};
