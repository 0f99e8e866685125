// What the POSIX back end's two source files share. Nothing above the platform layer
// includes this header.
#pragma once

#include <cstdint>

#include "platform/Platform.h"

namespace platform::posix {

// The Win32 code nearest to an errno value, with the errno behind it, whose text SystemMessage()
// gives.
TError ErrorFromErrno(int errnoValue);

}  // namespace platform::posix
