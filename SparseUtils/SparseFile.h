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
#include <optional>
#include <string>

#include "platform/Platform.h"

// How far a transfer got: `done` bytes, then `error` stopped it (none: a read then stopped at
// the end of the file).
struct TTransfer {
  std::size_t done = 0;
  platform::TError error;
};

// The existing file a destination's name led to when the user agreed to replace it; none where
// nothing may be replaced, and the destination must be made new.
using TReplaceable = std::optional<platform::TFileIdentity>;

class TSparseFile {
 public:
  // Makes the file new, or opens the file `replaces` names, truncated or with its content kept,
  // only while the name still leads there; without sharing either way. Marks it sparse. A
  // failure, a name taken or led elsewhere in the meantime too, shows in IsOpen.
  TSparseFile(const std::string& fileName, const TReplaceable& replaces,
              platform::TExisting existing);
  ~TSparseFile() { Close(); }

  TSparseFile(const TSparseFile&) = delete;
  TSparseFile& operator=(const TSparseFile&) = delete;

  bool IsOpen() const { return FHandle.IsValid(); }
  std::int64_t Length() const { return platform::SizeOfFile(FHandle); }
  // The volume's allocation unit: a power of two from 512 bytes to 1 MiB.
  std::size_t Unit() const { return FUnit; }

  // Puts `count` bytes at `offset`: each run of units that hold data is written with one
  // positional write; units of zeros are passed over. Several threads may write at once.
  TTransfer Write(std::int64_t offset, const std::uint8_t* bytes, std::size_t count);

  // From now on the file's length runs ahead of the writes, short of `limit`, the final length:
  // before a write that ends past it, it is set a step further. So no write extends the file (a
  // file system that allocates ahead of a growing end, XFS, would keep that space), and a copy
  // killed on the way leaves a file no longer than its writes and a step, and shorter than
  // `limit`: the byte just before it is held back by the write that ends there, for
  // WriteHeldByte once every other byte is in. A write past `limit`, or a length that cannot be
  // set, ends the steps: the writes extend the file then, and a later step could cut off what
  // one of them put past the length.
  void GrowAheadTo(std::int64_t limit);
  // The length the steps have set, or -1 when the writes may have extended the file.
  std::int64_t GrownLength();
  // Writes the byte held back, at `limit` - 1, where it lies before `end`: the file has its final
  // length then.
  platform::TError WriteHeldByte(std::int64_t end);

  // Gives the file its length now: cut off, or grown with a hole.
  platform::TError SetSize(std::int64_t size);

  void Close();

 private:
  TTransfer WriteAll(std::int64_t offset, const std::uint8_t* bytes, std::size_t count);
  TTransfer WriteThrough(std::int64_t offset, const std::uint8_t* bytes, std::size_t count);
  bool GrowFor(std::int64_t end, std::uint8_t last);

  platform::TFileHandle FHandle;
  std::size_t FUnit = 512;
  std::mutex FGrowing;
  std::int64_t FLength = -1;  // no steps until GrowAheadTo
  std::int64_t FGrowLimit = 0;
  bool FHolding = false;  // the byte at FGrowLimit - 1, which ends the file
  std::uint8_t FHeldByte = 0;
};
