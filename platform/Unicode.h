// UTF-8, the program's text, and UTF-16, the text of the Windows system calls; plain C++, shared
// by the back ends. A Windows name may hold a lone surrogate: it keeps the three-byte form UTF-8
// would give it, so every UTF-16 name comes back unchanged.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform::unicode {

constexpr char32_t kReplacement = 0xFFFD;

// The length of the UTF-8 sequence a lead byte starts; 0 for a byte that starts none.
std::size_t SequenceLength(unsigned char lead);

// The character that starts at `at`, which moves past it. A byte that starts no character
// comes out on its own as kReplacement.
char32_t DecodeAt(std::string_view text, std::size_t& at);

// Puts `point` as UTF-16 into `units` (room for two); returns how many it took.
std::size_t EncodeUtf16(char32_t point, char16_t* units);

std::u16string Utf16Of(std::string_view text);
std::string TextOf(std::u16string_view units);

// The columns a terminal gives a character: 2 for the wide ones of East Asia (and emoji), 0 for
// combining marks and other characters of no width, 1 for every other.
std::size_t ColumnsOf(char32_t point);

// `text` safe to show on a terminal: each control character (C0, DEL, C1) and each byte that is
// no UTF-8 becomes '?', so that no name can end or begin an escape sequence.
std::string Printable(std::string_view text);

}  // namespace platform::unicode
