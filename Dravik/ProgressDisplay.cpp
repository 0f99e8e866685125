#include "Dravik/ProgressDisplay.h"

#include <cstdio>
#include <future>

#include "SparseUtils/Paths.h"
#include "SparseUtils/ProgramTexts.h"

namespace {

using TClock = std::chrono::steady_clock;

constexpr auto kFirstUpdate = std::chrono::seconds(1);
constexpr auto kUpdateInterval = std::chrono::milliseconds(250);

// "512 B", "12.3 GiB": powers of 1024, one decimal from KiB up.
std::string ByteAmount(double bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  std::size_t unit = 0;
  while (bytes >= 1024 && unit + 1 < std::size(kUnits)) {
    bytes /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, kUnits[unit]);
  return text;
}

// "1:40", "2:03:07".
std::string Duration(std::int64_t seconds) {
  char text[32];
  if (seconds >= 3600) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
  }
  return text;
}

int Percent(const TCopyWatch::TState& state) {
  return static_cast<int>(static_cast<double>(state.done) * 100 / static_cast<double>(state.size));
}

}  // namespace

std::string ProgressText(const TCopyWatch::TState& state, TClock::duration taken) {
  const double seconds = std::chrono::duration<double>(taken).count();
  const double rate = seconds > 0 ? static_cast<double>(state.done) / seconds : 0;
  std::string text = std::to_string(Percent(state)) + "% " + ByteAmount(state.done) + " / " +
                     ByteAmount(state.size) + "  " + ByteAmount(rate) + "/s  ";
  if (rate >= 1) {
    const auto left =
        static_cast<std::int64_t>(static_cast<double>(state.size - state.done) / rate);
    text += std::string(texts::kProgressLeft) + " " + Duration(left) + "  ";
  }
  return text += NamePart(state.fileName);
}

// Returns once the thread runs: one still starting when the process ends makes Wine complain.
void TProgressDisplay::Start() {
  std::promise<void> running;
  FThread = std::thread([this, &running] {
    running.set_value();
    Watch();
  });
  running.get_future().wait();
}

TProgressDisplay::~TProgressDisplay() {
  {
    const std::lock_guard<std::mutex> lock(FMutex);
    FStopping = true;
  }
  FWake.notify_all();
  if (FThread.joinable()) FThread.join();
  PutTitleBack();
}

void TProgressDisplay::PutTitleBack() {
  std::unique_lock<std::mutex> lock(FMutex, std::defer_lock);
  for (int attempt = 0; !lock.try_lock(); ++attempt) {  // a second at most
    if (attempt == 100) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (FTitle.open) platform::CloseProgressTitle(FTitle);
  FTitle = {};
}

void TProgressDisplay::Watch() {
  std::unique_lock<std::mutex> lock(FMutex);
  while (!FWake.wait_for(lock, kUpdateInterval, [this] { return FStopping; })) {
    Update(FWatch.State());
  }
}

// Shows the copy under way once it has run a second; puts the title back when it ends, and
// before the next file's copy is shown.
void TProgressDisplay::Update(const TCopyWatch::TState& state) {
  const TClock::duration taken = TClock::now() - state.began;
  const bool due = state.running && state.size > 0 && taken >= kFirstUpdate;
  if (FTitle.open && (!due || state.serial != FShownSerial)) {
    platform::CloseProgressTitle(FTitle);
    FTitle = {};
  }
  if (!due) return;
  if (state.serial != FShownSerial) {  // a title for each file, where there is one
    FShownSerial = state.serial;
    FTitle = platform::OpenProgressTitle();
  }
  if (FTitle.open) platform::ShowProgressTitle(FTitle, ProgressText(state, taken), Percent(state));
}
