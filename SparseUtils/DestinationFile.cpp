#include "SparseUtils/DestinationFile.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

// A window gathers this much of the file before it is written.
constexpr std::size_t kWindowBytes = 256 << 10;
// The smallest allocation unit of any file system, for volumes that do not tell theirs:
// zeros are then written only within 512-byte blocks that hold data.
constexpr std::size_t kSmallestUnit = 512;
constexpr std::int64_t kEveryOffset = std::numeric_limits<std::int64_t>::max();

}  // namespace

bool TDestinationFile::Open(const std::string& path) {
  const platform::OpenResult opened = platform::CreateTruncated(path);
  handle_ = opened.handle;
  wasOpened_ = handle_.IsValid();
  created_ = opened.created;
  if (wasOpened_) {
    // Allocation units are powers of two; anything else is not trusted.
    const std::uint32_t unit = platform::AllocationUnitOf(handle_);
    const bool powerOfTwo = unit != 0 && (unit & (unit - 1)) == 0;
    unit_ = powerOfTwo && unit >= kSmallestUnit ? unit : kSmallestUnit;
    capacity_ = std::max(unit_, kWindowBytes / unit_ * unit_);
  }
  return wasOpened_;
}

bool TDestinationFile::MarkSparse() {
  return IsOpen() && platform::MarkSparse(handle_) == platform::kErrorSuccess;
}

void TDestinationFile::Fail(platform::ErrorCode code) {
  if (failure_ == platform::kErrorSuccess) failure_ = code;
  filePosition_ = -1;  // after a failure the system's position is not known
}

void TDestinationFile::WriteRun(const std::uint8_t* data, std::uint32_t count) {
  if (!rewriting_) {
    PutData(data, count);
  } else if (Usable() && WriteAt(position_, data, count)) {
    position_ += count;
  }
}

void TDestinationFile::MoveToOffset(std::int64_t offset) {
  if (offset < position_) {
    FlushWindowsBefore(kEveryOffset);
    rewriting_ = true;
  }
  position_ = offset;
}

void TDestinationFile::PutBlock(const std::uint8_t* data, std::uint32_t count) {
  if (rewriting_) return WriteRuns(data, count);
  const std::uint8_t* const end = data + count;
  const std::uint8_t* const firstData = FindNonZero(data, end);
  MoveForward(firstData - data);
  data = firstData;
  // Pieces up to each unit's end: consecutive ones that hold data go into the window
  // together, all-zero ones are moved over.
  const std::uint8_t* dataStart = data;
  std::int64_t at = position_;
  while (data < end) {
    const std::size_t toUnitEnd = unit_ - (static_cast<std::size_t>(at) & (unit_ - 1));
    const std::size_t piece = std::min<std::size_t>(toUnitEnd, end - data);
    if (FindNonZero(data, data + piece) == data + piece) {
      PutData(dataStart, static_cast<std::size_t>(data - dataStart));
      MoveForward(static_cast<std::int64_t>(piece));
      dataStart = data + piece;
    }
    data += piece;
    at += static_cast<std::int64_t>(piece);
  }
  PutData(dataStart, static_cast<std::size_t>(end - dataStart));
}

// The block's runs one by one.
void TDestinationFile::WriteRuns(const std::uint8_t* data, std::uint32_t count) {
  SplitIntoRuns(
      data, data + count, [this](std::int64_t length) { MoveForward(length); },
      [this](const std::uint8_t* run, std::uint32_t length) { WriteRun(run, length); });
}

// Puts data at the position into the windows.
void TDestinationFile::PutData(const std::uint8_t* data, std::size_t count) {
  while (count > 0 && Usable()) {
    Window& window = WindowFor(position_);
    const auto offset = static_cast<std::size_t>(position_ - window.start);
    const std::size_t taken = std::min(count, capacity_ - offset);
    FillGapBefore(window, offset);
    std::uint8_t* const into = window.memory.get() + offset;
    if (into != data) std::memmove(into, data, taken);  // lent memory holds them already
    window.filledEnd = offset + taken;
    MarkData(window, offset, window.filledEnd);
    position_ += static_cast<std::int64_t>(taken);
    data += taken;
    count -= taken;
  }
}

std::uint8_t* TDestinationFile::Lend(std::int64_t offset, std::size_t& room) {
  if (!Usable() || rewriting_ || offset < position_ ||
      offset - position_ >= static_cast<std::int64_t>(capacity_)) {
    return nullptr;
  }
  Window& window = WindowFor(offset);
  if (!Usable()) return nullptr;
  const auto at = static_cast<std::size_t>(offset - window.start);
  room = capacity_ - at;
  return window.memory.get() + at;
}

// The window of the stretch of `offset`, which lies in the stretch of the position or the
// next one. The windows of stretches before the position's are written first, so the
// other window is free for the next stretch.
TDestinationFile::Window& TDestinationFile::WindowFor(std::int64_t offset) {
  FlushWindowsBefore(StretchStart(position_));
  const std::int64_t start = StretchStart(offset);
  Window& window = windows_[(start / static_cast<std::int64_t>(capacity_)) % 2];
  if (!window.anchored) {
    if (!window.memory) window.memory = PageBlock(capacity_);
    window.anchored = true;
    window.start = start;
    window.filledEnd = 0;
    window.dataUnits.clear();
  }
  return window;
}

// Writes the windows of stretches that begin before `offset`, in the order of the file.
void TDestinationFile::FlushWindowsBefore(std::int64_t offset) {
  const int first = windows_[1].start < windows_[0].start ? 1 : 0;
  for (Window* window : {&windows_[first], &windows_[1 - first]}) {
    if (window->anchored && window->start < offset) FlushWindow(*window);
  }
}

// Zeros the bytes that zero runs left between the last data and `offset`, where they lie
// in units that hold data: the rest of the last data's unit, and the start of the unit
// of `offset`. Units between them hold no data, are never written, and are left as they
// are.
void TDestinationFile::FillGapBefore(Window& window, std::size_t offset) {
  std::uint8_t* const memory = window.memory.get();
  const std::size_t tailEnd = std::min(offset, UnitEnd(window.filledEnd));
  std::memset(memory + window.filledEnd, 0, tailEnd - window.filledEnd);
  const std::size_t headStart = std::max(tailEnd, UnitStart(offset));
  std::memset(memory + headStart, 0, offset - headStart);
}

void TDestinationFile::MarkData(Window& window, std::size_t from, std::size_t to) {
  const std::size_t first = from / unit_;
  const std::size_t end = (to - 1) / unit_ + 1;
  std::vector<UnitRange>& units = window.dataUnits;
  if (!units.empty() && first <= units.back().end) {
    units.back().end = std::max(units.back().end, end);
  } else {
    units.push_back({first, end});
  }
}

// Writes the units of the window that received data; the others stay holes. Nothing is
// written past the writer's position.
void TDestinationFile::FlushWindow(Window& window) {
  window.anchored = false;
  const std::int64_t reached =
      std::min(static_cast<std::int64_t>(capacity_), position_ - window.start);
  if (!Usable() || reached <= 0) return;
  const auto end = static_cast<std::size_t>(reached);
  FillGapBefore(window, std::min(UnitEnd(window.filledEnd), end));
  for (const UnitRange& units : window.dataUnits) {
    const std::size_t from = units.first * unit_;
    const std::size_t to = std::min(units.end * unit_, end);
    if (!WriteAt(window.start + static_cast<std::int64_t>(from), window.memory.get() + from,
                 to - from)) {
      return;
    }
  }
  knownGood_ = window.start + reached;
}

bool TDestinationFile::SeekTo(std::int64_t offset) {
  if (filePosition_ == offset) return true;
  const platform::SeekResult moved = platform::MoveTo(handle_, offset);
  if (!moved.ok) {
    Fail(moved.error);
    return false;
  }
  filePosition_ = moved.position;
  return true;
}

bool TDestinationFile::WriteAt(std::int64_t offset, const std::uint8_t* bytes, std::size_t count) {
  if (!SeekTo(offset)) return false;
  knownGood_ = offset;
  while (count > 0) {
    // `count` never exceeds the window, whose size fits 32 bits.
    const platform::IoResult written =
        platform::WriteBytes(handle_, bytes, static_cast<std::uint32_t>(count));
    if (!written.ok || written.bytes == 0) {
      // A write that takes nothing and tells no reason has found no room.
      Fail(written.ok ? platform::kErrorDiskFull : written.error);
      return false;
    }
    // A short write is followed by another for the rest, which tells why it stopped.
    filePosition_ += written.bytes;
    knownGood_ += written.bytes;
    bytes += written.bytes;
    count -= written.bytes;
  }
  return true;
}

bool TDestinationFile::SetEndAndClose() {
  if (!handle_.IsValid()) return wasOpened_ && failure_ == platform::kErrorSuccess;
  FlushWindowsBefore(kEveryOffset);
  const std::int64_t end = failure_ == platform::kErrorSuccess ? position_ : knownGood_;
  if (SeekTo(end)) {
    const platform::ErrorCode ended = platform::SetEndHere(handle_);
    if (ended != platform::kErrorSuccess) Fail(ended);
  }
  platform::CloseFile(handle_);
  handle_ = platform::kInvalidHandle;
  return failure_ == platform::kErrorSuccess;
}
