// Byte ranges of the fake's files, as the fuzz targets compare them: merged, counted in
// allocation units, and written out for a failed check.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/fake/FakePlatform.h"

using Ranges = std::vector<fake::ByteRange>;

// Sorted ranges joined where they overlap or touch.
inline Ranges Merged(Ranges ranges) {
  std::sort(ranges.begin(), ranges.end(),
            [](const fake::ByteRange& a, const fake::ByteRange& b) { return a.start < b.start; });
  Ranges merged;
  for (const fake::ByteRange& range : ranges) {
    if (!merged.empty() && range.start <= merged.back().end) {
      merged.back().end = std::max(merged.back().end, range.end);
    } else {
      merged.push_back(range);
    }
  }
  return merged;
}

// The allocation units the ranges touch, as ranges of unit numbers.
inline Ranges UnitsOf(const Ranges& ranges, std::int64_t unit) {
  Ranges units;
  for (const fake::ByteRange& range : ranges) {
    if (range.end > range.start) units.push_back({range.start / unit, (range.end - 1) / unit + 1});
  }
  return Merged(units);
}

inline std::string Describe(const Ranges& ranges) {
  std::string text;
  for (const fake::ByteRange& range : ranges) {
    text += " [" + std::to_string(range.start) + "," + std::to_string(range.end) + ")";
  }
  return text;
}
