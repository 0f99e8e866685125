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

}  // namespace platform::unicode
