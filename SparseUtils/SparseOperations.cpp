#include "SparseUtils/SparseOperations.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "SparseUtils/ByteStrings.h"
#include "SparseUtils/CopyWatch.h"
#include "SparseUtils/Paths.h"
#include "SparseUtils/ProgramTexts.h"
#include "SparseUtils/SparseFile.h"
#include "SparseUtils/SystemErrorText.h"
#include "failure/Errors.h"
#include "platform/Platform.h"

namespace {

// The copy goes through the file in chunks of this size, each read, scanned and written on
// its own; where there are two workers, they take the chunks in turn.
constexpr std::int64_t kChunkBytes = 512 << 10;
constexpr std::size_t kPageBytes = 4096;
constexpr std::int64_t kNoEnd = std::numeric_limits<std::int64_t>::max();

std::int64_t RoundDown(std::int64_t offset, std::int64_t unit) { return offset - offset % unit; }

// Where the source's data lies, as far as one worker last asked: from `askedAt`, no data
// before `start`, data in [start, end). Both ends lie on the destination's units, so a unit
// is read either not at all or in full, though a unit larger than a chunk is read a chunk's
// part at a time.
struct TDataAhead {
  std::int64_t askedAt = 0;
  std::int64_t start = 0;
  std::int64_t end = 0;
};

// The copy's source, opened for reading only and sharing read and write with other programs.
class TSourceFile {
 public:
  // Raises EFOpenError when the file cannot be opened.
  explicit TSourceFile(const std::string& fileName) : FFileName(fileName) {
    const platform::TOpenResult opened = platform::OpenForReading(fileName);
    if (!opened.handle.IsValid()) RaiseOpenError(FullPathForMessage(fileName), opened.error);
    FHandle = opened.handle;
  }
  ~TSourceFile() { platform::CloseFile(FHandle); }

  TSourceFile(const TSourceFile&) = delete;
  TSourceFile& operator=(const TSourceFile&) = delete;

  const std::string& FileName() const { return FFileName; }
  std::int64_t Size() const { return platform::SizeOfFile(FHandle); }

  // Learns where the data at or after `offset` lies, unless `ahead` already tells. Where
  // the file system cannot tell, and past the last data it knows of, everything counts as
  // data: the end of the file is found by reading.
  void FindData(std::int64_t offset, std::size_t unit, TDataAhead& ahead) const {
    if (offset >= ahead.askedAt && offset < ahead.end) return;
    const platform::TDataRange range = platform::NextDataRange(FHandle, offset);
    const bool dataFollows = range.known && range.start < range.end;
    ahead.askedAt = offset;
    const auto unitBytes = static_cast<std::int64_t>(unit);
    ahead.start = range.known ? RoundDown(range.start, unitBytes) : offset;
    ahead.end = dataFollows ? RoundDown(range.end + unitBytes - 1, unitBytes) : kNoEnd;
  }

  // Reads `count` bytes at `offset`; fewer only at the end of the file or a failure.
  TTransfer Read(std::int64_t offset, std::uint8_t* into, std::size_t count) const {
    TTransfer read;
    while (read.done < count) {
      const platform::TIoResult result =
          platform::ReadAt(FHandle, offset + static_cast<std::int64_t>(read.done), into + read.done,
                           static_cast<std::uint32_t>(count - read.done));
      read.error = result.error;
      if (result.error.Failed() || result.bytes == 0) break;
      read.done += result.bytes;
    }
    return read;
  }

 private:
  std::string FFileName;
  platform::TFileHandle FHandle;
};

// Where a copy stopped: at the end of the source, or at its first failure in file order.
struct TCopyStop {
  enum TKind { kEndOfSource, kReadFailed, kWriteFailed };
  std::int64_t position = kNoEnd;
  TKind kind = kEndOfSource;
  platform::TError error;
};

// The chunks of one copy, handed out in file order to one or two workers. Whatever stops
// one worker stops the others at the same place: no chunk past the stop is begun.
//
// Why the stop first in file order wins, however the workers interleave:
// - chunks are taken in file order under the lock, so every chunk before a taken one is taken;
// - a worker stops only inside its own chunk, where its first failure (or the end) struck, and
//   records that offset; StopAt keeps the lowest offset, in whatever order they arrive;
// - a worker looks at the stop before each piece and leaves a chunk only at or past it, so
//   every chunk wholly before the lowest stop is finished, and the stopping chunk is written
//   up to the stop: when the workers are done, every byte before the stop is in place;
// - bytes written past the stop (by a worker that had not yet seen it) are cut off with the
//   length, which is set to the stop.
//
// An interrupt lets each worker finish the chunk it is on and hands out no more, so every chunk
// handed out is copied when the workers are done.
class TCopyJob {
 public:
  TCopyJob(const TSourceFile& source, TSparseFile& dest, std::int64_t size, TCopyWatch& watch)
      : FSource(source), FDest(dest), FSize(size), FWatch(watch) {}

  void Work(std::uint8_t* chunk) {
    TDataAhead ahead;
    for (std::int64_t start = 0; TakeChunk(start);) {
      if (!CopyChunk(start, chunk, ahead)) return;
      FWatch.Advance(std::clamp<std::int64_t>(FSize - start, 0, kChunkBytes));
    }
  }

  TCopyStop Stop() {
    const std::lock_guard<std::mutex> lock(FMutex);
    return FStop;
  }

  // No more chunks are handed out: a worker has failed.
  void Abandon() {
    const std::lock_guard<std::mutex> lock(FMutex);
    FAbandoned = true;
  }

  // Once the workers are done: the bytes of the chunks handed out, up to the stop.
  std::int64_t CopiedPrefix() {
    const std::lock_guard<std::mutex> lock(FMutex);
    return std::min(FNextChunk, FStop.position);
  }

 private:
  // The next chunk, unless the copy has stopped there or has been interrupted.
  bool TakeChunk(std::int64_t& start) {
    const std::lock_guard<std::mutex> lock(FMutex);
    start = FNextChunk;
    if (start >= FStop.position || FAbandoned || FWatch.Interrupted()) return false;
    FNextChunk += kChunkBytes;
    return true;
  }

  // No chunk before the one that holds `dataStart` has data: none of them is handed out. Returns
  // how many of the source's bytes are passed over so, which count as dealt with.
  std::int64_t PassOver(std::int64_t dataStart) {
    const std::lock_guard<std::mutex> lock(FMutex);
    const std::int64_t from = FNextChunk;
    FNextChunk = std::max(FNextChunk, RoundDown(dataStart, kChunkBytes));
    return std::max<std::int64_t>(std::min(FNextChunk, FSize) - from, 0);
  }

  void StopAt(const TCopyStop& stop) {
    const std::lock_guard<std::mutex> lock(FMutex);
    if (stop.position < FStop.position) FStop = stop;
  }

  // Reads the chunk's data, piece by piece, into `chunk` and writes what is not zeros; the
  // holes of the source are neither read nor written. False when the copy stopped inside it.
  bool CopyChunk(std::int64_t start, std::uint8_t* chunk, TDataAhead& ahead) {
    const std::int64_t end = start + kChunkBytes;
    for (std::int64_t at = start; at < end;) {
      if (at >= Stop().position) return false;
      FSource.FindData(at, FDest.Unit(), ahead);
      if (ahead.start >= end) {  // no data before the chunk's end: none up to the next data
        FWatch.Advance(PassOver(ahead.start));
        return true;
      }
      if (ahead.start > at) {
        at = ahead.start;
        continue;
      }
      const auto wanted = static_cast<std::size_t>(std::min(end, ahead.end) - at);
      std::uint8_t* const bytes = chunk + (at - start);
      const TTransfer read = FSource.Read(at, bytes, wanted);
      const TTransfer written = FDest.Write(at, bytes, read.done);
      if (written.error.Failed()) {
        StopAt(
            {at + static_cast<std::int64_t>(written.done), TCopyStop::kWriteFailed, written.error});
        return false;
      }
      if (read.done < wanted) {
        const bool failed = read.error.Failed();
        StopAt({at + static_cast<std::int64_t>(read.done),
                failed ? TCopyStop::kReadFailed : TCopyStop::kEndOfSource, read.error});
        return false;
      }
      at += static_cast<std::int64_t>(wanted);
    }
    return true;
  }

  const TSourceFile& FSource;
  TSparseFile& FDest;
  const std::int64_t FSize;
  TCopyWatch& FWatch;
  std::mutex FMutex;
  std::int64_t FNextChunk = 0;
  TCopyStop FStop;
  bool FAbandoned = false;
};

// Memory for one chunk, aligned to a page, where the system copies to and from it fastest.
class TChunkMemory {
 public:
  std::uint8_t* Start() {
    const auto address = reinterpret_cast<std::uintptr_t>(FStorage.get());
    return FStorage.get() + (-address & (kPageBytes - 1));
  }

 private:
  std::unique_ptr<std::uint8_t[]> FStorage{new std::uint8_t[kChunkBytes + kPageBytes - 1]};
};

// The copy's workers: this thread and, for a file of more than one chunk where a second
// processor is there, a second one. Their memory is had before the copy begins.
class TWorkers {
 public:
  explicit TWorkers(std::int64_t size) {
    if (size > kChunkBytes && platform::ProcessorCount() >= 2) {
      FSecond = std::make_unique<TChunkMemory>();
    }
  }

  // Should no thread be had, this one does all the work. A failure on either thread stops the
  // other at its next chunk, and is raised here once both are done.
  void Run(TCopyJob& job) {
    std::exception_ptr failures[2];
    const auto work = [&job](std::uint8_t* chunk, std::exception_ptr& failure) {
      try {
        job.Work(chunk);
      } catch (...) {
        failure = std::current_exception();
        job.Abandon();
      }
    };
    std::thread helper;
    if (FSecond) {
      try {
        helper = std::thread([&] {
          const platform::TFaultStack faultStack;
          work(FSecond->Start(), failures[1]);
        });
      } catch (const std::system_error&) {
      }
    }
    work(FFirst.Start(), failures[0]);
    if (helper.joinable()) helper.join();
    for (const std::exception_ptr& failure : failures) {
      if (failure) std::rethrow_exception(failure);
    }
  }

 private:
  TChunkMemory FFirst;
  std::unique_ptr<TChunkMemory> FSecond;
};

// Copies the source and gives the copy its length: where the source ended, or where the
// first failure stopped the copy, so the copy keeps only bytes known to be right. An
// interrupted copy stops at the bytes known to be copied.
TCopyStop Copy(const TSourceFile& source, TSparseFile& dest, TCopyWatch& watch) {
  const std::int64_t size = source.Size();
  TWorkers workers(size);
  const TCopyWatch::TCopying copying(watch, source.FileName(), size);
  dest.GrowAheadTo(size);
  TCopyJob job(source, dest, size, watch);
  workers.Run(job);
  TCopyStop stop = job.Stop();
  if (watch.Interrupted() && job.CopiedPrefix() < stop.position) {
    stop = {job.CopiedPrefix(), TCopyStop::kEndOfSource, {}};
  }
  if (const platform::TError last = dest.WriteHeldByte(stop.position); last.Failed()) {
    stop = {size - 1, TCopyStop::kWriteFailed, last};
  }
  if (stop.position != dest.GrownLength()) {
    const platform::TError ended = dest.SetSize(stop.position);
    if (ended.Failed() && stop.kind == TCopyStop::kEndOfSource) {
      stop = {stop.position, TCopyStop::kWriteFailed, ended};
    }
  }
  return stop;
}

}  // namespace

void RaiseOpenError(const std::string& shownPath, const platform::TError& error) {
  Raise(EFOpenError(FormatText(texts::kOpenFailed, {shownPath, SystemErrorText(error)})));
}

bool SparseCopyFile(const std::string& source, const std::string& dest,
                    const TReplaceable& overwrite, TCopyWatch& watch) {
  if (!FileExists(source)) return false;
  const TSourceFile stream(source);
  if (!overwrite && FileExists(dest)) return false;
  const TCopyWatch::TAct act(watch);  // after an interrupt, no destination is opened
  TSparseFile writer(dest, overwrite, platform::TExisting::kTruncate);
  if (!writer.IsOpen()) return false;
  const TCopyStop stop = Copy(stream, writer, watch);
  writer.Close();
  if (stop.kind == TCopyStop::kReadFailed) {
    Raise(EReadError(
        FormatText(texts::kReadFailed, {FullPathForMessage(source), SystemErrorText(stop.error)})));
  }
  if (stop.kind == TCopyStop::kWriteFailed) {
    Raise(EWriteError(
        FormatText(texts::kWriteFailed, {FullPathForMessage(dest), SystemErrorText(stop.error)})));
  }
  return true;
}

// The file takes the new length before its old bytes go: a length the volume refuses (larger
// than its largest file, say) leaves a file that was there as it was.
bool CreateSparseFile(const std::string& fileName, std::int64_t size,
                      const TReplaceable& overwrite) {
  if (size <= 0 || FolderExists(fileName)) return false;
  TSparseFile writer(fileName, overwrite, platform::TExisting::kKeep);
  if (!writer.IsOpen()) return false;
  if (!writer.SetSize(std::max(size, writer.Length())).Failed() && !writer.SetSize(0).Failed() &&
      !writer.SetSize(size).Failed()) {
    return true;
  }
  // A file this call made and could not complete goes again.
  writer.Close();
  if (!overwrite) platform::RemoveFile(fileName);
  return false;
}
