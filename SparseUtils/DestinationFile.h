// The file operations under the sparse writer: open and mark sparse, move forward, write,
// move to an offset, set the end and close.
//
// Every failure is kept: the first one stops all further moves and writes, so no data can
// land at a wrong offset, and the file's end is then set at the last position known to be
// right, never at a length that would pretend the rest is there.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Platform.h"

class TDestinationFile {
 public:
  TDestinationFile() = default;
  ~TDestinationFile() { SetEndAndClose(); }

  TDestinationFile(const TDestinationFile&) = delete;
  TDestinationFile& operator=(const TDestinationFile&) = delete;

  // Creates or truncates the file, opened without sharing. False when it cannot be opened.
  bool Open(const std::string& path);
  // Asks the file system to keep the file sparse; false when it refuses.
  bool MarkSparse();

  void MoveForward(std::int64_t distance);
  void WriteRun(const std::uint8_t* data, std::uint32_t count);
  void MoveToOffset(std::int64_t offset);

  // Sets the end at the position reached (or, after a failure, at the last position known
  // to be right) and closes the file. True when the file was open and nothing failed.
  // Further calls return the same answer.
  bool SetEndAndClose();

  bool IsOpen() const { return handle_.IsValid(); }
  // The first failure's system code, or kErrorSuccess.
  platform::ErrorCode Failure() const { return failure_; }

 private:
  bool Usable() const { return handle_.IsValid() && failure_ == platform::kErrorSuccess; }
  void Fail(platform::ErrorCode code);
  void AcceptMove(const platform::SeekResult& moved);

  platform::FileHandle handle_;
  bool wasOpened_ = false;
  std::int64_t position_ = 0;  // every byte before it is where it belongs
  platform::ErrorCode failure_ = platform::kErrorSuccess;
};
