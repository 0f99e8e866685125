// The fake machine: every function of platform/Platform.h over `fake::machine`.
#include "tests/fake/Fake.h"

#include <algorithm>
#include <cstring>
#include <future>
#include <mutex>
#include <new>
#include <stdexcept>

namespace fake {

TMachine machine;
std::atomic<std::chrono::steady_clock::duration> clock{};
std::atomic<int> clockReads{0};

void TData::Write(std::int64_t offset, const char* bytes, std::size_t count) {
  if (count > 0) extents[offset].assign(bytes, count);
  length = std::max(length, offset + std::int64_t(count));
}

std::size_t TData::Read(std::int64_t offset, char* out, std::size_t count) const {
  const auto got = std::size_t(std::clamp<std::int64_t>(length - offset, 0, count));
  std::memset(out, 0, got);
  for (const auto& [start, bytes] : extents) {
    const std::int64_t from = std::max(offset, start);
    const std::int64_t to = std::min<std::int64_t>(offset + got, start + bytes.size());
    if (from < to) std::memcpy(out + (from - offset), &bytes[from - start], to - from);
  }
  return got;
}

void TData::SetLength(std::int64_t newLength) {
  extents.erase(extents.lower_bound(newLength), extents.end());
  if (!extents.empty()) {
    auto& [start, bytes] = *extents.rbegin();
    bytes.resize(std::min<std::size_t>(bytes.size(), newLength - start));
  }
  length = newLength;
}

namespace {

using platform::TErrorCode;
using platform::TFileHandle;

std::mutex workers;                   // the copy's workers read and write from two threads
std::mutex logged;                    // calls come from the workers and an interrupt too
std::future<void> interrupter;        // the interrupt's handler, on a thread of its own
constexpr std::intptr_t kStd = 1000;  // handles 1000-1002 are the standard streams

bool IsDelimiter(char byte) { return byte == '\\' || byte == '/'; }

// The path's components between delimiters.
std::vector<std::string> Components(const std::string& path) {
  std::vector<std::string> parts(1);
  for (const char byte : path) {
    if (IsDelimiter(byte)) {
      parts.emplace_back();
    } else {
      parts.back() += byte;
    }
  }
  return parts;
}

// The comparison key: A-Z folded, no delimiter at the end but a root's.
std::string Key(std::string path) {
  for (char& c : path) c = c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
  if (path.size() > 3 && Components(path).back().empty()) path.pop_back();
  return path;
}

// The root of an absolute path, "C:" or "\\server\share"; empty for a relative one.
std::string RootOf(const std::string& path) {
  if (path.size() >= 2 && path[1] == ':') return path.substr(0, 2);
  if (path.size() < 2 || !IsDelimiter(path[0]) || !IsDelimiter(path[1])) return "";
  const std::vector<std::string> parts = Components(path.substr(2));
  return parts.size() < 2 ? "" : "\\\\" + parts[0] + "\\" + parts[1];
}

// The full path, as the system resolves it: "." and ".." dropped, a relative path joined to
// the current folder, a root-relative one to its root.
std::string Full(std::string path) {
  std::string root = RootOf(path);
  if (root.size() == 2 && (path.size() == 2 || !IsDelimiter(path[2]))) {  // "C:x"
    const bool here = Key(RootOf(machine.folder)) == Key(root);
    path = (here ? machine.folder : root) + "\\" + path.substr(2);
  } else if (root.empty()) {
    root = RootOf(machine.folder);
    path = !path.empty() && IsDelimiter(path[0]) ? root + path : machine.folder + "\\" + path;
  }
  std::vector<std::string> kept;
  for (const std::string& part : Components(path.substr(root.size()))) {
    if (part == ".." && !kept.empty()) kept.pop_back();
    if (part != "." && part != ".." && !part.empty()) kept.push_back(part);
  }
  std::string full = root;
  for (const std::string& part : kept) full += "\\" + part;
  return kept.empty() || Components(path).back().empty() ? full + "\\" : full;
}

std::string ParentKey(const std::string& path) { return Key(Full(path + "\\..")); }
TNode* Find(const std::string& path) {
  const auto found = machine.nodes.find(Key(Full(path)));
  return found == machine.nodes.end() ? nullptr : &found->second;
}

TNode& Add(const std::string& path, bool folder) {
  const std::string full = Full(path);
  std::vector<std::string> parts = Components(full);
  if (parts.back().empty()) parts.pop_back();
  TNode& node = machine.nodes[Key(full)];
  node.folder = folder;
  node.name = parts.back();
  return node;
}

// Logs a call; returns the code its kind's rule fails it with (0: none). `limit` caps a transfer.
// A failing call always carries a code: only a transfer may be scheduled with none, to fall short.
TErrorCode Call(const std::string& kind, const std::string& arguments,
                std::uint32_t* limit = nullptr) {
  const std::lock_guard<std::mutex> lock(logged);
  machine.calls.push_back(kind + " " + arguments);
  for (TRule& rule : machine.rules) {
    if (rule.kind != kind) continue;
    if (++rule.seen < rule.nth || (rule.seen > rule.nth && !rule.andLater)) return 0;
    if (!limit && rule.code == 0) throw std::logic_error(kind + " cannot fail with code 0");
    if (limit && rule.code == 0) *limit = std::min(*limit, rule.shortBytes);
    machine.calls.back() += " !";
    return rule.code;
  }
  return 0;
}

std::string HandleArgument(TFileHandle handle) { return "h=" + std::to_string(handle.value); }
TData& DataOf(TFileHandle handle) { return machine.nodes[machine.files[handle.value]].data; }

// A positional transfer: logged, perhaps failed or cut short by schedule, then moved.
template <class Move>
platform::TIoResult Transfer(const char* kind, TFileHandle handle, std::int64_t offset,
                             std::uint32_t size, Move move) {
  if (machine.beforeTransfer) machine.beforeTransfer(offset);
  const std::lock_guard<std::mutex> lock(workers);
  std::uint32_t limit = size;
  const std::string where = " o=" + std::to_string(offset) + " n=" + std::to_string(size);
  if (const TErrorCode code = Call(kind, HandleArgument(handle) + where, &limit))
    return {0, {code}};
  return {move(DataOf(handle), limit), {}};
}

platform::TOpenResult Open(const std::string& full) {
  machine.files[machine.nextHandle] = Key(full);
  return {TFileHandle{machine.nextHandle++}, {}};
}

bool Matches(const char* pattern, const char* name) {
  if (*pattern == '\0') return *name == '\0';
  if (*pattern == '*') return Matches(pattern + 1, name) || (*name && Matches(pattern, name + 1));
  return *name && (*pattern == '?' || Key({*pattern}) == Key({*name})) &&
         Matches(pattern + 1, name + 1);
}

}  // namespace

void Interrupt() {
  interrupter =
      std::async(std::launch::async, [] { machine.interruptHandler(machine.interruptContext); });
}

void Reset() {
  interrupter = {};  // once the handler has returned
  machine = TMachine{};
  clock = std::chrono::steady_clock::duration{};
  clockReads = 0;
  AddVolume("C:\\", true);
  AddFolder("C:\\work");
}

void AddVolume(const std::string& root, bool keepsHoles, std::uint32_t unit) {
  machine.volumes[Key(root)] = {keepsHoles, unit};
  Add(root, true);
}

void AddFolder(const std::string& path) {
  const std::string full = Full(path);
  std::string step = RootOf(full);
  for (const std::string& part : Components(full.substr(step.size()))) {
    if (!part.empty()) Add(step += "\\" + part, true);
  }
}

void AddFile(const std::string& path, const std::string& bytes) {
  AddSparseFile(path, std::int64_t(bytes.size()), {{0, bytes}});
}
void AddSparseFile(const std::string& path, std::int64_t length,
                   const std::vector<TDataPiece>& pieces) {
  AddFolder(path + "\\..");
  TNode& node = Add(path, false);
  node.file = machine.nextFile++;
  TData& data = node.data = TData{};
  for (const auto& [offset, bytes] : pieces) data.Write(offset, bytes.data(), bytes.size());
  data.length = length;
}

void Fail(const std::string& kind, int nth, TErrorCode code, bool andLater,
          std::uint32_t shortBytes) {
  machine.rules.push_back({kind, nth, code, andLater, shortBytes});
}

std::int64_t FileLength(const std::string& path) { return Find(path)->data.length; }
std::string FileBytes(const std::string& path) {
  if (!Find(path)) return "(none)";
  return FileBytes(path, 0, std::size_t(FileLength(path)));
}
std::string FileBytes(const std::string& path, std::int64_t offset, std::size_t count) {
  std::string bytes(count, '\0');
  bytes.resize(Find(path)->data.Read(offset, &bytes[0], count));
  return bytes;
}

std::set<std::int64_t> AllocatedUnits(const std::string& path, std::int64_t unit) {
  std::set<std::int64_t> units;
  for (const auto& [start, bytes] : Find(path)->data.extents) {
    for (std::int64_t u = start / unit; u * unit < start + std::int64_t(bytes.size()); ++u) {
      units.insert(u);
    }
  }
  return units;
}
int OpenHandles() { return int(machine.files.size()) + machine.searching; }

}  // namespace fake

namespace platform {

using fake::Call;
using fake::Full;
using fake::HandleArgument;
using fake::machine;

void Startup(int, char**) {}
void EndProcess(int exitCode) { throw fake::TProcessEnded{exitCode}; }
void InstallInterruptHandler(TInterruptCallback callback, void* context) {
  machine.interruptHandler = callback;
  machine.interruptContext = context;
}
void AwaitProcessEnd() {
  fake::interrupter.wait();  // the interrupt's handler returns, and the process ends
  throw fake::TProcessEnded{fake::kInterruptedExit};
}
std::chrono::steady_clock::time_point SteadyNow() {
  ++fake::clockReads;
  return std::chrono::steady_clock::time_point(fake::clock.load());
}
TFaultStack::TFaultStack() {}
TFaultStack::~TFaultStack() {}
TProgressDisplay OpenProgressDisplay() {
  Call("OpenProgressDisplay", "");
  return {1};
}
std::size_t StatusLineColumns(TProgressDisplay) { return machine.columns; }
// Fails as the making of its text would where memory runs out.
void ShowProgress(TProgressDisplay, std::string_view title, int percent, std::string_view line,
                  std::size_t columns) {
  const std::string shown =
      line.empty() ? "" : " | " + std::string(line) + " (" + std::to_string(columns) + ")";
  if (Call("ShowProgress", std::to_string(percent) + " " + std::string(title) + shown)) {
    throw std::bad_alloc();
  }
}
void PutProgressBack(TProgressDisplay, bool keepLine) {
  Call("PutProgressBack", keepLine ? "keeping the line" : "");
}
void CloseProgressDisplay(TProgressDisplay, bool keepLine) {
  Call("CloseProgressDisplay", keepLine ? "keeping the line" : "");
}
void InstallFaultHandler(TFaultCallback callback, void* context) {
  machine.faultHandler = callback;
  machine.faultContext = context;
}
TCommandLineSource ProcessCommandLine() { return {true, machine.commandLine, {}}; }
const std::string& ProgramPath() { return machine.programPath; }
std::size_t ModuleOfAddress(std::uintptr_t, char*, std::size_t, std::uintptr_t&) { return 0; }
std::string ThousandsSeparator() { return machine.separator; }
// The stream bytes of a code page that holds no emoji (four UTF-8 bytes from F0).
std::size_t ToStreamBytes(std::string_view text, char* out, std::size_t room) {
  std::string bytes(text);
  for (std::size_t at; (at = bytes.find('\xF0')) != std::string::npos;) bytes.replace(at, 4, "?");
  return bytes.copy(out, room);
}
std::string SystemMessage(const platform::TError& error) {
  return "System error " + std::to_string(error.code) + ".\r\n";
}
TPathStyle NativePathStyle() { return TPathStyle::kWindows; }
unsigned ProcessorCount() { return machine.processors; }

TFileHandle StdHandle(TStdStream stream) {
  const int which = static_cast<int>(stream);
  return machine.missing[which] ? kInvalidHandle : TFileHandle{fake::kStd + which};
}
TFileType TypeOfFile(TFileHandle handle) { return machine.types[handle.value - fake::kStd]; }

TIoResult ReadBytes(TFileHandle handle, void* buffer, std::uint32_t size) {
  if (const TErrorCode code = Call("ReadBytes", HandleArgument(handle))) return {0, {code}};
  std::string& input = machine.stdinBytes;
  if (input.empty() && machine.stdinEnd) return {0, {machine.stdinEnd}};
  const auto count = std::min<std::uint32_t>(size, std::uint32_t(input.size()));
  std::memcpy(buffer, input.data(), count);
  input.erase(0, count);
  return {count, {}};
}

TIoResult WriteBytes(TFileHandle handle, const void* data, std::uint32_t size) {
  const std::string arguments = HandleArgument(handle) + " n=" + std::to_string(size);
  if (const TErrorCode code = Call("WriteBytes", arguments)) return {0, {code}};
  machine.out[handle.value - fake::kStd].append(static_cast<const char*>(data), size);
  return {size, {}};
}

// A console shows the first bytes of a character cut in two as a replacement character.
TIoResult WriteConsoleText(TFileHandle handle, const char* text, std::uint32_t size) {
  std::string shown(text, size);
  std::size_t lead = shown.size();
  while (lead > 0 && (shown[lead - 1] & 0xC0) == 0x80) --lead;
  const auto first = static_cast<unsigned char>(lead > 0 ? shown[lead - 1] : 0);
  const std::size_t length = first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : first >= 0xC0 ? 2 : 1;
  if (lead > 0 && lead - 1 + length > shown.size()) shown.replace(lead - 1, length, "\xEF\xBF\xBD");
  return {size, WriteBytes(handle, shown.data(), std::uint32_t(shown.size())).error};
}

TIoResult ReadAt(TFileHandle handle, std::int64_t offset, void* buffer, std::uint32_t size) {
  return fake::Transfer("ReadAt", handle, offset, size, [&](fake::TData& file, auto limit) {
    return std::uint32_t(file.Read(offset, static_cast<char*>(buffer), limit));
  });
}

TIoResult WriteAt(TFileHandle handle, std::int64_t offset, const void* data, std::uint32_t size) {
  return fake::Transfer("WriteAt", handle, offset, size, [&](fake::TData& file, auto limit) {
    file.Write(offset, static_cast<const char*>(data), limit);
    return limit;
  });
}
void CloseFile(TFileHandle handle) { machine.files.erase(handle.value); }

std::optional<TFileIdentity> IdentityOfFile(const std::string& path) {
  const fake::TNode* node = fake::Find(path);
  if (Call("IdentityOfFile", path) || !node || node->folder) return std::nullopt;
  return TFileIdentity{1, node->file};
}

TOpenResult CreateNewFile(const std::string& path) {
  if (machine.beforeOpen) machine.beforeOpen(path);
  if (const TErrorCode code = Call("CreateNewFile", path)) return {kInvalidHandle, {code}};
  const std::string full = Full(path);
  if (!fake::Find(full + "\\..")) return {kInvalidHandle, {kErrorPathNotFound}};
  if (fake::Find(full)) return {kInvalidHandle, {kErrorFileExists}};
  fake::Add(full, false).file = machine.nextFile++;
  return fake::Open(full);
}

TOpenResult OpenFileForWriting(const std::string& path, const TFileIdentity& expected,
                               TExisting existing) {
  if (machine.beforeOpen) machine.beforeOpen(path);
  if (const TErrorCode code = Call("OpenFileForWriting", path)) return {kInvalidHandle, {code}};
  fake::TNode* node = fake::Find(path);
  if (!node) return {kInvalidHandle, {kErrorFileNotFound}};
  if (node->folder || TFileIdentity{1, node->file} != expected) {
    return {kInvalidHandle, {kErrorFileExists}};
  }
  if (existing == TExisting::kTruncate) node->data = fake::TData{};
  return fake::Open(Full(path));
}

TOpenResult OpenForReading(const std::string& path) {
  if (const TErrorCode code = Call("OpenForReading", path)) return {kInvalidHandle, {code}};
  if (!fake::Find(path)) return {kInvalidHandle, {kErrorFileNotFound}};
  return fake::Open(Full(path));
}

TError MarkSparse(TFileHandle handle) { return {Call("MarkSparse", HandleArgument(handle))}; }
bool RemoveFile(const std::string& path) {
  return !Call("RemoveFile", path) && machine.nodes.erase(fake::Key(Full(path))) == 1;
}

TError SetLength(TFileHandle handle, std::int64_t length) {
  const std::lock_guard<std::mutex> lock(fake::workers);
  TErrorCode code = Call("SetLength", HandleArgument(handle) + " o=" + std::to_string(length));
  if (code == 0 && length > machine.largestFile) code = 223;  // the volume takes none so long
  if (code == 0) fake::DataOf(handle).SetLength(length);
  return {code};
}
std::int64_t SizeOfFile(TFileHandle handle) { return fake::DataOf(handle).length; }
std::uint32_t AllocationUnitOf(TFileHandle handle) {
  return machine.volumes.at(fake::Key(fake::RootOf(machine.files[handle.value]) + "\\")).second;
}

TDataRange NextDataRange(TFileHandle handle, std::int64_t offset) {
  const std::lock_guard<std::mutex> lock(fake::workers);
  if (Call("NextDataRange", HandleArgument(handle) + " o=" + std::to_string(offset))) return {};
  const fake::TData& data = fake::DataOf(handle);
  for (const auto& [start, bytes] : data.extents) {
    const std::int64_t end = start + std::int64_t(bytes.size());
    if (end > offset) return {true, std::max(start, offset), end};
  }
  return {true, data.length, data.length};
}

TPathKind KindOfPath(const std::string& path) {
  const fake::TNode* node = fake::Find(path);
  if (Call("KindOfPath", path) || !node) return TPathKind::kNone;
  return node->folder ? TPathKind::kFolder : TPathKind::kFile;
}

TPathResult CurrentFolder() {
  if (const TErrorCode code = Call("CurrentFolder", "")) return {"", {code}};
  return {machine.folder, {}};
}
TPathResult FullPathOf(const std::string& path) {
  if (const TErrorCode code = Call("FullPathOf", path)) return {"", {code}};
  return {Full(path), {}};
}

bool VolumeKeepsHoles(const std::string& root) {
  const auto volume = machine.volumes.find(fake::Key(root));
  return !Call("VolumeKeepsHoles", root) && volume != machine.volumes.end() && volume->second.first;
}

TSearchHandle FindFirstEntry(const std::string& pattern, TFoundEntry& entry) {
  const std::string full = Full(pattern);
  if (Call("FindFirstEntry", pattern) || full.empty()) return {};
  const std::string folder = fake::ParentKey(full);
  std::vector<TFoundEntry> found;
  for (const auto& [key, node] : machine.nodes) {
    if (key != folder && fake::ParentKey(key) == folder &&
        fake::Matches(fake::Components(full).back().c_str(), node.name.c_str())) {
      found.push_back({node.name, node.folder});
    }
  }
  if (found.empty()) return {};
  entry = found[0];
  machine.found.assign(found.begin() + 1, found.end());
  machine.searching = true;
  return {1};
}
bool FindNextEntry(TSearchHandle, TFoundEntry& entry) {
  if (Call("FindNextEntry", "") || machine.found.empty()) return false;
  entry = machine.found.front();
  machine.found.erase(machine.found.begin());
  return true;
}
void FindEnd(TSearchHandle) { machine.searching = false; }

}  // namespace platform
