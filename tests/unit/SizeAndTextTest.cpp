// The size argument and the number format of the create command.
#include <cstdint>
#include <string>

#include "SparseUtils/SizeParsing.h"
#include "SparseUtils/Text.h"
#include "tests/unit/TestSupport.h"

namespace {

constexpr std::int64_t kKiB = 1024;
constexpr std::int64_t kGiB = kKiB * kKiB * kKiB;
constexpr std::int64_t kTiB = kGiB * kKiB;

TEST_F(FakeTest, StrToByteSizeReadsDigitsAndTheFirstUnitLetter) {
  const std::pair<std::string, std::int64_t> cases[] = {
      {"100", 100},
      {"100K", 100 * kKiB},
      {"100k", 100 * kKiB},
      {"1.5G", 15 * kGiB},
      {"-5", 5},
      {"1 G", kGiB},
      {"10kb", 10240},
      {"2MK", 2048},
      {"3 gigabytes", 3 * kGiB},
      {"5 bytes", 5 * kTiB},
      {"8E", 8},
      {"0K", 0},
      {"", 0},
      {"K", 0},
      {"007", 7},
      {"100000000000000000000", 0},
      {"9223372036854775807", INT64_MAX},
      {"9223372036854775808", 0},
      {"8388607T", 8388607 * kTiB},
      {"8388608T", 0},  // beyond the signed 64-bit range after the multiplication
      {"16777217T", 0},
      {"9007199254740992K", 0},
      // Code page 932: 4B is the trail byte of ガ (83 4B), not the letter K.
      {"10\x83\x4B", 10},
      {"10\x83\x4Bk", 10 * kKiB},
      {"\x82\x50\x82\x4F", 0},  // full-width digits are no digits
  };
  for (const auto& [text, size] : cases) EXPECT_EQ(StrToByteSize(text), size) << text;
}

TEST_F(FakeTest, WithoutDoubleByteCodePageEveryByteIsALetter) {
  fake::SetDoubleByteCodePage(false);
  EXPECT_EQ(StrToByteSize("10\x83\x4B"), 10 * kKiB);
}

TEST_F(FakeTest, ExtractDigitsKeepsTheDigitsInOrder) {
  EXPECT_EQ(ExtractDigits("a1b2 3-4.5\x82\x4F"), "12345");
}

TEST_F(FakeTest, GroupThousandsGroupsByThree) {
  const std::tuple<std::uint64_t, const char*, const char*> cases[] = {
      {1, ",", "1"},
      {999, ",", "999"},
      {1000, ",", "1,000"},
      {10240, ",", "10,240"},
      {10 * static_cast<std::uint64_t>(kGiB), ",", "10,737,418,240"},
      {1234567, ".", "1.234.567"},
      {1234567, "", "1234567"},
      {INT64_MAX, ",", "9,223,372,036,854,775,807"}};
  for (const auto& [value, separator, text] : cases) {
    EXPECT_EQ(GroupThousands(value, separator), text);
  }
}

}  // namespace
