// What the POSIX back end's source files share. Nothing above the platform layer includes this
// header.
#pragma once

#include <sys/types.h>

#include <cerrno>
#include <cstdint>

#include "platform/Platform.h"

namespace platform::posix {

// The Win32 code nearest to an errno value, with the errno behind it, whose text SystemMessage()
// gives.
TError ErrorFromErrno(int errnoValue);

inline int Descriptor(TFileHandle handle) { return static_cast<int>(handle.value); }

// Makes a system call again for as long as a signal interrupts it, and returns its result.
template <typename Call>
auto Retried(Call call) {
  decltype(call()) result;
  do {
    result = call();
  } while (result < 0 && errno == EINTR);
  return result;
}

inline TIoResult TransferResult(ssize_t count) {
  if (count < 0) return {0, ErrorFromErrno(errno)};
  return {static_cast<std::uint32_t>(count), {}};
}

// At start-up, once descriptors 0-2 are all taken: the file behind a standard stream counts as
// open, as a redirected output's file does on Windows, so it is never a destination.
void HoldStandardStreamFile(int fd);

}  // namespace platform::posix
