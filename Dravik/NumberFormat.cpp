#include "Dravik/NumberFormat.h"

#include "SparseUtils/ByteStrings.h"
#include "platform/Platform.h"

namespace {
std::string thousandsSeparator = ",";
}

void InitNumberFormat() { thousandsSeparator = platform::ThousandsSeparator(); }

std::string FormatByteCount(std::int64_t value) {
  return GroupThousands(static_cast<std::uint64_t>(value), thousandsSeparator);
}
