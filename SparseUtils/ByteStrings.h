// Byte-string helpers shared by every layer. Texts are bytes in the ANSI code page; where
// a double-byte code page is in use, a character's second byte is never taken for a
// delimiter or a letter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

// Index of the character after the one starting at `index` (a lead byte and its trail
// byte step together).
std::size_t NextCharIndex(std::string_view text, std::size_t index);

// True when the byte at `index` is the second byte of a double-byte character.
bool IsTrailByteAt(std::string_view text, std::size_t index);

// Index of the last single-byte character of `text` that is one of `delimiters`, or npos.
std::size_t LastDelimiterIndex(std::string_view text, std::string_view delimiters);

// Lower-cases the ASCII letters A-Z only; every other byte stays.
std::string LowerAscii(std::string_view text);

// Equal when of the same length and equal with A-Z folded to a-z.
bool SameTextAscii(std::string_view a, std::string_view b);

// Fills "%s", "%d" and "%p" placeholders of `pattern` with `values`, in order.
std::string FormatText(std::string_view pattern, std::initializer_list<std::string_view> values);

// Decimal digits of `value`, grouped in threes from the right and joined by `separator`.
std::string GroupThousands(std::uint64_t value, std::string_view separator);
