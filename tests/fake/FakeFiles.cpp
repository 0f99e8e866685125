// The fake's file, handle and search calls, with Windows' sharing rules: a file created for
// writing is shared with no one; a file opened for reading shares reading and writing.
#include <algorithm>
#include <mutex>
#include <string>

#include "tests/fake/FakeWorld.h"

namespace platform {

namespace {

using fake::detail::BeginCall;
using fake::detail::Node;
using fake::detail::OpenFile;
using fake::detail::Outcome;
using fake::detail::RecordMisuse;
using fake::detail::ResolvedPath;
using fake::detail::TheWorld;

constexpr ErrorCode kErrorInvalidFunction = 1;

std::string HandleText(FileHandle handle) { return "h=" + std::to_string(handle.value); }

// The standard stream behind a handle value, if it is one.
std::optional<std::size_t> StdChannelOf(FileHandle handle) {
  if (handle.value < fake::kStdinHandle || handle.value > fake::kStderrHandle) return std::nullopt;
  return static_cast<std::size_t>(handle.value - fake::kStdinHandle);
}

// The open file behind a handle, or nullptr: for kInvalidHandle, a standard stream, and (as a
// misuse) a handle that is closed or was never given out.
OpenFile* OpenFileOf(FileHandle handle, const std::string& kind) {
  auto& openFiles = TheWorld().openFiles;
  auto found = openFiles.find(handle.value);
  if (found != openFiles.end()) return &found->second;
  if (handle.IsValid() && !StdChannelOf(handle)) {
    RecordMisuse(kind + " " + HandleText(handle) + ": handle not open");
  }
  return nullptr;
}

Node& NodeOf(const OpenFile& file) { return TheWorld().nodes[file.node]; }

IoResult IoFailure(ErrorCode code) { return IoResult{false, 0, code}; }
OpenResult OpenFailure(ErrorCode code) { return OpenResult{kInvalidHandle, code}; }

std::uint32_t Limit(std::uint32_t size, const Outcome& outcome) {
  return outcome.shortBytes ? std::min(size, *outcome.shortBytes) : size;
}

// ---- Standard streams ----

IoResult ReadStdin(void* buffer, std::uint32_t size) {
  auto& world = TheWorld();
  if (world.stdinChunks.empty()) {
    return world.stdinEndError ? IoFailure(world.stdinEndError) : IoResult{true, 0, 0};
  }
  std::string& chunk = world.stdinChunks.front();
  const std::size_t count = std::min<std::size_t>(size, chunk.size());
  std::copy_n(chunk.begin(), count, static_cast<char*>(buffer));
  chunk.erase(0, count);
  if (chunk.empty()) world.stdinChunks.pop_front();
  return IoResult{true, static_cast<std::uint32_t>(count), 0};
}

IoResult ReadStd(std::size_t channel, FileHandle handle, void* buffer, std::uint32_t size) {
  if (TheWorld().channels[channel].closed) {
    RecordMisuse("ReadBytes " + HandleText(handle) + ": handle closed");
    return IoFailure(kErrorInvalidHandle);
  }
  if (channel != static_cast<std::size_t>(StdStream::Input)) return IoFailure(kErrorAccessDenied);
  return ReadStdin(buffer, size);
}

IoResult WriteStd(std::size_t channel, FileHandle handle, const void* data, std::uint32_t size) {
  fake::detail::StdChannel& stream = TheWorld().channels[channel];
  if (stream.closed) {
    RecordMisuse("WriteBytes " + HandleText(handle) + ": handle closed");
    return IoFailure(kErrorInvalidHandle);
  }
  if (channel == static_cast<std::size_t>(StdStream::Input)) return IoFailure(kErrorAccessDenied);
  stream.captured.append(static_cast<const char*>(data), size);
  stream.writeSizes.push_back(size);
  return IoResult{true, size, 0};
}

// ---- Opening ----

std::intptr_t NextFileHandle() {
  std::intptr_t& next = TheWorld().nextFileHandle;
  if (next >= fake::kStdinHandle && next <= fake::kStderrHandle) next = fake::kStderrHandle + 1;
  return next++;
}

OpenResult OpenNode(std::size_t node, bool forWriting) {
  const std::intptr_t handle = NextFileHandle();
  TheWorld().openFiles[handle] = OpenFile{node, forWriting};
  return OpenResult{FileHandle{handle}, kErrorSuccess};
}

bool IsOpenForWritingHere(std::size_t node) {
  for (const auto& entry : TheWorld().openFiles) {
    if (entry.second.node == node && entry.second.forWriting) return true;
  }
  return false;
}

std::optional<std::size_t> ParentFolderOf(const ResolvedPath& path) {
  if (path.parts.empty()) return std::nullopt;
  ResolvedPath parent = path;
  parent.parts.pop_back();
  parent.trailingDelimiter = false;
  std::optional<std::size_t> folder = fake::detail::FindNode(parent);
  if (folder && !TheWorld().nodes[*folder].isFolder) return std::nullopt;
  return folder;
}

OpenResult TruncateExisting(std::size_t index, std::size_t folder) {
  Node& node = TheWorld().nodes[index];
  if (node.heldElsewhere || fake::detail::IsOpenHere(index)) {
    return OpenFailure(kErrorSharingViolation);
  }
  if (node.refusesWrites || TheWorld().nodes[folder].refusesWrites) {
    return OpenFailure(kErrorAccessDenied);
  }
  node.data = fake::detail::SparseData{};
  node.markedSparse = false;
  return OpenNode(index, true);
}

}  // namespace

IoResult ReadBytes(FileHandle handle, void* buffer, std::uint32_t size) {
  const Outcome outcome =
      BeginCall("ReadBytes", HandleText(handle) + " n=" + std::to_string(size), handle.value);
  if (outcome.Fails()) return IoFailure(outcome.failure);
  if (std::optional<std::size_t> channel = StdChannelOf(handle)) {
    return ReadStd(*channel, handle, buffer, Limit(size, outcome));
  }
  RecordMisuse("ReadBytes " + HandleText(handle) + ": not a standard stream");
  return IoFailure(kErrorInvalidHandle);
}

IoResult WriteBytes(FileHandle handle, const void* data, std::uint32_t size) {
  const Outcome outcome =
      BeginCall("WriteBytes", HandleText(handle) + " n=" + std::to_string(size), handle.value);
  if (outcome.Fails()) return IoFailure(outcome.failure);
  if (std::optional<std::size_t> channel = StdChannelOf(handle)) {
    return WriteStd(*channel, handle, data, Limit(size, outcome));
  }
  RecordMisuse("WriteBytes " + HandleText(handle) + ": not a standard stream");
  return IoFailure(kErrorInvalidHandle);
}

// The copy's workers read and write files from two threads at once.
IoResult ReadAt(FileHandle handle, std::int64_t offset, void* buffer, std::uint32_t size) {
  const std::lock_guard<std::mutex> lock(fake::detail::FileLock());
  const Outcome outcome = BeginCall(
      "ReadAt", HandleText(handle) + " o=" + std::to_string(offset) + " n=" + std::to_string(size),
      handle.value);
  if (outcome.Fails()) return IoFailure(outcome.failure);
  OpenFile* file = OpenFileOf(handle, "ReadAt");
  if (!file) return IoFailure(kErrorInvalidHandle);
  if (file->forWriting) return IoFailure(kErrorAccessDenied);
  const std::size_t count =
      NodeOf(*file).data.Read(offset, static_cast<char*>(buffer), Limit(size, outcome));
  return IoResult{true, static_cast<std::uint32_t>(count), 0};
}

IoResult WriteAt(FileHandle handle, std::int64_t offset, const void* data, std::uint32_t size) {
  const std::lock_guard<std::mutex> lock(fake::detail::FileLock());
  const Outcome outcome = BeginCall(
      "WriteAt", HandleText(handle) + " o=" + std::to_string(offset) + " n=" + std::to_string(size),
      handle.value);
  if (outcome.Fails()) return IoFailure(outcome.failure);
  OpenFile* file = OpenFileOf(handle, "WriteAt");
  if (!file) return IoFailure(kErrorInvalidHandle);
  if (!file->forWriting) return IoFailure(kErrorAccessDenied);
  const std::uint32_t limit = Limit(size, outcome);
  NodeOf(*file).data.Write(offset, static_cast<const char*>(data), limit);
  return IoResult{true, limit, 0};
}

void CloseFile(FileHandle handle) {
  BeginCall("CloseFile", HandleText(handle), handle.value);
  auto& world = TheWorld();
  if (std::optional<std::size_t> channel = StdChannelOf(handle)) {
    if (world.channels[*channel].closed)
      RecordMisuse("CloseFile " + HandleText(handle) + ": already closed");
    world.channels[*channel].closed = true;
    return;
  }
  if (world.openFiles.erase(handle.value) > 0) {
    world.closedFiles.insert(handle.value);
  } else if (!handle.IsValid()) {
    RecordMisuse("CloseFile " + HandleText(handle) + ": invalid handle");
  } else if (world.closedFiles.count(handle.value) > 0) {
    RecordMisuse("CloseFile " + HandleText(handle) + ": already closed");
  } else {
    RecordMisuse("CloseFile " + HandleText(handle) + ": unknown handle");
  }
}

OpenResult CreateTruncated(const std::string& path) {
  const Outcome outcome = BeginCall("CreateTruncated", path);
  if (outcome.Fails()) return OpenFailure(outcome.failure);
  ResolvedPath resolved;
  if (!fake::detail::Resolve(path, resolved)) return OpenFailure(kErrorPathNotFound);
  if (fake::detail::HasWildcards(path)) return OpenFailure(kErrorInvalidName);
  std::optional<std::size_t> existing = fake::detail::FindNode(resolved);
  if (existing && TheWorld().nodes[*existing].isFolder) return OpenFailure(kErrorAccessDenied);
  if (resolved.trailingDelimiter) return OpenFailure(kErrorInvalidName);
  std::optional<std::size_t> folder = ParentFolderOf(resolved);
  if (!folder) return OpenFailure(kErrorPathNotFound);
  if (existing) return TruncateExisting(*existing, *folder);
  if (TheWorld().nodes[*folder].refusesWrites) return OpenFailure(kErrorAccessDenied);
  OpenResult opened = OpenNode(fake::detail::CreateFileNode(*folder, resolved), true);
  opened.created = true;
  return opened;
}

OpenResult OpenForReading(const std::string& path) {
  const Outcome outcome = BeginCall("OpenForReading", path);
  if (outcome.Fails()) return OpenFailure(outcome.failure);
  ResolvedPath resolved;
  if (!fake::detail::Resolve(path, resolved)) return OpenFailure(kErrorPathNotFound);
  if (fake::detail::HasWildcards(path)) return OpenFailure(kErrorInvalidName);
  std::optional<std::size_t> existing = fake::detail::FindNode(resolved);
  if (!existing) {
    return OpenFailure(ParentFolderOf(resolved) ? kErrorFileNotFound : kErrorPathNotFound);
  }
  const Node& node = TheWorld().nodes[*existing];
  if (node.isFolder) return OpenFailure(kErrorAccessDenied);
  if (resolved.trailingDelimiter) return OpenFailure(kErrorInvalidName);
  if (node.heldElsewhere || IsOpenForWritingHere(*existing)) {
    return OpenFailure(kErrorSharingViolation);
  }
  return OpenNode(*existing, false);
}

ErrorCode MarkSparse(FileHandle handle) {
  const Outcome outcome = BeginCall("MarkSparse", HandleText(handle), handle.value);
  if (outcome.Fails()) return outcome.failure;
  OpenFile* file = OpenFileOf(handle, "MarkSparse");
  if (!file) return kErrorInvalidHandle;
  if (!file->forWriting) return kErrorAccessDenied;
  Node& node = NodeOf(*file);
  const fake::detail::Volume* volume = fake::detail::VolumeOf(node.path);
  if (!volume || !fake::detail::SameText(volume->fileSystem, "NTFS")) {
    return kErrorInvalidFunction;
  }
  node.markedSparse = true;
  return kErrorSuccess;
}

// Like DeleteFileA: a file open anywhere, even for reading, cannot be deleted.
bool RemoveFile(const std::string& path) {
  if (BeginCall("RemoveFile", path).Fails()) return false;
  ResolvedPath resolved;
  if (!fake::detail::Resolve(path, resolved) || resolved.trailingDelimiter) return false;
  std::optional<std::size_t> existing = fake::detail::FindNode(resolved);
  std::optional<std::size_t> folder = ParentFolderOf(resolved);
  if (!existing || !folder) return false;
  Node& node = TheWorld().nodes[*existing];
  if (node.isFolder || node.heldElsewhere || node.refusesWrites) return false;
  if (TheWorld().nodes[*folder].refusesWrites || fake::detail::IsOpenHere(*existing)) return false;
  node.removed = true;
  std::vector<std::size_t>& siblings = TheWorld().nodes[*folder].children;
  siblings.erase(std::find(siblings.begin(), siblings.end(), *existing));
  return true;
}

ErrorCode SetLength(FileHandle handle, std::int64_t length) {
  const Outcome outcome =
      BeginCall("SetLength", HandleText(handle) + " o=" + std::to_string(length), handle.value);
  if (outcome.Fails()) return outcome.failure;
  OpenFile* file = OpenFileOf(handle, "SetLength");
  if (!file) return kErrorInvalidHandle;
  if (!file->forWriting) return kErrorAccessDenied;
  NodeOf(*file).data.SetLength(length);
  return kErrorSuccess;
}

std::int64_t SizeOfFile(FileHandle handle) {
  if (BeginCall("SizeOfFile", HandleText(handle), handle.value).Fails()) return -1;
  OpenFile* file = OpenFileOf(handle, "SizeOfFile");
  return file ? NodeOf(*file).data.Length() : -1;
}

std::uint32_t AllocationUnitOf(FileHandle handle) {
  if (BeginCall("AllocationUnitOf", HandleText(handle), handle.value).Fails()) return 0;
  OpenFile* file = OpenFileOf(handle, "AllocationUnitOf");
  if (!file) return 0;
  const fake::detail::Volume* volume = fake::detail::VolumeOf(NodeOf(*file).path);
  return volume ? volume->allocationUnit : 0;
}

DataRange NextDataRange(FileHandle handle, std::int64_t offset) {
  const std::lock_guard<std::mutex> lock(fake::detail::FileLock());
  const std::string arguments = HandleText(handle) + " o=" + std::to_string(offset);
  if (BeginCall("NextDataRange", arguments, handle.value).Fails()) return DataRange{};
  OpenFile* file = OpenFileOf(handle, "NextDataRange");
  if (!file) return DataRange{};
  const Node& node = NodeOf(*file);
  const fake::detail::Volume* volume = fake::detail::VolumeOf(node.path);
  if (!volume || !volume->answersDataRanges) return DataRange{};
  for (const fake::ByteRange& range : node.data.AllocatedRanges()) {
    if (range.end > offset) return DataRange{true, std::max(range.start, offset), range.end};
  }
  const std::int64_t length = node.data.Length();
  return DataRange{true, length, length};
}

}  // namespace platform

namespace platform {
unsigned ProcessorCount() { return fake::detail::TheWorld().processors; }
}  // namespace platform
