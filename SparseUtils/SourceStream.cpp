#include "SparseUtils/SourceStream.h"

#include "SparseUtils/SystemErrorText.h"
#include "SparseUtils/Text.h"
#include "SparseUtils/Texts.h"
#include "failure/Errors.h"

std::string FullPathForMessage(const std::string& fileName) {
  std::string fullPath;
  return platform::FullPathOf(fileName, fullPath) ? fullPath : fileName;
}

TSourceStream::TSourceStream(const std::string& fileName) : fileName_(fileName) {
  const platform::OpenResult opened = platform::OpenForReading(fileName);
  if (!opened.handle.IsValid()) {
    Raise(EFOpenError(FormatText(texts::kOpenFailed,
                                 {FullPathForMessage(fileName), SystemErrorText(opened.error)})));
  }
  handle_ = opened.handle;
}

TSourceStream::~TSourceStream() { platform::CloseFile(handle_); }

std::int32_t TSourceStream::Read(void* buffer, std::int32_t count) {
  auto* into = static_cast<std::uint8_t*>(buffer);
  std::int32_t filled = 0;
  while (filled < count) {
    const platform::IoResult read =
        platform::ReadBytes(handle_, into + filled, static_cast<std::uint32_t>(count - filled));
    if (!read.ok) {
      Raise(EReadError(FormatText(texts::kReadFailed,
                                  {FullPathForMessage(fileName_), SystemErrorText(read.error)})));
    }
    if (read.bytes == 0) break;
    filled += static_cast<std::int32_t>(read.bytes);
  }
  return filled;
}
