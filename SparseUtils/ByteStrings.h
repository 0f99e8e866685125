// Helpers for the program's texts, which are UTF-8: no byte of a character of several bytes is
// an ASCII byte, so a delimiter, a quote or a letter is found byte by byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

// The length of `text` less a character cut off at its end: the first bytes of a UTF-8
// sequence whose other bytes are still to come.
std::size_t WholeCharactersLength(std::string_view text);

// Lower-cases the ASCII letters A-Z only; every other byte stays.
std::string LowerAscii(std::string_view text);

// Equal when of the same length and equal with A-Z folded to a-z.
bool SameTextAscii(std::string_view a, std::string_view b);

// Fills "%s", "%d" and "%p" placeholders of `pattern` with `values`, in order.
std::string FormatText(std::string_view pattern, std::initializer_list<std::string_view> values);

// Decimal digits of `value`, grouped in threes from the right and joined by `separator`.
std::string GroupThousands(std::uint64_t value, std::string_view separator);
