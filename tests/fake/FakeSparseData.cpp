#include "tests/fake/FakeSparseData.h"

#include <algorithm>
#include <cstring>

namespace fake::detail {

namespace {

std::int64_t EndOf(const std::pair<const std::int64_t, std::string>& extent) {
  return extent.first + static_cast<std::int64_t>(extent.second.size());
}

}  // namespace

void SparseData::SetLength(std::int64_t length) {
  auto it = extents_.lower_bound(length);
  extents_.erase(it, extents_.end());
  if (!extents_.empty()) {
    auto& last = *extents_.rbegin();
    if (EndOf(last) > length) last.second.resize(static_cast<std::size_t>(length - last.first));
  }
  length_ = length;
}

void SparseData::Write(std::int64_t offset, const char* bytes, std::size_t count) {
  if (count == 0) return;
  const std::int64_t end = offset + static_cast<std::int64_t>(count);
  // The extents that overlap or touch [offset, end) merge into one.
  auto first = extents_.upper_bound(offset);
  if (first != extents_.begin() && EndOf(*std::prev(first)) >= offset) --first;
  auto last = extents_.upper_bound(end);
  std::int64_t mergedStart = offset;
  std::int64_t mergedEnd = end;
  for (auto it = first; it != last; ++it) {
    mergedStart = std::min(mergedStart, it->first);
    mergedEnd = std::max(mergedEnd, EndOf(*it));
  }
  std::string merged(static_cast<std::size_t>(mergedEnd - mergedStart), '\0');
  for (auto it = first; it != last; ++it) {
    merged.replace(static_cast<std::size_t>(it->first - mergedStart), it->second.size(),
                   it->second);
  }
  merged.replace(static_cast<std::size_t>(offset - mergedStart), count, bytes, count);
  extents_.erase(first, last);
  extents_.emplace(mergedStart, std::move(merged));
  length_ = std::max(length_, end);
}

std::size_t SparseData::Read(std::int64_t offset, char* out, std::size_t count) const {
  if (offset >= length_) return 0;
  const std::size_t available = static_cast<std::size_t>(
      std::min<std::int64_t>(static_cast<std::int64_t>(count), length_ - offset));
  const std::int64_t end = offset + static_cast<std::int64_t>(available);
  std::memset(out, 0, available);
  auto it = extents_.upper_bound(offset);
  if (it != extents_.begin()) --it;
  for (; it != extents_.end() && it->first < end; ++it) {
    const std::int64_t from = std::max(offset, it->first);
    const std::int64_t to = std::min(end, EndOf(*it));
    if (from >= to) continue;
    std::memcpy(out + (from - offset), it->second.data() + (from - it->first),
                static_cast<std::size_t>(to - from));
  }
  return available;
}

std::int64_t SparseData::AllocatedBytes() const {
  std::int64_t total = 0;
  for (const auto& extent : extents_) total += static_cast<std::int64_t>(extent.second.size());
  return total;
}

std::vector<ByteRange> SparseData::AllocatedRanges() const {
  std::vector<ByteRange> ranges;
  for (const auto& extent : extents_) ranges.push_back({extent.first, EndOf(extent)});
  return ranges;
}

}  // namespace fake::detail
