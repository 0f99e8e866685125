// The size argument of the create command: digits with an optional K, M, G or T.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The ASCII digits of `text`, in their order.
std::string ExtractDigits(std::string_view text);

// The size in bytes that `text` names, or 0 when it names none: the digits of the text
// read as one number, multiplied by the first unit letter found anywhere in it
// (k K m M g G t T, tried in that order). A value beyond the signed 64-bit range, before
// or after the multiplication, gives 0.
std::int64_t StrToByteSize(std::string_view text);
