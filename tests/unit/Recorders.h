// Stand-ins that record what the copy hands to its source stream and to the writer's file
// operations, the interfaces whose call pattern the copy and the writer promise.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "SparseUtils/SourceStream.h"
#include "SparseUtils/SparseFile.h"

// Records what the writer hands to its file operations: "open", "sparse", "write n",
// "move n", "moveto n", "close".
class RecordingOps {
 public:
  static constexpr bool kTakesWholeBlocks = false;

  bool Open(const std::string& path) {
    log.push_back("open " + path);
    opened = opens;
    return opened;
  }
  bool MarkSparse() {
    log.push_back("sparse");
    return true;
  }
  void MoveForward(std::int64_t distance) { log.push_back("move " + std::to_string(distance)); }
  void WriteRun(const std::uint8_t* data, std::uint32_t count) {
    log.push_back("write " + std::to_string(count));
    written.append(reinterpret_cast<const char*>(data), count);
  }
  void MoveToOffset(std::int64_t offset) { log.push_back("moveto " + std::to_string(offset)); }
  bool SetEndAndClose() {
    log.push_back("close");
    return true;
  }
  bool IsOpen() const { return opened; }
  platform::ErrorCode Failure() const { return 0; }

  static inline bool opens = true;  // whether the next Open succeeds
  bool opened = false;
  std::vector<std::string> log;
  std::string written;
};

using Log = std::vector<std::string>;
using RecordingWriter = TSparseFileWith<RecordingOps>;

// The real source stream, with every count it hands to the copy recorded.
class RecordingSource : public TSourceStream {
 public:
  explicit RecordingSource(const std::string& fileName) : TSourceStream(fileName) {}
  std::int32_t Read(const std::uint8_t*& block, std::int32_t count) {
    const std::int32_t read = TSourceStream::Read(block, count);
    reads.push_back(read);
    return read;
  }
  static inline std::vector<std::int32_t> reads;
};
