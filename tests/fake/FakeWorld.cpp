// The fake's world: reset, configuration and the in-memory file system.
#include "tests/fake/FakeWorld.h"

#include <stdexcept>
#include <utility>

namespace fake {

namespace detail {

World& TheWorld() {
  static World world = [] {
    World initial;
    initial.commandLine.raw = "Dravik.exe";
    return initial;
  }();
  return world;
}

std::mutex& FileLock() {
  static std::mutex lock;
  return lock;
}

std::optional<std::size_t> FindNode(const ResolvedPath& path) {
  const std::string wanted = Join(path, false);
  const std::vector<Node>& nodes = TheWorld().nodes;
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    if (!nodes[i].removed && SameText(nodes[i].path, wanted)) return i;
  }
  return std::nullopt;
}

std::optional<std::size_t> FindNode(const std::string& path) {
  ResolvedPath resolved;
  if (!Resolve(path, resolved)) return std::nullopt;
  return FindNode(resolved);
}

namespace {

std::size_t AddNode(std::optional<std::size_t> parent, const ResolvedPath& path, bool isFolder) {
  std::vector<Node>& nodes = TheWorld().nodes;
  Node node;
  node.path = Join(path, false);
  node.name = path.parts.empty() ? "" : path.parts.back();
  node.isFolder = isFolder;
  nodes.push_back(std::move(node));
  if (parent) nodes[*parent].children.push_back(nodes.size() - 1);
  return nodes.size() - 1;
}

}  // namespace

std::size_t EnsureFolder(const ResolvedPath& path) {
  ResolvedPath step{path.root, {}, false};
  std::optional<std::size_t> folder;
  for (std::size_t i = 0; i <= path.parts.size(); ++i) {
    if (i > 0) step.parts.push_back(path.parts[i - 1]);
    std::optional<std::size_t> found = FindNode(step);
    if (found && !TheWorld().nodes[*found].isFolder) {
      throw std::logic_error("fake: a file is in the way of folder " + Join(path, false));
    }
    folder = found ? *found : AddNode(folder, step, true);
  }
  return *folder;
}

std::size_t CreateFileNode(std::size_t folder, const ResolvedPath& path) {
  return AddNode(folder, path, false);
}

const Volume* VolumeOf(const std::string& path) {
  const std::string key = ComparisonKey(path + Delimiter());
  const Volume* best = nullptr;
  for (const Volume& volume : TheWorld().volumes) {
    const std::string root = ComparisonKey(volume.root);
    if (key.compare(0, root.size(), root) != 0) continue;
    if (!best || volume.root.size() > best->root.size()) best = &volume;
  }
  return best;
}

bool IsOpenHere(std::size_t node) {
  for (const auto& entry : TheWorld().openFiles) {
    if (entry.second.node == node) return true;
  }
  return false;
}

}  // namespace detail

using detail::Node;
using detail::ResolvedPath;
using detail::TheWorld;

namespace {

ResolvedPath ResolveOrThrow(const std::string& path) {
  ResolvedPath resolved;
  if (!detail::Resolve(path, resolved)) {
    throw std::logic_error("fake: cannot resolve path \"" + path + "\"");
  }
  return resolved;
}

Node& NodeAt(const std::string& path) {
  std::optional<std::size_t> index = detail::FindNode(ResolveOrThrow(path));
  if (!index) throw std::logic_error("fake: no file or folder \"" + path + "\"");
  return TheWorld().nodes[*index];
}

Node& FileAt(const std::string& path) {
  Node& node = NodeAt(path);
  if (node.isFolder) throw std::logic_error("fake: \"" + path + "\" is a folder");
  return node;
}

// The file at `path`, created (with its folders) if missing, its content emptied.
Node& FreshFile(const std::string& path, unsigned attributes) {
  ResolvedPath resolved = ResolveOrThrow(path);
  if (resolved.parts.empty()) throw std::logic_error("fake: a root is no file: " + path);
  std::optional<std::size_t> index = detail::FindNode(resolved);
  if (!index) {
    ResolvedPath folder = resolved;
    folder.parts.pop_back();
    index = detail::CreateFileNode(detail::EnsureFolder(folder), resolved);
  }
  Node& node = TheWorld().nodes[*index];
  if (node.isFolder) throw std::logic_error("fake: \"" + path + "\" is a folder");
  node.data = detail::SparseData{};
  node.attributes = attributes;
  return node;
}

}  // namespace

// ---- World ----

void Reset() {
  TheWorld() = detail::World{};
  TheWorld().commandLine.raw = "Dravik.exe";
  AddVolume("C:\\", "NTFS", 4096);
  SetCurrentFolder("C:\\work");
}

void ResetForPosix() {
  Reset();
  detail::World& world = TheWorld();
  world.style = PathStyle::Posix;
  world.doubleByte = false;
  world.nodes.clear();
  world.volumes.clear();
  world.currentFolder.reset();
  world.programPath = "/tools/dravik";
  world.commandLine = platform::CommandLineSource{false, "", {}};
  AddVolume("/", "NTFS", 4096);
  SetCurrentFolder("/work");
}

// ---- Configuration ----

void SetPathStyle(PathStyle style) { TheWorld().style = style; }
void SetDoubleByteCodePage(bool on) { TheWorld().doubleByte = on; }

void SetRawCommandLine(const std::string& raw) {
  TheWorld().commandLine = platform::CommandLineSource{true, raw, {}};
}

void SetCommandWords(const std::vector<std::string>& words) {
  TheWorld().commandLine = platform::CommandLineSource{false, "", words};
}

void SetProgramPath(const std::string& path) { TheWorld().programPath = path; }

void SetModuleOfAddress(const std::string& path, std::uintptr_t base) {
  TheWorld().modulePath = path;
  TheWorld().moduleBase = base;
}

void SetProcessorCount(unsigned processors) { detail::TheWorld().processors = processors; }

void SetThousandsSeparator(const std::string& separator) {
  TheWorld().thousandsSeparator = separator;
}

void SetOemConversion(std::function<void(std::string&)> convert) {
  TheWorld().oemConversion = std::move(convert);
}

void SetSystemMessage(ErrorCode code, const std::string& text) {
  TheWorld().systemMessages[code] = text;
}

void SetDefaultSystemMessages(bool on) { TheWorld().defaultSystemMessages = on; }

void SetCurrentFolder(const std::string& path) {
  ResolvedPath resolved = ResolveOrThrow(path);
  resolved.trailingDelimiter = false;
  detail::EnsureFolder(resolved);
  TheWorld().currentFolder = detail::Join(resolved, false);
}

void SetCurrentFolderUnknown() { TheWorld().currentFolder.reset(); }

void AddVolume(const std::string& root, const std::string& fileSystem, std::uint32_t allocationUnit,
               bool answersDataRanges) {
  ResolvedPath resolved = ResolveOrThrow(root);
  if (TheWorld().style == PathStyle::Windows && !resolved.parts.empty()) {
    throw std::logic_error("fake: a Windows volume root is a drive or share: " + root);
  }
  detail::EnsureFolder(resolved);
  std::string normalRoot = detail::Join(resolved, false);
  if (!resolved.parts.empty()) normalRoot += detail::Delimiter();
  detail::Volume volume{normalRoot, fileSystem, allocationUnit, answersDataRanges};
  for (detail::Volume& existing : TheWorld().volumes) {
    if (detail::SameText(existing.root, normalRoot)) {
      existing = volume;
      return;
    }
  }
  TheWorld().volumes.push_back(volume);
}

// ---- File system ----

void AddFolder(const std::string& path) { detail::EnsureFolder(ResolveOrThrow(path)); }

void AddFile(const std::string& path, const std::string& bytes, unsigned attributes) {
  Node& node = FreshFile(path, attributes);
  node.data.Write(0, bytes.data(), bytes.size());
}

void AddSparseFile(const std::string& path, std::int64_t length,
                   const std::vector<DataPiece>& pieces, unsigned attributes) {
  for (const DataPiece& piece : pieces) {
    if (piece.offset < 0 || piece.offset + static_cast<std::int64_t>(piece.bytes.size()) > length) {
      throw std::logic_error("fake: a data piece lies outside " + path);
    }
  }
  Node& node = FreshFile(path, attributes);
  node.data.SetLength(length);
  for (const DataPiece& piece : pieces) {
    node.data.Write(piece.offset, piece.bytes.data(), piece.bytes.size());
  }
}

bool Exists(const std::string& path) { return detail::FindNode(path).has_value(); }

bool IsFile(const std::string& path) {
  std::optional<std::size_t> index = detail::FindNode(path);
  return index && !TheWorld().nodes[*index].isFolder;
}

bool IsFolder(const std::string& path) {
  std::optional<std::size_t> index = detail::FindNode(path);
  return index && TheWorld().nodes[*index].isFolder;
}

std::vector<std::string> EntriesOf(const std::string& folder) {
  const Node& node = NodeAt(folder);
  std::vector<std::string> names;
  for (std::size_t child : node.children) names.push_back(TheWorld().nodes[child].name);
  return names;
}

std::string FileBytes(const std::string& path) {
  const Node& node = FileAt(path);
  constexpr std::int64_t kLargest = 64 << 20;
  if (node.data.Length() > kLargest) {
    throw std::logic_error("fake: too large for FileBytes, use FileBytesAt: " + path);
  }
  return FileBytesAt(path, 0, static_cast<std::size_t>(node.data.Length()));
}

std::string FileBytesAt(const std::string& path, std::int64_t offset, std::size_t count) {
  std::string bytes(count, '\0');
  bytes.resize(FileAt(path).data.Read(offset, &bytes[0], count));
  return bytes;
}

std::int64_t FileLength(const std::string& path) { return FileAt(path).data.Length(); }
std::int64_t AllocatedBytes(const std::string& path) { return FileAt(path).data.AllocatedBytes(); }
std::vector<ByteRange> AllocatedRanges(const std::string& path) {
  return FileAt(path).data.AllocatedRanges();
}
bool IsMarkedSparse(const std::string& path) { return FileAt(path).markedSparse; }
unsigned AttributesOf(const std::string& path) { return NodeAt(path).attributes; }

void HoldOpenElsewhere(const std::string& path, bool held) { FileAt(path).heldElsewhere = held; }
void RefuseWrites(const std::string& path, bool refuse) { NodeAt(path).refusesWrites = refuse; }

// ---- Standard streams ----

namespace {

detail::StdChannel& Channel(StdStream stream) {
  return TheWorld().channels[static_cast<std::size_t>(stream)];
}

}  // namespace

void SetStdin(const std::string& bytes) { SetStdinChunks({bytes}); }

void SetStdinChunks(const std::vector<std::string>& chunks) {
  std::deque<std::string>& queue = TheWorld().stdinChunks;
  queue.clear();
  for (const std::string& chunk : chunks) {
    if (!chunk.empty()) queue.push_back(chunk);
  }
}

void EndStdinWithError(ErrorCode code) { TheWorld().stdinEndError = code; }

std::size_t StdinUnread() {
  std::size_t unread = 0;
  for (const std::string& chunk : TheWorld().stdinChunks) unread += chunk.size();
  return unread;
}

void SetStdHandleMissing(StdStream stream) { Channel(stream).present = false; }
void SetStdType(StdStream stream, FileType type) { Channel(stream).type = type; }
bool StdHandleClosed(StdStream stream) { return Channel(stream).closed; }

std::string StdoutText() { return Channel(StdStream::Output).captured; }
std::string StderrText() { return Channel(StdStream::Error).captured; }
std::vector<std::uint32_t> StdoutWriteSizes() { return Channel(StdStream::Output).writeSizes; }
std::vector<std::uint32_t> StderrWriteSizes() { return Channel(StdStream::Error).writeSizes; }

// ---- Process ----

std::optional<int> EndedWithCode() { return TheWorld().exitCode; }
int StartupCount() { return TheWorld().startupCount; }
std::vector<std::string> StartupArguments() { return TheWorld().startupArguments; }
platform::FaultCallback InstalledFaultHandler() { return TheWorld().faultHandler; }

// ---- Resources ----

int OpenFileCount() { return static_cast<int>(TheWorld().openFiles.size()); }
int OpenSearchCount() { return static_cast<int>(TheWorld().searches.size()); }

bool IsOpen(const std::string& path) {
  std::optional<std::size_t> index = detail::FindNode(path);
  return index && detail::IsOpenHere(*index);
}

std::vector<std::string> Misuses() { return TheWorld().misuses; }

}  // namespace fake
