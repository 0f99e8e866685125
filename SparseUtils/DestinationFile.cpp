#include "SparseUtils/DestinationFile.h"

#include <algorithm>
#include <cstring>

namespace {

// The window gathers this much of the file before it is written.
constexpr std::size_t kWindowBytes = 256 << 10;
// The smallest allocation unit of any file system, for volumes that do not tell theirs:
// zeros are then written only within 512-byte blocks that hold data.
constexpr std::size_t kSmallestUnit = 512;

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
    FlushWindow();
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

// Puts data at the position into the window, writing the window out when it is full.
void TDestinationFile::PutData(const std::uint8_t* data, std::size_t count) {
  while (count > 0 && Usable()) {
    if (!anchored_ || position_ - windowStart_ >= static_cast<std::int64_t>(capacity_)) {
      FlushWindow();
      AnchorWindow();
    }
    const auto offset = static_cast<std::size_t>(position_ - windowStart_);
    const std::size_t taken = std::min(count, capacity_ - offset);
    FillGapBefore(offset);
    std::memcpy(window_.get() + offset, data, taken);
    filledEnd_ = offset + taken;
    MarkData(offset, filledEnd_);
    position_ += static_cast<std::int64_t>(taken);
    data += taken;
    count -= taken;
  }
}

void TDestinationFile::AnchorWindow() {
  if (!window_) window_.reset(new std::uint8_t[capacity_]);
  windowStart_ = position_ & ~static_cast<std::int64_t>(unit_ - 1);
  filledEnd_ = 0;
  dataUnits_.clear();
  anchored_ = true;
}

// Zeros the bytes that zero runs left between the last data and `offset`, where they lie
// in units that hold data: the rest of the last data's unit, and the start of the unit
// of `offset`. Units between them hold no data, are never written, and are left as they
// are.
void TDestinationFile::FillGapBefore(std::size_t offset) {
  std::uint8_t* const window = window_.get();
  const std::size_t tailEnd = std::min(offset, UnitEnd(filledEnd_));
  std::memset(window + filledEnd_, 0, tailEnd - filledEnd_);
  const std::size_t headStart = std::max(tailEnd, UnitStart(offset));
  std::memset(window + headStart, 0, offset - headStart);
}

void TDestinationFile::MarkData(std::size_t from, std::size_t to) {
  const std::size_t first = from / unit_;
  const std::size_t end = (to - 1) / unit_ + 1;
  if (!dataUnits_.empty() && first <= dataUnits_.back().end) {
    dataUnits_.back().end = std::max(dataUnits_.back().end, end);
  } else {
    dataUnits_.push_back({first, end});
  }
}

// Writes the units of the window that received data; the others stay holes. Nothing is
// written past the writer's position.
void TDestinationFile::FlushWindow() {
  if (!anchored_) return;
  anchored_ = false;
  if (!Usable()) return;
  const auto reached = static_cast<std::size_t>(
      std::min<std::int64_t>(static_cast<std::int64_t>(capacity_), position_ - windowStart_));
  FillGapBefore(std::min(UnitEnd(filledEnd_), reached));
  for (const UnitRange& units : dataUnits_) {
    const std::size_t from = units.first * unit_;
    const std::size_t to = std::min(units.end * unit_, reached);
    if (!WriteAt(windowStart_ + static_cast<std::int64_t>(from), window_.get() + from, to - from)) {
      return;
    }
  }
  knownGood_ = windowStart_ + static_cast<std::int64_t>(reached);
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
  FlushWindow();
  const std::int64_t end = failure_ == platform::kErrorSuccess ? position_ : knownGood_;
  if (SeekTo(end)) {
    const platform::ErrorCode ended = platform::SetEndHere(handle_);
    if (ended != platform::kErrorSuccess) Fail(ended);
  }
  platform::CloseFile(handle_);
  handle_ = platform::kInvalidHandle;
  window_.reset();
  return failure_ == platform::kErrorSuccess;
}
