// What the POSIX back end's two source files share. Nothing above the platform layer
// includes this header.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Platform.h"

namespace platform::posix {

// The Win32 code nearest to an errno value, with the errno behind it, whose text SystemMessage()
// gives.
TError ErrorFromErrno(int errnoValue);

// True when the last component of `path` holds '*' or '?', which never name a file.
bool HasWildcardInLastComponent(std::string_view path);

}  // namespace platform::posix
