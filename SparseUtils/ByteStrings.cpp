#include "SparseUtils/ByteStrings.h"

#include "platform/Unicode.h"

std::size_t WholeCharactersLength(std::string_view text) {
  // The last byte that is no continuation byte (10xxxxxx), at most three back.
  std::size_t lead = text.size();
  while (lead > 0 && text.size() - lead < 3 &&
         (static_cast<unsigned char>(text[lead - 1]) & 0xC0) == 0x80) {
    --lead;
  }
  if (lead == 0) return text.size();
  const std::size_t length =
      platform::unicode::SequenceLength(static_cast<unsigned char>(text[lead - 1]));
  return lead - 1 + length > text.size() ? lead - 1 : text.size();
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
