#include "SparseUtils/ByteStrings.h"

#include "platform/Platform.h"

std::size_t NextCharIndex(std::string_view text, std::size_t index) {
  const bool doubleByte =
      platform::IsLeadByte(static_cast<unsigned char>(text[index])) && index + 1 < text.size();
  return index + (doubleByte ? 2 : 1);
}

bool IsTrailByteAt(std::string_view text, std::size_t index) {
  std::size_t at = 0;
  while (at < index) at = NextCharIndex(text, at);
  return at != index;
}

std::size_t LastDelimiterIndex(std::string_view text, std::string_view delimiters) {
  std::size_t found = std::string_view::npos;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t next = NextCharIndex(text, at);
    if (next == at + 1 && delimiters.find(text[at]) != std::string_view::npos) found = at;
    at = next;
  }
  return found;
}

static char LowerAsciiByte(char byte) {
  return (byte >= 'A' && byte <= 'Z') ? static_cast<char>(byte + ('a' - 'A')) : byte;
}

std::string LowerAscii(std::string_view text) {
  std::string lowered(text);
  for (char& byte : lowered) byte = LowerAsciiByte(byte);
  return lowered;
}

bool SameTextAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerAsciiByte(a[i]) != LowerAsciiByte(b[i])) return false;
  }
  return true;
}

std::string FormatText(std::string_view pattern, std::initializer_list<std::string_view> values) {
  std::string result;
  auto value = values.begin();
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const bool placeholder = pattern[i] == '%' && i + 1 < pattern.size() &&
                             std::string_view("sdp").find(pattern[i + 1]) != std::string_view::npos;
    if (placeholder && value != values.end()) {
      result += *value++;
      ++i;
    } else {
      result += pattern[i];
    }
  }
  return result;
}

std::string GroupThousands(std::uint64_t value, std::string_view separator) {
  const std::string digits = std::to_string(value);
  std::string grouped;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) grouped += separator;
    grouped += digits[i];
  }
  return grouped;
}
