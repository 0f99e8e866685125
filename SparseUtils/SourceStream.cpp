#include "SparseUtils/SourceStream.h"

#include <algorithm>
#include <cstring>

#include "SparseUtils/Paths.h"
#include "SparseUtils/SystemErrorText.h"
#include "SparseUtils/Text.h"
#include "SparseUtils/Texts.h"
#include "failure/Errors.h"

namespace {

// How much of the file one system read asks for.
constexpr std::size_t kBlockBytes = 256 << 10;

}  // namespace

TSourceStream::TSourceStream(const std::string& fileName) : fileName_(fileName) {
  const platform::OpenResult opened = platform::OpenForReading(fileName);
  if (!opened.handle.IsValid()) {
    Raise(EFOpenError(FormatText(texts::kOpenFailed,
                                 {FullPathForMessage(fileName), SystemErrorText(opened.error)})));
  }
  handle_ = opened.handle;
}

TSourceStream::~TSourceStream() { platform::CloseFile(handle_); }

void TSourceStream::RaiseReadError(platform::ErrorCode code) const {
  Raise(EReadError(
      FormatText(texts::kReadFailed, {FullPathForMessage(fileName_), SystemErrorText(code)})));
}

// A read at the end of what is at hand: refills first, and gathers bytes that come from
// more than one place (a hole and data, two blocks) into one piece.
std::int32_t TSourceStream::ReadSlowly(const std::uint8_t*& block, std::int32_t count) {
  if (count > 0 && holeBytes_ == 0 && blockBegin_ == blockEnd_) Refill();
  if (TakeAtHand(block, count)) return count;
  pieces_.resize(static_cast<std::size_t>(std::max(count, 0)));
  block = pieces_.data();
  return static_cast<std::int32_t>(Gather(pieces_.data(), pieces_.size()));
}

// Copies the next `count` bytes (fewer at the end of the file) from holes and blocks.
std::size_t TSourceStream::Gather(std::uint8_t* into, std::size_t count) {
  std::size_t filled = 0;
  while (filled < count) {
    if (holeBytes_ == 0 && blockBegin_ == blockEnd_ && !Refill()) break;
    std::size_t taken;
    if (holeBytes_ > 0) {
      taken = static_cast<std::size_t>(std::min<std::int64_t>(count - filled, holeBytes_));
      std::memset(into + filled, 0, taken);
      holeBytes_ -= static_cast<std::int64_t>(taken);
    } else {
      taken = std::min(count - filled, blockEnd_ - blockBegin_);
      std::memcpy(into + filled, block_ + blockBegin_, taken);
      blockBegin_ += taken;
    }
    filled += taken;
    offset_ += static_cast<std::int64_t>(taken);
  }
  return filled;
}

// Makes the next bytes available: the zeros of a hole, or a block read from the file.
// False at the end of the file.
bool TSourceStream::Refill() {
  if (ended_) return false;
  if (rangesKnown_ && offset_ >= dataEnd_) LearnDataRange();
  if (holeBytes_ > 0) return true;
  const bool inKnownData = rangesKnown_ && dataEnd_ > offset_;
  ReadBlock(inKnownData
                ? static_cast<std::size_t>(std::min<std::int64_t>(kBlockBytes, dataEnd_ - offset_))
                : kBlockBytes);
  return !ended_;
}

// Asks where the next data lies; a hole before it is handed out as zeros.
void TSourceStream::LearnDataRange() {
  const platform::DataRange range = platform::NextDataRange(handle_, offset_);
  if (!range.known || range.start < offset_ || range.end < range.start) {
    rangesKnown_ = false;
    return;
  }
  holeBytes_ = range.start - offset_;
  dataEnd_ = range.end;
}

// Reads `wanted` bytes at the current offset (fewer where less memory is lent), fewer only
// at the real end of the file.
void TSourceStream::ReadBlock(std::size_t wanted) {
  wanted = PlaceBlock(wanted);
  if (filePosition_ != offset_) {
    const platform::SeekResult moved = platform::MoveTo(handle_, offset_);
    if (!moved.ok) RaiseReadError(moved.error);
    filePosition_ = moved.position;
  }
  std::size_t filled = 0;
  while (filled < wanted) {
    const platform::IoResult read =
        platform::ReadBytes(handle_, block_ + filled, static_cast<std::uint32_t>(wanted - filled));
    if (!read.ok) RaiseReadError(read.error);
    if (read.bytes == 0) break;
    filled += read.bytes;
  }
  filePosition_ += static_cast<std::int64_t>(filled);
  blockBegin_ = 0;
  blockEnd_ = filled;
  ended_ = filled == 0;
}

// Points block_ at the memory the next block is read into: lent memory where the lender
// lends any, else the stream's own. Returns how much of `wanted` fits.
std::size_t TSourceStream::PlaceBlock(std::size_t wanted) {
  std::size_t room = 0;
  block_ = lender_ ? lender_->Lend(offset_, room) : nullptr;
  if (block_) return std::min(wanted, room);
  if (!ownBlock_) ownBlock_ = PageBlock(kBlockBytes);
  block_ = ownBlock_.get();
  return wanted;
}
