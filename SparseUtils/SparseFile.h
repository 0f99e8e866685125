// TSparseFile: one destination file, created (or truncated) and marked sparse. Data goes in
// at the offsets it belongs to, and only the allocation units (clusters, file-system blocks)
// that hold a non-zero byte are written: every unit of zeros stays an unallocated hole, which
// reads as zeros. Writing the zeros of a unit that holds data costs no space, as the unit is
// allocated anyway, so the file takes exactly the space that writing each data run on its own
// and passing over each zero run would give it, in far fewer calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/Platform.h"

// How far a transfer got: `done` bytes, then `error` stopped it (none: a read then stopped at
// the end of the file).
struct TTransfer {
  std::size_t done = 0;
  platform::TError error;
};

class TSparseFile {
 public:
  // Creates the file, or opens it truncated or with its content kept, without sharing, and
  // marks it sparse. A failure shows in IsOpen.
  TSparseFile(const std::string& fileName, platform::TExisting existing);
  ~TSparseFile() { Close(); }

  TSparseFile(const TSparseFile&) = delete;
  TSparseFile& operator=(const TSparseFile&) = delete;

  bool IsOpen() const { return FHandle.IsValid(); }
  // True when opening made a new file rather than opening one that was there.
  bool Created() const { return FCreated; }
  std::int64_t Length() const { return platform::SizeOfFile(FHandle); }
  // The volume's allocation unit: a power of two from 512 bytes to 1 MiB.
  std::size_t Unit() const { return FUnit; }

  // Puts `count` bytes at `offset`: each run of units that hold data is written with one
  // positional write; units of zeros are passed over. Several threads may write at once.
  TTransfer Write(std::int64_t offset, const std::uint8_t* bytes, std::size_t count);

  // From now on the file's length runs ahead of the writes, up to `limit`: before a write that
  // ends past it, it is set a step further. So no write extends the file (a file system that
  // allocates ahead of a growing end, XFS, would keep that space), and a copy killed on the way
  // leaves a file no longer than its writes and a step. A write past `limit`, or a length that
  // cannot be set, ends the steps: the writes extend the file then, and a later step could
  // cut off what one of them put past the length.
  void GrowAheadTo(std::int64_t limit);
  // The length the steps have set, or -1 when the writes may have extended the file.
  std::int64_t GrownLength();

  // Gives the file its length now: cut off, or grown with a hole.
  platform::TError SetSize(std::int64_t size);

  void Close();

 private:
  TTransfer WriteAll(std::int64_t offset, const std::uint8_t* bytes, std::size_t count);
  void GrowFor(std::int64_t end);

  platform::TFileHandle FHandle;
  bool FCreated = false;
  std::size_t FUnit = 512;
  std::mutex FGrowing;
  std::int64_t FLength = -1;  // no steps until GrowAheadTo
  std::int64_t FGrowLimit = 0;
};
