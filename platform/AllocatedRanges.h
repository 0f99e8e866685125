// What Windows' answer to FSCTL_QUERY_ALLOCATED_RANGES says of where a file's data lies. Plain
// C++, used by the Win32 back end and tested on every build.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Platform.h"

namespace platform::ranges {

// File attributes, as Windows numbers them.
constexpr std::uint32_t kSparse = 0x200;
constexpr std::uint32_t kReparsePoint = 0x400;
constexpr std::uint32_t kOffline = 0x1000;
constexpr std::uint32_t kRecallOnOpen = 0x40000;
constexpr std::uint32_t kRecallOnDataAccess = 0x400000;

// True when the allocated ranges of a file with these attributes tell where its data lies: it
// is sparse (any other file is all data) and its data is all on the disk. The data of a file that
// is offline, to be recalled, or a reparse point (a cloud sync client's placeholder, say) may be
// elsewhere, and reading it is what brings it down.
bool RangesTellData(std::uint32_t attributes);

// One entry of an answer, as FILE_ALLOCATED_RANGE_BUFFER has it.
struct TAllocatedRange {
  std::int64_t offset = 0;
  std::int64_t length = 0;
};

// The first data range that ends after `offset` in a file of `size` bytes, from the answer to a
// query from `offset` to the end: `count` entries, `complete` false where the system said there
// were more (ERROR_MORE_DATA). Entries that end at or before `offset` are passed over, as the
// system rounds the query's start down. An answer that says nothing of what follows `offset`, or
// makes no sense, tells nothing: the rest of the file must be read.
TDataRange DataRangeOfAnswer(std::int64_t offset, std::int64_t size, const TAllocatedRange* entries,
                             std::size_t count, bool complete);

}  // namespace platform::ranges
