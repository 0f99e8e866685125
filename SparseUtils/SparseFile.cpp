#include "SparseUtils/SparseFile.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

constexpr std::size_t kSmallestUnit = 512;
// How far the length runs ahead of the writes: each step costs a system call that waits for
// the other worker's write to the file, and the few MiB missing at a kill stay few.
constexpr std::int64_t kGrowStep = 4 << 20;
constexpr std::size_t kLargestUnit = 1 << 20;

// Two 64-bit words side by side, ORed in one instruction where there are vector registers.
typedef std::uint64_t TWordPair __attribute__((vector_size(16)));

// True when every byte of [bytes, bytes + count) is zero. Looks at 64 bytes at a time and
// stops at the first block holding data.
bool AllZero(const std::uint8_t* bytes, std::size_t count) {
  std::size_t at = 0;
  for (; at + 64 <= count; at += 64) {
    TWordPair a, b, c, d;
    std::memcpy(&a, bytes + at, sizeof a);
    std::memcpy(&b, bytes + at + 16, sizeof b);
    std::memcpy(&c, bytes + at + 32, sizeof c);
    std::memcpy(&d, bytes + at + 48, sizeof d);
    const TWordPair any = (a | b) | (c | d);
    if ((any[0] | any[1]) != 0) return false;
  }
  for (; at < count; ++at) {
    if (bytes[at] != 0) return false;
  }
  return true;
}

// Allocation units are powers of two; anything else is not trusted.
std::size_t UsableUnit(std::uint32_t unit) {
  if (unit == 0 || (unit & (unit - 1)) != 0) return kSmallestUnit;
  return std::clamp<std::size_t>(unit, kSmallestUnit, kLargestUnit);
}

}  // namespace

TSparseFile::TSparseFile(const std::string& fileName, const TReplaceable& replaces,
                         platform::TExisting existing) {
  FHandle = replaces ? platform::OpenFileForWriting(fileName, *replaces, existing).handle
                     : platform::CreateNewFile(fileName).handle;
  if (!IsOpen()) return;
  // A file system that cannot keep the file sparse still takes its data.
  platform::MarkSparse(FHandle);
  FUnit = UsableUnit(platform::AllocationUnitOf(FHandle));
}

TTransfer TSparseFile::Write(std::int64_t offset, const std::uint8_t* bytes, std::size_t count) {
  std::size_t runStart = 0;  // the run of data units that ends before `at`
  std::size_t at = 0;
  while (at < count) {
    const std::size_t intoUnit = static_cast<std::size_t>(offset + at) & (FUnit - 1);
    const std::size_t unitEnd = std::min(count, at + FUnit - intoUnit);
    if (AllZero(bytes + at, unitEnd - at)) {
      const TTransfer written = at > runStart
                                    ? WriteAll(offset + runStart, bytes + runStart, at - runStart)
                                    : TTransfer{};
      if (written.error.Failed()) return {runStart + written.done, written.error};
      runStart = unitEnd;
    }
    at = unitEnd;
  }
  const TTransfer written = WriteAll(offset + runStart, bytes + runStart, count - runStart);
  return {runStart + written.done, written.error};
}

// Writes all of it but the byte that would give the file its final length, which waits for
// WriteHeldByte.
TTransfer TSparseFile::WriteAll(std::int64_t offset, const std::uint8_t* bytes, std::size_t count) {
  const bool held =
      count > 0 && GrowFor(offset + static_cast<std::int64_t>(count), bytes[count - 1]);
  TTransfer written = WriteThrough(offset, bytes, count - held);
  if (held && !written.error.Failed()) ++written.done;
  return written;
}

// Writes all of it: a write that takes fewer bytes is followed by another for the rest, which
// tells why it stopped; one that takes nothing and tells no reason has found no room.
TTransfer TSparseFile::WriteThrough(std::int64_t offset, const std::uint8_t* bytes,
                                    std::size_t count) {
  TTransfer written;
  while (written.done < count) {
    const std::size_t piece =
        std::min<std::size_t>(count - written.done, std::numeric_limits<std::uint32_t>::max());
    const platform::TIoResult result =
        platform::WriteAt(FHandle, offset + static_cast<std::int64_t>(written.done),
                          bytes + written.done, static_cast<std::uint32_t>(piece));
    if (result.error.Failed() || result.bytes == 0) {
      written.error =
          result.error.Failed() ? result.error : platform::TError{platform::kErrorDiskFull};
      return written;
    }
    written.done += result.bytes;
  }
  return written;
}

void TSparseFile::GrowAheadTo(std::int64_t limit) {
  const std::lock_guard<std::mutex> lock(FGrowing);
  FLength = 0;  // the file was made empty
  FGrowLimit = limit;
}

std::int64_t TSparseFile::GrownLength() {
  const std::lock_guard<std::mutex> lock(FGrowing);
  return FLength;
}

// Sets the length a step past `end`, short of the limit, unless it is there already. A write
// that ends at the limit holds its last byte, `last`, back: true then.
bool TSparseFile::GrowFor(std::int64_t end, std::uint8_t last) {
  const std::lock_guard<std::mutex> lock(FGrowing);
  if (FLength < 0) return false;
  const bool holding = end == FGrowLimit;
  if (holding) {
    FHolding = true;
    FHeldByte = last;
    --end;
  }
  if (end > FLength) {
    // Short of the limit on a unit's edge, unless the write reaches into the last unit: a
    // system that makes a length by writing there (Wine) then allocates no unit of a hole.
    const auto unit = static_cast<std::int64_t>(FUnit);
    const std::int64_t lastUnit = (FGrowLimit - 1) / unit * unit;
    const std::int64_t length =
        std::min(end + kGrowStep, end > lastUnit ? FGrowLimit - 1 : lastUnit);
    FLength = length < end || SetSize(length).Failed() ? -1 : length;
  }
  return holding;
}

platform::TError TSparseFile::WriteHeldByte(std::int64_t end) {
  const std::lock_guard<std::mutex> lock(FGrowing);
  if (!FHolding || FGrowLimit > end) return {};
  FHolding = false;
  const TTransfer written = WriteThrough(FGrowLimit - 1, &FHeldByte, 1);
  if (!written.error.Failed() && FLength >= 0) FLength = FGrowLimit;
  return written.error;
}

platform::TError TSparseFile::SetSize(std::int64_t size) {
  return platform::SetLength(FHandle, size);
}

void TSparseFile::Close() {
  if (IsOpen()) platform::CloseFile(FHandle);
  FHandle = platform::kInvalidHandle;
}
