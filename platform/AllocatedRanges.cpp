#include "platform/AllocatedRanges.h"

#include <algorithm>
#include <limits>

namespace platform::ranges {

bool RangesTellData(std::uint32_t attributes) {
  constexpr std::uint32_t kDataElsewhere =
      kReparsePoint | kOffline | kRecallOnOpen | kRecallOnDataAccess;
  return (attributes & kSparse) != 0 && (attributes & kDataElsewhere) == 0;
}

// Ranges that make sense come in file order, each of some length, none over another, and start
// inside the file: an answer with one that does not is not trusted at all, since an entry out of
// place may be data that an earlier one seems to pass over.
TDataRange DataRangeOfAnswer(std::int64_t offset, std::int64_t size, const TAllocatedRange* entries,
                             std::size_t count, bool complete) {
  std::int64_t end = 0;  // of the entry before
  for (std::size_t at = 0; at < count; ++at) {
    const TAllocatedRange& entry = entries[at];
    if (entry.offset < end || entry.offset >= size || entry.length <= 0 ||
        entry.length > std::numeric_limits<std::int64_t>::max() - entry.offset) {
      return {};
    }
    end = entry.offset + entry.length;
  }
  for (std::size_t at = 0; at < count; ++at) {
    const TAllocatedRange& entry = entries[at];
    if (entry.offset + entry.length > offset) {
      return {true, std::max(entry.offset, offset), std::min(entry.offset + entry.length, size)};
    }
  }
  if (!complete) return {};
  return {true, size, size};  // nothing is allocated after `offset`
}

}  // namespace platform::ranges
