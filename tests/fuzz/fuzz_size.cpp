// The size argument on any bytes, with the double-byte code page on (first input byte odd)
// or off: compared with a plain reading of the rules that counts in 128 bits, so that every
// value beyond the signed 64-bit range, before or after the unit, is seen for what it is.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "SparseUtils/SizeParsing.h"
#include "tests/fake/FakePlatform.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

using Wide = __int128;

constexpr Wide kLargest = std::numeric_limits<std::int64_t>::max();

struct Unit {
  char letter;
  Wide multiplier;
};

constexpr Unit kUnits[] = {{'k', Wide{1} << 10}, {'K', Wide{1} << 10}, {'m', Wide{1} << 20},
                           {'M', Wide{1} << 20}, {'g', Wide{1} << 30}, {'G', Wide{1} << 30},
                           {'t', Wide{1} << 40}, {'T', Wide{1} << 40}};

bool IsDigit(char byte) { return byte >= '0' && byte <= '9'; }

std::string Digits(std::string_view text) {
  std::string digits;
  for (char byte : text) {
    if (IsDigit(byte)) digits += byte;
  }
  return digits;
}

// The digits' value, or -1 when it exceeds the signed 64-bit range.
Wide DigitsValue(const std::string& digits) {
  Wide value = 0;
  for (char digit : digits) {
    value = value * 10 + (digit - '0');
    if (value > kLargest) return -1;
  }
  return value;
}

// The multiplier of the first unit letter found as a character of its own, or 1.
Wide FirstUnit(std::string_view text, bool doubleByte) {
  for (const Unit& unit : kUnits) {
    if (ContainsCharacter(text, unit.letter, doubleByte)) return unit.multiplier;
  }
  return 1;
}

std::int64_t ReferenceSize(std::string_view text, bool doubleByte) {
  const Wide value = DigitsValue(Digits(text));
  if (value <= 0) return 0;
  const Wide size = value * FirstUnit(text, doubleByte);
  return size > kLargest ? 0 : static_cast<std::int64_t>(size);
}

std::string Describe(std::string_view text, std::int64_t got) {
  return "text: " + Hex(text) + "\ngot: " + std::to_string(got);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  const bool doubleByte = (input.Byte() & 1) != 0;
  const std::string text = input.Rest();
  fake::Reset();
  fake::SetDoubleByteCodePage(doubleByte);

  const std::string digits = ExtractDigits(text);
  FUZZ_CHECK(digits == Digits(text), "text: " + Hex(text));

  const std::int64_t result = StrToByteSize(text);
  FUZZ_CHECK(result >= 0, Describe(text, result));
  if (digits.empty()) FUZZ_CHECK(result == 0, Describe(text, result));

  const Wide unit = FirstUnit(text, doubleByte);
  const Wide value = DigitsValue(digits);
  if (unit == 1) FUZZ_CHECK(result == (value < 0 ? 0 : value), Describe(text, result));
  if (result > 0) FUZZ_CHECK(result % unit == 0, Describe(text, result));
  FUZZ_CHECK(result == ReferenceSize(text, doubleByte), Describe(text, result));
  return 0;
}
