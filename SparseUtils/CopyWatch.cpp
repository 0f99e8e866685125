#include "SparseUtils/CopyWatch.h"

#include <cstdio>
#include <utility>

#include "SparseUtils/Paths.h"
#include "SparseUtils/ProgramTexts.h"
#include "platform/Platform.h"

namespace {

using TClock = std::chrono::steady_clock;

constexpr auto kFirstShow = std::chrono::seconds(1);
constexpr auto kShowInterval = std::chrono::milliseconds(250);

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

TCopyWatch::TAct::TAct(TCopyWatch& watch) : FWatch(watch) {
  std::unique_lock<std::mutex> lock(FWatch.FActs);
  if (FWatch.Interrupted() && FWatch.FActDepth == 0) {
    lock.unlock();
    platform::AwaitProcessEnd();
  }
  ++FWatch.FActDepth;
}

TCopyWatch::TAct::~TAct() {
  {
    const std::lock_guard<std::mutex> lock(FWatch.FActs);
    --FWatch.FActDepth;
  }
  FWatch.FActEnded.notify_all();
}

void TCopyWatch::Interrupt() {
  std::unique_lock<std::mutex> lock(FActs);
  FInterrupted = true;
  FActEnded.wait(lock, [this] { return FActDepth == 0; });
}

TCopyWatch::TCopying::TCopying(TCopyWatch& watch, const std::string& fileName, std::int64_t size)
    : FWatch(watch) {
  if (FWatch.FBeforeFirstCopy) std::exchange(FWatch.FBeforeFirstCopy, nullptr)();
  FWatch.FCopy = {fileName, size, 0};
  FWatch.FBegan = platform::SteadyNow();
  FWatch.FDone = 0;
  FWatch.FNextShow = (FWatch.FBegan + kFirstShow).time_since_epoch().count();
  FWatch.FTitleAsked = false;
}

TCopyWatch::TCopying::~TCopying() { FWatch.PutTitleBack(); }

void TCopyWatch::Advance(std::int64_t bytes) {
  FDone.fetch_add(bytes, std::memory_order_relaxed);
  const TClock::time_point now = platform::SteadyNow();
  if (now.time_since_epoch().count() >= FNextShow.load(std::memory_order_relaxed)) {
    ShowProgress(now);
  }
}

// On whichever worker finds it due; the other one goes on copying meanwhile. A title for each
// file, where there is one.
void TCopyWatch::ShowProgress(TClock::time_point now) {
  const std::unique_lock<std::mutex> lock(FShowing, std::try_to_lock);
  if (!lock.owns_lock()) return;
  FNextShow = (now + kShowInterval).time_since_epoch().count();
  if (!FTitleAsked) {
    FTitleAsked = true;
    FTitle = platform::OpenProgressTitle().value;
  }
  const platform::TProgressTitle title{FTitle.load()};
  if (!title.IsOpen() || FCopy.size <= 0) return;
  const TState state{FCopy.fileName, FCopy.size, FDone.load(std::memory_order_relaxed)};
  platform::ShowProgressTitle(title, ProgressText(state, now - FBegan), Percent(state));
}

void TCopyWatch::PutTitleBack() {
  const std::lock_guard<std::mutex> lock(FShowing);
  const platform::TProgressTitle title{FTitle.exchange(0)};
  if (title.IsOpen()) platform::CloseProgressTitle(title);
}

void TCopyWatch::PutTitleBackAtFault() {
  platform::PutProgressTitleBack(platform::TProgressTitle{FTitle.load()});
}
