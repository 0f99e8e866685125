// Sizes as the user reads them: digits in groups of three, joined by the locale's
// thousands separator, which is read once at start-up.
#pragma once

#include <cstdint>
#include <string>

// Reads the locale's thousands separator.
void InitNumberFormat();

// `value` (> 0) in groups of three digits.
std::string FormatByteCount(std::int64_t value);
