// TSparseFile: writes one destination file, passing over every run of zero bytes by moving
// the file position instead of writing, so those ranges stay unallocated holes.
//
// The writer splits its input into runs; each run goes to one operation of its file: a zero
// run to MoveForward, a data run to WriteRun. The file operations (TDestinationFile in the
// program, a recorder in tests) keep the handle, the position and the first failure.
//
// File operations that declare kTakesWholeBlocks take the whole buffer in one WriteBlock
// call instead, with exactly the result its runs would have: one call per run costs far
// more than the run itself when zero bytes are scattered (executables, databases).
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "SparseUtils/DestinationFile.h"
#include "SparseUtils/ZeroScan.h"

template <class FileOps>
class TSparseFileWith {
 public:
  // Creates (or truncates) the file and marks it sparse. Failure shows in IsOpen/IsSparse.
  explicit TSparseFileWith(std::string fileName) : FFileName(std::move(fileName)) {
    if (FFile.Open(FFileName)) FSparse = FFile.MarkSparse();
  }
  ~TSparseFileWith() { Close(); }

  TSparseFileWith(const TSparseFileWith&) = delete;
  TSparseFileWith& operator=(const TSparseFileWith&) = delete;

  // Writes `count` bytes at the current position; zero runs are moved over.
  void Write(const void* buffer, std::int32_t count) {
    if (count <= 0) return;
    const auto* at = static_cast<const std::uint8_t*>(buffer);
    if constexpr (FileOps::kTakesWholeBlocks) {
      FFile.WriteBlock(at, static_cast<std::uint32_t>(count));
    } else {
      SplitIntoRuns(
          at, at + count, [this](std::int64_t length) { FFile.MoveForward(length); },
          [this](const std::uint8_t* data, std::uint32_t length) { FFile.WriteRun(data, length); });
    }
  }

  // Moves the position to `size`, which becomes the length when the file is closed.
  bool SetSize(std::int64_t size) {
    if (size <= 0) return false;
    FFile.MoveToOffset(size);
    return true;
  }

  // Sets the end of the file at the position reached and closes it (once). True when the
  // file was open and every operation on it succeeded; otherwise Failure() tells why.
  bool Close() { return FFile.SetEndAndClose(); }

  bool IsOpen() const { return FFile.IsOpen(); }
  bool IsSparse() const { return FSparse; }
  platform::ErrorCode Failure() const { return FFile.Failure(); }
  const std::string& FileName() const { return FFileName; }
  FileOps& File() { return FFile; }

 private:
  std::string FFileName;
  bool FSparse = false;
  FileOps FFile;
};

using TSparseFile = TSparseFileWith<TDestinationFile>;
