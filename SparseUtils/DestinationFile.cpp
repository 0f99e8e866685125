#include "SparseUtils/DestinationFile.h"

bool TDestinationFile::Open(const std::string& path) {
  const platform::OpenResult opened = platform::CreateTruncated(path);
  handle_ = opened.handle;
  wasOpened_ = handle_.IsValid();
  return wasOpened_;
}

bool TDestinationFile::MarkSparse() {
  return IsOpen() && platform::MarkSparse(handle_) == platform::kErrorSuccess;
}

void TDestinationFile::Fail(platform::ErrorCode code) {
  if (failure_ == platform::kErrorSuccess) failure_ = code;
}

void TDestinationFile::AcceptMove(const platform::SeekResult& moved) {
  if (moved.ok) {
    position_ = moved.position;
  } else {
    Fail(moved.error);
  }
}

void TDestinationFile::MoveForward(std::int64_t distance) {
  if (Usable()) AcceptMove(platform::MoveBy(handle_, distance));
}

void TDestinationFile::MoveToOffset(std::int64_t offset) {
  if (Usable()) AcceptMove(platform::MoveTo(handle_, offset));
}

void TDestinationFile::WriteRun(const std::uint8_t* data, std::uint32_t count) {
  if (!Usable()) return;
  const platform::IoResult written = platform::WriteBytes(handle_, data, count);
  if (written.ok) position_ += written.bytes;
  if (!written.ok) {
    Fail(written.error);
  } else if (written.bytes < count) {
    Fail(platform::kErrorDiskFull);  // a short write leaves no room for the rest
  }
}

bool TDestinationFile::SetEndAndClose() {
  if (!handle_.IsValid()) return wasOpened_ && failure_ == platform::kErrorSuccess;
  bool atKnownPosition = true;
  if (failure_ != platform::kErrorSuccess) {
    atKnownPosition = platform::MoveTo(handle_, position_).ok;
  }
  if (atKnownPosition) {
    const platform::ErrorCode ended = platform::SetEndHere(handle_);
    if (ended != platform::kErrorSuccess) Fail(ended);
  }
  platform::CloseFile(handle_);
  handle_ = platform::kInvalidHandle;
  return failure_ == platform::kErrorSuccess;
}
