#include "platform/Unicode.h"

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

}  // namespace platform::unicode
