#include "platform/Unicode.h"

#include <algorithm>

namespace platform::unicode {
namespace {

bool IsHighSurrogate(char32_t unit) { return unit >= 0xD800 && unit < 0xDC00; }
bool IsLowSurrogate(char32_t unit) { return unit >= 0xDC00 && unit < 0xE000; }

// Puts `point` as UTF-8 into `bytes` (room for four); returns how many it took.
std::size_t EncodeUtf8(char32_t point, char* bytes) {
  if (point < 0x80) {
    bytes[0] = static_cast<char>(point);
    return 1;
  }
  const std::size_t length = point < 0x800 ? 2 : point < 0x10000 ? 3 : 4;
  const unsigned char leads[] = {0, 0, 0xC0, 0xE0, 0xF0};
  for (std::size_t at = length - 1; at > 0; --at, point >>= 6) {
    bytes[at] = static_cast<char>(0x80 | (point & 0x3F));
  }
  bytes[0] = static_cast<char>(leads[length] | point);
  return length;
}

}  // namespace

std::size_t SequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead < 0xE0) return 2;
  if (lead >= 0xE0 && lead < 0xF0) return 3;
  if (lead >= 0xF0 && lead < 0xF5) return 4;
  return 0;
}

char32_t DecodeAt(std::string_view text, std::size_t& at) {
  const auto byte = [&text](std::size_t index) { return static_cast<unsigned char>(text[index]); };
  const std::size_t length = SequenceLength(byte(at));
  if (length == 1) return byte(at++);
  if (length == 0 || at + length > text.size()) {
    ++at;
    return kReplacement;
  }
  char32_t point = byte(at) & (0x7F >> length);
  for (std::size_t next = 1; next < length; ++next) {
    if ((byte(at + next) & 0xC0) != 0x80) {
      ++at;
      return kReplacement;
    }
    point = point << 6 | (byte(at + next) & 0x3F);
  }
  const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};  // no longer form than needed
  if (point < least[length] || point > 0x10FFFF) {
    ++at;
    return kReplacement;
  }
  at += length;
  return point;
}

std::size_t EncodeUtf16(char32_t point, char16_t* units) {
  if (point < 0x10000) {
    units[0] = static_cast<char16_t>(point);
    return 1;
  }
  point -= 0x10000;
  units[0] = static_cast<char16_t>(0xD800 + (point >> 10));
  units[1] = static_cast<char16_t>(0xDC00 + (point & 0x3FF));
  return 2;
}

std::u16string Utf16Of(std::string_view text) {
  std::u16string units;
  units.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    char16_t pair[2];
    units.append(pair, EncodeUtf16(DecodeAt(text, at), pair));
  }
  return units;
}

std::string TextOf(std::u16string_view units) {
  std::string text;
  for (std::size_t at = 0; at < units.size(); ++at) {
    char32_t point = units[at];
    if (IsHighSurrogate(point) && at + 1 < units.size() && IsLowSurrogate(units[at + 1])) {
      point = 0x10000 + ((point - 0xD800) << 10) + (units[++at] - 0xDC00);
    }
    char bytes[4];
    text.append(bytes, EncodeUtf8(point, bytes));
  }
  return text;
}

namespace {

struct TRange {
  char32_t first, last;
};

// Characters of no width: combining marks, joiners and other format characters, variation
// selectors, and the Hangul vowels and finals that join the syllable before them.
constexpr TRange kNoWidth[] = {
    {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x05BF, 0x05BF}, {0x05C1, 0x05C2},
    {0x05C4, 0x05C5}, {0x05C7, 0x05C7}, {0x0610, 0x061A}, {0x064B, 0x065F}, {0x0670, 0x0670},
    {0x06D6, 0x06DC}, {0x06DF, 0x06E4}, {0x06E7, 0x06E8}, {0x06EA, 0x06ED}, {0x0E31, 0x0E31},
    {0x0E34, 0x0E3A}, {0x0E47, 0x0E4E}, {0x1160, 0x11FF}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF},
    {0x200B, 0x200F}, {0x202A, 0x202E}, {0x2060, 0x2064}, {0x20D0, 0x20FF}, {0x302A, 0x302F},
    {0x3099, 0x309A}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F}, {0xFEFF, 0xFEFF}, {0xE0000, 0xE0FFF},
};

// East Asian wide and full-width characters, and emoji shown as pictures.
constexpr TRange kWide[] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC},
    {0x23F0, 0x23F0},   {0x23F3, 0x23F3},   {0x25FD, 0x25FE},   {0x2614, 0x2615},
    {0x2648, 0x2653},   {0x267F, 0x267F},   {0x2693, 0x2693},   {0x26A1, 0x26A1},
    {0x26AA, 0x26AB},   {0x26BD, 0x26BE},   {0x26C4, 0x26C5},   {0x26CE, 0x26CE},
    {0x26D4, 0x26D4},   {0x26EA, 0x26EA},   {0x26F2, 0x26F3},   {0x26F5, 0x26F5},
    {0x26FA, 0x26FA},   {0x26FD, 0x26FD},   {0x2705, 0x2705},   {0x270A, 0x270B},
    {0x2728, 0x2728},   {0x274C, 0x274C},   {0x274E, 0x274E},   {0x2753, 0x2755},
    {0x2757, 0x2757},   {0x2795, 0x2797},   {0x27B0, 0x27B0},   {0x27BF, 0x27BF},
    {0x2B1B, 0x2B1C},   {0x2B50, 0x2B50},   {0x2B55, 0x2B55},   {0x2E80, 0x3029},
    {0x3030, 0x303E},   {0x3041, 0x3098},   {0x309B, 0x33FF},   {0x3400, 0x4DBF},
    {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},   {0xA960, 0xA97F},   {0xAC00, 0xD7A3},
    {0xF900, 0xFAFF},   {0xFE10, 0xFE19},   {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},
    {0xFFE0, 0xFFE6},   {0x16FE0, 0x16FE4}, {0x17000, 0x18AFF}, {0x1B000, 0x1B2FF},
    {0x1F004, 0x1F004}, {0x1F0CF, 0x1F0CF}, {0x1F18E, 0x1F18E}, {0x1F191, 0x1F19A},
    {0x1F200, 0x1F251}, {0x1F300, 0x1F64F}, {0x1F680, 0x1F6FF}, {0x1F7E0, 0x1F7EB},
    {0x1F90C, 0x1F9FF}, {0x1FA70, 0x1FAFF}, {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
};

template <std::size_t Count>
bool IsIn(const TRange (&ranges)[Count], char32_t point) {
  const TRange* range = std::lower_bound(ranges, ranges + Count, point,
                                         [](const TRange& r, char32_t p) { return r.last < p; });
  return range != ranges + Count && range->first <= point;
}

}  // namespace

std::size_t ColumnsOf(char32_t point) {
  if (point < kNoWidth[0].first) return 1;
  if (IsIn(kNoWidth, point)) return 0;
  return IsIn(kWide, point) ? 2 : 1;
}

std::string Printable(std::string_view text) {
  std::string shown;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t start = at;
    const char32_t point = DecodeAt(text, at);
    const bool control = point < 0x20 || (point >= 0x7F && point < 0xA0);
    const bool invalid = point == kReplacement || (point >= 0xD800 && point < 0xE000);
    if (control || invalid) {
      shown += '?';
    } else {
      shown.append(text, start, at - start);
    }
  }
  return shown;
}

}  // namespace platform::unicode
