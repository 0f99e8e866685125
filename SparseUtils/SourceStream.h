// TSourceStream: the copy's source, opened for reading only and sharing read and write with
// other programs.
//
// The file is read from the system in large blocks that Read hands out piece by piece,
// without copying them; a lender (the destination, in a copy) may provide the memory they
// are read into. Where the file system tells where a file's holes are, a hole is
// handed out as zeros without being read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "SparseUtils/BlockLender.h"
#include "SparseUtils/PageBlock.h"
#include "SparseUtils/ZeroScan.h"
#include "platform/Platform.h"

class TSourceStream {
 public:
  // Opens `fileName`; raises EFOpenError when it cannot be opened.
  explicit TSourceStream(const std::string& fileName);
  ~TSourceStream();

  TSourceStream(const TSourceStream&) = delete;
  TSourceStream& operator=(const TSourceStream&) = delete;

  // Reads the file's blocks into memory that `lender` lends, where it lends any. The bytes
  // must then be handed to the lender at the offsets they were read from.
  void ReadInto(TBlockLender* lender) { lender_ = lender; }

  // Hands out at once as many whole blocks of `count` bytes as lie next, all zeros, in the
  // hole or in the block at hand; returns their total length.
  std::int64_t TakeZeroBlocks(std::int32_t count) {
    if (count <= 0) return 0;
    const std::int64_t taken = holeBytes_ > 0 ? TakeHoleBlocks(count) : TakeZeroBlocksRead(count);
    offset_ += taken;
    return taken;
  }

  // Reads up to `count` bytes; `block` points at them until the next Read. Fewer than
  // `count` only at the end of the file: a system read that returns short is followed by
  // another. Raises EReadError when a read fails.
  std::int32_t Read(const std::uint8_t*& block, std::int32_t count) {
    return TakeAtHand(block, count) ? count : ReadSlowly(block, count);
  }

 private:
  // Hands out `count` bytes without copying when they lie in one hole or in the block at
  // hand; false otherwise.
  bool TakeAtHand(const std::uint8_t*& block, std::int32_t count) {
    const auto wanted = static_cast<std::size_t>(count);
    if (count > 0 && holeBytes_ >= count && wanted <= sizeof kZeroBlock) {
      block = kZeroBlock;
      holeBytes_ -= count;
    } else if (count > 0 && holeBytes_ == 0 && blockEnd_ - blockBegin_ >= wanted) {
      block = block_ + blockBegin_;
      blockBegin_ += wanted;
    } else {
      return false;
    }
    offset_ += count;
    return true;
  }

  std::int64_t TakeHoleBlocks(std::int32_t count) {
    const std::int64_t taken = holeBytes_ - holeBytes_ % count;
    holeBytes_ -= taken;
    return taken;
  }
  std::int64_t TakeZeroBlocksRead(std::int32_t count) {
    const auto size = static_cast<std::size_t>(count);
    const std::size_t first = blockBegin_;
    while (blockEnd_ - blockBegin_ >= size &&
           FindNonZero(block_ + blockBegin_, block_ + blockBegin_ + size) ==
               block_ + blockBegin_ + size) {
      blockBegin_ += size;
    }
    return static_cast<std::int64_t>(blockBegin_ - first);
  }

  std::int32_t ReadSlowly(const std::uint8_t*& block, std::int32_t count);
  std::size_t Gather(std::uint8_t* into, std::size_t count);
  bool Refill();
  void LearnDataRange();
  void ReadBlock(std::size_t wanted);
  std::size_t PlaceBlock(std::size_t wanted);
  [[noreturn]] void RaiseReadError(platform::ErrorCode code) const;

  std::string fileName_;
  platform::FileHandle handle_;

  TBlockLender* lender_ = nullptr;
  PageBlock ownBlock_;
  std::uint8_t* block_ = nullptr;     // the block read last: lent memory or ownBlock_
  std::vector<std::uint8_t> pieces_;  // a Read whose bytes come from more than one place
  std::size_t blockBegin_ = 0;        // block_[blockBegin_, blockEnd_) is read and not handed out
  std::size_t blockEnd_ = 0;
  std::int64_t holeBytes_ = 0;  // zeros of a hole to hand out before anything else

  std::int64_t offset_ = 0;        // file offset of the next byte handed out
  std::int64_t filePosition_ = 0;  // where the system's file position stands
  bool rangesKnown_ = true;        // the file system tells where the data lies
  std::int64_t dataEnd_ = 0;       // [offset_, dataEnd_) is data, as far as known
  bool ended_ = false;
};
