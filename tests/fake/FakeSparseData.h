// A file's content held sparsely: its length and the extents that were ever written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tests/fake/FakePlatform.h"

namespace fake::detail {

class SparseData {
 public:
  std::int64_t Length() const { return length_; }
  // Truncates (dropping the extents beyond) or extends with a hole.
  void SetLength(std::int64_t length);
  // Stores the bytes at `offset`, allocating them, and extends the length to cover them.
  void Write(std::int64_t offset, const char* bytes, std::size_t count);
  // Copies up to `count` bytes from `offset`, holes as zeros; returns how many (0 at the end).
  std::size_t Read(std::int64_t offset, char* out, std::size_t count) const;
  std::int64_t AllocatedBytes() const;
  std::vector<ByteRange> AllocatedRanges() const;

 private:
  // Extents never overlap nor touch: a write next to one merges with it.
  std::map<std::int64_t, std::string> extents_;
  std::int64_t length_ = 0;
};

}  // namespace fake::detail
