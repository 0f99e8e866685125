// The file operations under the sparse writer: open and mark sparse, move forward, write,
// move to an offset, set the end and close.
//
// Runs are gathered in windows of the file before they reach the system, so a file is
// written in large blocks whatever the length of its runs. Windows cover stretches of the
// file on a fixed grid, so the writes are aligned to it. Within a window, the allocation
// units (clusters, file-system blocks) that received data are written whole, zeros of
// short zero runs included, because such a unit is allocated anyway; units that received
// no data are never written and stay holes. So every destination ends up with the content,
// length and allocation that one system call per run would give it.
//
// Two windows take turns, so the next stretch's can be lent to the reader of the data (see
// TBlockLender) while the current one still takes the last bytes of its own: in a copy the
// source's bytes are read straight into the windows and never copied.
//
// Every failure is kept: the first one stops all further writing, so no data can land at
// a wrong offset, and the file's end is then set at the last position known to be right,
// never at a length that would pretend the rest is there.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "SparseUtils/BlockLender.h"
#include "SparseUtils/PageBlock.h"
#include "SparseUtils/ZeroScan.h"
#include "platform/Platform.h"

class TDestinationFile : public TBlockLender {
 public:
  // WriteBlock takes a whole block at once (see TSparseFileWith::Write).
  static constexpr bool kTakesWholeBlocks = true;

  TDestinationFile() = default;
  ~TDestinationFile() { SetEndAndClose(); }

  TDestinationFile(const TDestinationFile&) = delete;
  TDestinationFile& operator=(const TDestinationFile&) = delete;

  // Creates or truncates the file, opened without sharing. False when it cannot be opened.
  bool Open(const std::string& path);
  // Asks the file system to keep the file sparse; false when it refuses.
  bool MarkSparse();

  void MoveForward(std::int64_t distance) { position_ += distance; }
  void WriteRun(const std::uint8_t* data, std::uint32_t count);
  // Moves the position to `offset`. After a move backwards, runs go to the system one by
  // one, so zeros never replace what was written there before.
  void MoveToOffset(std::int64_t offset);

  // The same as the block's runs one by one (data runs written, zero runs moved over), in
  // one step: the pieces of the block that hold a non-zero byte go into the windows, and
  // their units are the ones that will be written.
  void WriteBlock(const std::uint8_t* data, std::uint32_t count) {
    if (LiesInZeroBlock(data, data + count)) {
      MoveForward(count);  // a hole of the source: nothing to look at
    } else {
      PutBlock(data, count);
    }
  }

  // Lends the window of the stretch of `offset` from `offset` on; nothing while rewriting,
  // after a failure, or for an offset before the position or a window's size beyond it.
  std::uint8_t* Lend(std::int64_t offset, std::size_t& room) override;

  // Sets the end at the position reached (or, after a failure, at the last position known
  // to be right) and closes the file. True when the file was open and nothing failed.
  // Further calls return the same answer.
  bool SetEndAndClose();

  bool IsOpen() const { return handle_.IsValid(); }
  // True when opening made a new file rather than truncating one.
  bool Created() const { return created_; }
  // The first failure's system code, or kErrorSuccess.
  platform::ErrorCode Failure() const { return failure_; }

 private:
  // Allocation units [first, end) of a window that received data.
  struct UnitRange {
    std::size_t first;
    std::size_t end;
  };

  // The bytes of one stretch of the file, [start, start + capacity_), until they are
  // written.
  struct Window {
    PageBlock memory;
    bool anchored = false;      // holds a stretch not written yet
    std::int64_t start = 0;     // a multiple of capacity_
    std::size_t filledEnd = 0;  // the end of the last data put in; every data unit before
                                // it holds its final bytes
    std::vector<UnitRange> dataUnits;
  };

  bool Usable() const { return handle_.IsValid() && failure_ == platform::kErrorSuccess; }
  void Fail(platform::ErrorCode code);

  void PutBlock(const std::uint8_t* data, std::uint32_t count);
  void PutData(const std::uint8_t* data, std::size_t count);
  void WriteRuns(const std::uint8_t* data, std::uint32_t count);
  Window& WindowFor(std::int64_t offset);
  void FlushWindowsBefore(std::int64_t offset);
  void FlushWindow(Window& window);
  void FillGapBefore(Window& window, std::size_t offset);
  void MarkData(Window& window, std::size_t from, std::size_t to);
  bool WriteAt(std::int64_t offset, const std::uint8_t* bytes, std::size_t count);
  bool SeekTo(std::int64_t offset);

  std::int64_t StretchStart(std::int64_t offset) const {
    return offset - offset % static_cast<std::int64_t>(capacity_);
  }
  std::size_t UnitStart(std::size_t offset) const { return offset & ~(unit_ - 1); }
  std::size_t UnitEnd(std::size_t offset) const { return UnitStart(offset + unit_ - 1); }

  platform::FileHandle handle_;
  bool wasOpened_ = false;
  bool created_ = false;
  platform::ErrorCode failure_ = platform::kErrorSuccess;

  std::size_t unit_ = 512;    // a power of two
  std::size_t capacity_ = 0;  // a window's size, a multiple of unit_
  Window windows_[2];         // stretch n goes into windows_[n % 2]
  bool rewriting_ = false;    // the position was moved back over written data

  std::int64_t position_ = 0;      // where the writer stands
  std::int64_t filePosition_ = 0;  // where the system's file position stands
  std::int64_t knownGood_ = 0;     // every byte before it is on disk as it must be
};
