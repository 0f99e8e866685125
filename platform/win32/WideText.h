// The program's text and the system's UTF-16. Inside the program every text is UTF-8; a name
// may hold a lone surrogate, which Windows allows, and which is kept in the three-byte form UTF-8
// would give it, so every UTF-16 name comes back unchanged. Plain C++: no system call.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform::wide {

constexpr char32_t kReplacement = 0xFFFD;

// The character that starts at `at`, which moves past it. A byte that starts no character
// comes out on its own as kReplacement.
char32_t DecodeAt(std::string_view text, std::size_t& at);

// Puts `point` as UTF-16 into `units` (room for two); returns how many it took.
std::size_t EncodeUtf16(char32_t point, char16_t* units);

std::u16string Utf16Of(std::string_view text);
std::string TextOf(std::u16string_view units);

}  // namespace platform::wide
