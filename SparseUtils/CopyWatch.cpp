#include "SparseUtils/CopyWatch.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "SparseUtils/Paths.h"
#include "SparseUtils/ProgramTexts.h"
#include "platform/Platform.h"
#include "platform/Unicode.h"

namespace {

using TClock = std::chrono::steady_clock;

constexpr auto kFirstShow = std::chrono::seconds(1);
constexpr auto kShowInterval = std::chrono::milliseconds(250);

// "512 B", "12.3 GiB": powers of 1024, one decimal from KiB up.
std::string ByteAmount(double bytes) {
  static const char* const kUnits[] = {" B", " KiB", " MiB", " GiB", " TiB", " PiB", " EiB"};
  std::size_t unit = 0;
  while (bytes >= 1024 && unit + 1 < std::size(kUnits)) {
    bytes /= 1024;
    ++unit;
  }
  if (unit == 0) return std::to_string(std::llround(bytes)) + kUnits[0];
  const long long tenths = std::llround(bytes * 10);
  return std::to_string(tenths / 10) + "." + static_cast<char>('0' + tenths % 10) + kUnits[unit];
}

std::string TwoDigits(std::int64_t value) {
  return {static_cast<char>('0' + value / 10), static_cast<char>('0' + value % 10)};
}

// "1:40", "2:03:07".
std::string Duration(std::int64_t seconds) {
  const std::string minutesAndSeconds = ":" + TwoDigits(seconds % 60);
  if (seconds < 3600) return std::to_string(seconds / 60) + minutesAndSeconds;
  return std::to_string(seconds / 3600) + ":" + TwoDigits(seconds / 60 % 60) + minutesAndSeconds;
}

int Percent(const TCopyWatch::TState& state) {
  return static_cast<int>(static_cast<double>(state.done) * 100 / static_cast<double>(state.size));
}

// What the title and the status line both tell: "37%", "12.3 GiB / 33.0 GiB", "210.5 MiB/s" and
// "残り 1:40", the time left (none before the rate is known).
struct TFacts {
  std::string percent, amounts, rate, left;
};

TFacts FactsOf(const TCopyWatch::TState& state, TClock::duration taken) {
  const double seconds = std::chrono::duration<double>(taken).count();
  const double rate = seconds > 0 ? static_cast<double>(state.done) / seconds : 0;
  TFacts facts{std::to_string(Percent(state)) + "%",
               ByteAmount(static_cast<double>(state.done)) + " / " +
                   ByteAmount(static_cast<double>(state.size)),
               ByteAmount(rate) + "/s",
               {}};
  if (rate >= 1) {
    const auto left =
        static_cast<std::int64_t>(static_cast<double>(state.size - state.done) / rate);
    facts.left = std::string(texts::kProgressLeft) + " " + Duration(left);
  }
  return facts;
}

std::size_t Columns(std::string_view text) {
  std::size_t columns = 0;
  for (std::size_t at = 0; at < text.size();) {
    columns += platform::unicode::ColumnsOf(platform::unicode::DecodeAt(text, at));
  }
  return columns;
}

// The longest start of `text` in `columns`, and the longest end.
std::string_view Head(std::string_view text, std::size_t columns) {
  std::size_t at = 0;
  for (std::size_t next = 0; next < text.size(); at = next) {
    const std::size_t width = platform::unicode::ColumnsOf(platform::unicode::DecodeAt(text, next));
    if (width > columns) break;
    columns -= width;
  }
  return text.substr(0, at);
}

std::string_view Tail(std::string_view text, std::size_t columns) {
  std::size_t start = 0;
  for (std::size_t left = Columns(text); left > columns && start < text.size();) {
    left -= platform::unicode::ColumnsOf(platform::unicode::DecodeAt(text, start));
  }
  return text.substr(start);
}

// `name` in `columns`: whole, or its start and end around "...".
std::string Shortened(std::string_view name, std::size_t columns) {
  constexpr std::string_view kGap = "...";
  if (Columns(name) <= columns) return std::string(name);
  if (columns <= kGap.size()) return std::string(Head(name, columns));
  const std::string_view head = Head(name, (columns - kGap.size() + 1) / 2);
  return std::string(head) + std::string(kGap) +
         std::string(Tail(name, columns - kGap.size() - Columns(head)));
}

// "[#######.............]": `cells` of which the part done is filled.
std::string Bar(const TCopyWatch::TState& state, std::size_t cells) {
  const auto filled = static_cast<std::size_t>(
      std::clamp(static_cast<double>(state.done) / static_cast<double>(state.size), 0.0, 1.0) *
      static_cast<double>(cells));
  return "[" + std::string(filled, '#') + std::string(cells - filled, '.') + "]";
}

std::string TitleOf(const TFacts& facts, const std::string& fileName) {
  std::string text = facts.percent + " " + facts.amounts + "  " + facts.rate + "  ";
  if (!facts.left.empty()) text += facts.left + "  ";
  return text += NamePart(fileName);
}

std::string LineOf(const TCopyWatch::TState& state, const TFacts& facts, std::size_t columns,
                   std::size_t& used) {
  constexpr std::size_t kShortestName = 8;  // columns of a name shortened to fit
  constexpr std::size_t kFewestCells = 10;
  constexpr std::size_t kMostCells = 40;
  const std::string name = platform::unicode::Printable(NamePart(state.fileName));
  const std::string rest =
      " " + facts.amounts + "  " + facts.rate + (facts.left.empty() ? "" : "  " + facts.left);
  const std::size_t fixed = Columns(facts.percent) + Columns(rest) + 2;  // and the name's gap
  const std::size_t nameColumns = Columns(name);
  if (fixed + nameColumns + 3 + kFewestCells <= columns) {  // " [" and "]" around the cells
    const std::size_t cells = std::min(kMostCells, columns - fixed - nameColumns - 3);
    used = fixed + nameColumns + 3 + cells;
    return facts.percent + " " + Bar(state, cells) + rest + "  " + name;
  }
  if (fixed + std::min(nameColumns, kShortestName) <= columns) {
    const std::string shortened = Shortened(name, columns - fixed);
    used = fixed + Columns(shortened);
    return facts.percent + rest + "  " + shortened;
  }
  const std::string cut(Head(facts.percent + rest, columns));
  used = Columns(cut);
  return cut;
}

}  // namespace

TProgressTexts ProgressTexts(const TCopyWatch::TState& state, TClock::duration taken,
                             std::size_t columns) {
  const TFacts facts = FactsOf(state, taken);
  TProgressTexts texts{TitleOf(facts, state.fileName), {}, 0};
  if (columns > 0) texts.line = LineOf(state, facts, columns, texts.lineColumns);
  return texts;
}

TCopyWatch::TAct::TAct(TCopyWatch& watch) : FGate(watch.FGate) {
  if (!watch.Interrupted()) return;
  FGate.unlock();  // for the interrupt, which waits for it
  platform::AwaitProcessEnd();
}

void TCopyWatch::Interrupt() {
  FInterrupted = true;
  const std::lock_guard<std::mutex> actEnded(FGate);
}

TCopyWatch::TCopying::TCopying(TCopyWatch& watch, const std::string& fileName, std::int64_t size)
    : FWatch(watch) {
  if (FWatch.FBeforeFirstCopy) std::exchange(FWatch.FBeforeFirstCopy, nullptr)();
  FWatch.FCopy = {fileName, size, 0};
  FWatch.FBegan = platform::SteadyNow();
  FWatch.FDone = 0;
  FWatch.FNextShow = (FWatch.FBegan + kFirstShow).time_since_epoch().count();
  FWatch.FDisplayAsked = false;
}

TCopyWatch::TCopying::~TCopying() { FWatch.PutProgressBack(); }

void TCopyWatch::Advance(std::int64_t bytes) {
  FDone.fetch_add(bytes, std::memory_order_relaxed);
  const TClock::time_point now = platform::SteadyNow();
  if (now.time_since_epoch().count() >= FNextShow.load(std::memory_order_relaxed)) {
    ShowProgress(now);
  }
}

// A display for each file, where there is one.
void TCopyWatch::ShowProgress(TClock::time_point now) {
  const std::unique_lock<std::mutex> lock(FShowing, std::try_to_lock);
  if (!lock.owns_lock()) return;
  FNextShow = (now + kShowInterval).time_since_epoch().count();
  if (!FDisplayAsked) {
    FDisplayAsked = true;
    FDisplay = platform::OpenProgressDisplay().value;
  }
  const platform::TProgressDisplay display{FDisplay.load()};
  if (!display.IsOpen() || FCopy.size <= 0) return;
  const TState state{FCopy.fileName, FCopy.size, FDone.load(std::memory_order_relaxed)};
  const TProgressTexts texts =
      ProgressTexts(state, now - FBegan, platform::StatusLineColumns(display));
  platform::ShowProgress(display, texts.title, Percent(state), texts.line, texts.lineColumns);
}

// Once: whoever puts the display back takes it from the watch.
void TCopyWatch::PutProgressBack() {
  const std::lock_guard<std::mutex> lock(FShowing);
  const platform::TProgressDisplay display{FDisplay.exchange(0)};
  if (display.IsOpen()) platform::CloseProgressDisplay(display, Interrupted());
}

void TCopyWatch::PutProgressBackAtFault() {
  const platform::TProgressDisplay display{FDisplay.exchange(0)};
  if (display.IsOpen()) platform::PutProgressBack(display, false);
}
