// TSourceStream: the copy's source, opened for reading only and sharing read and write with
// other programs.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Platform.h"

class TSourceStream {
 public:
  // Opens `fileName`; raises EFOpenError when it cannot be opened.
  explicit TSourceStream(const std::string& fileName);
  ~TSourceStream();

  TSourceStream(const TSourceStream&) = delete;
  TSourceStream& operator=(const TSourceStream&) = delete;

  // Reads up to `count` bytes. Fewer than `count` only at the end of the file: a system
  // read that returns short is followed by another. Raises EReadError when a read fails.
  std::int32_t Read(void* buffer, std::int32_t count);

 private:
  std::string fileName_;
  platform::FileHandle handle_;
};

// The full path of `fileName` as the system resolves it, for error messages.
std::string FullPathForMessage(const std::string& fileName);
