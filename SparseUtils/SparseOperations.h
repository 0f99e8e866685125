// The two file operations the commands run: a sparse copy of one file, and the creation of
// an all-zero sparse file of a given size.
#pragma once

#include <cstdint>
#include <string>

#include "SparseUtils/Paths.h"
#include "SparseUtils/SourceStream.h"
#include "SparseUtils/SparseFile.h"
#include "SparseUtils/SystemErrorText.h"
#include "SparseUtils/Text.h"
#include "SparseUtils/Texts.h"
#include "failure/Errors.h"

// The copy's block size: every read asks for exactly this many bytes.
constexpr std::int32_t CopyBufferSize = 2049;

// Copies `source` into a sparse `dest`. False when nothing was copied: the source is not
// an existing file, `dest` exists and `overwrite` is false, or `dest` cannot be opened.
// Raises EFOpenError when the source cannot be opened (before `dest` is looked at),
// EReadError when it cannot be read, EWriteError when the copy cannot be written whole.
bool SparseCopyFile(const std::string& source, const std::string& dest, bool overwrite);

// Creates `fileName` as an all-zero sparse file of `size` bytes. False when the name is a
// folder, the file cannot be opened, or it cannot be given that length (a file that did
// not exist before is then removed again).
bool CreateSparseFile(const std::string& fileName, std::int64_t size);

// The program's source stream and writer work together: in a copy their offsets match, so
// the stream reads straight into the writer's windows, and blocks that are all zeros (in a
// hole of the source or read) are passed over together, as the moves over zeros they would
// be one by one. Other pairs (in tests) copy block by block.
template <class Source, class Writer>
void ShareWindow(Source&, Writer&) {}
inline void ShareWindow(TSourceStream& stream, TSparseFile& writer) {
  stream.ReadInto(&writer.File());
}
template <class Source, class Writer>
void PassZeroBlocks(Source&, Writer&) {}
inline void PassZeroBlocks(TSourceStream& stream, TSparseFile& writer) {
  writer.File().MoveForward(stream.TakeZeroBlocks(CopyBufferSize));
}

// The copy with its source stream and writer as parameters, so tests can watch both.
template <class Source, class Writer>
bool SparseCopyFileWith(const std::string& source, const std::string& dest, bool overwrite) {
  if (!FileExists(source)) return false;
  Source stream(source);
  if (!overwrite && FileExists(dest)) return false;
  Writer writer(dest);
  if (!writer.IsOpen()) return false;
  ShareWindow(stream, writer);
  const std::uint8_t* block;
  std::int32_t count;
  do {
    PassZeroBlocks(stream, writer);
    count = stream.Read(block, CopyBufferSize);
    writer.Write(block, count);
  } while (count == CopyBufferSize && writer.Failure() == platform::kErrorSuccess);
  if (!writer.Close()) {
    Raise(EWriteError(FormatText(texts::kWriteFailed,
                                 {FullPathForMessage(dest), SystemErrorText(writer.Failure())})));
  }
  return true;
}
