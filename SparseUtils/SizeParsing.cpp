#include "SparseUtils/SizeParsing.h"

#include <limits>

namespace {

constexpr std::int64_t kMaxSize = std::numeric_limits<std::int64_t>::max();

struct TUnitLetter {
  char letter;
  std::int64_t multiplier;
};

constexpr TUnitLetter kUnitLetters[] = {
    {'k', std::int64_t{1} << 10}, {'K', std::int64_t{1} << 10}, {'m', std::int64_t{1} << 20},
    {'M', std::int64_t{1} << 20}, {'g', std::int64_t{1} << 30}, {'G', std::int64_t{1} << 30},
    {'t', std::int64_t{1} << 40}, {'T', std::int64_t{1} << 40},
};

// The digits as a number, or 0 when there are none or they exceed the signed 64-bit range.
std::int64_t DigitsValue(const std::string& digits) {
  std::int64_t value = 0;
  for (char digit : digits) {
    const int d = digit - '0';
    if (value > (kMaxSize - d) / 10) return 0;
    value = value * 10 + d;
  }
  return value;
}

}  // namespace

std::string ExtractDigits(std::string_view text) {
  std::string digits;
  for (char byte : text) {
    if (byte >= '0' && byte <= '9') digits += byte;
  }
  return digits;
}

std::int64_t StrToByteSize(std::string_view text) {
  const std::int64_t value = DigitsValue(ExtractDigits(text));
  if (value <= 0) return value;
  for (const TUnitLetter& unit : kUnitLetters) {
    if (text.find(unit.letter) != std::string_view::npos) {
      return value > kMaxSize / unit.multiplier ? 0 : value * unit.multiplier;
    }
  }
  return value;
}
