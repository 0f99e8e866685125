// The fake platform's state and the helpers its parts share. Not for use by tests.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "tests/fake/FakePlatform.h"
#include "tests/fake/FakeSparseData.h"

namespace fake::detail {

struct Volume {
  std::string root;
  std::string fileSystem;
  std::uint32_t allocationUnit = 0;
  bool answersDataRanges = true;
};

// A folder or a file. Nodes are never removed, so their indexes stay valid.
struct Node {
  std::string path;  // resolved, without a trailing delimiter (except a root's own)
  std::string name;  // the last component, empty for a root
  bool isFolder = false;
  unsigned attributes = 0;
  bool heldElsewhere = false;
  bool refusesWrites = false;
  bool markedSparse = false;
  bool removed = false;  // deleted: no longer found, nor listed in its folder
  SparseData data;
  std::vector<std::size_t> children;  // in order of creation
};

struct OpenFile {
  std::size_t node = 0;
  bool forWriting = false;
};

struct Search {
  std::vector<platform::FoundEntry> entries;
  std::size_t next = 0;
};

struct StdChannel {
  bool present = true;
  bool closed = false;
  FileType type = FileType::Char;
  std::string captured;
  std::vector<std::uint32_t> writeSizes;
};

struct ScheduledFailure {
  FailureRule rule;
  std::int64_t matchingCalls = 0;
  bool fired = false;
};

struct World {
  PathStyle style = PathStyle::Windows;
  bool doubleByte = true;

  std::vector<Node> nodes;
  std::vector<Volume> volumes;
  std::optional<std::string> currentFolder;

  platform::CommandLineSource commandLine;
  std::string programPath = "C:\\tools\\Dravik.exe";
  std::optional<std::string> modulePath;
  std::uintptr_t moduleBase = 0;

  std::string thousandsSeparator = ",";
  std::function<void(std::string&)> oemConversion;
  std::map<ErrorCode, std::string> systemMessages;
  bool defaultSystemMessages = true;

  std::array<StdChannel, 3> channels;
  std::deque<std::string> stdinChunks;
  ErrorCode stdinEndError = 0;

  std::map<std::intptr_t, OpenFile> openFiles;
  std::set<std::intptr_t> closedFiles;
  std::intptr_t nextFileHandle = 3;
  std::map<std::intptr_t, Search> searches;
  std::set<std::intptr_t> closedSearches;
  std::intptr_t nextSearch = 1;
  std::vector<std::string> misuses;

  std::vector<Call> calls;
  std::int64_t callCount = 0;
  std::int64_t failableCallCount = 0;
  std::vector<ScheduledFailure> failures;
  std::vector<Injection> injections;

  unsigned processors = 1;
  int startupCount = 0;
  std::vector<std::string> startupArguments;
  platform::FaultCallback faultHandler = nullptr;
  std::optional<int> exitCode;
};

World& TheWorld();
// Held by the calls that the copy's workers make from two threads.
std::mutex& FileLock();

// ---- Paths (FakePaths.cpp) ----

// A path resolved like GetFullPathNameA does: a root ("C:\", "\\server\share\", "/") and the
// components left after dropping "." and resolving "..".
struct ResolvedPath {
  std::string root;
  std::vector<std::string> parts;
  bool trailingDelimiter = false;
};

char Delimiter();
bool IsLeadByteNow(unsigned char byte);
// False when the path is empty, or relative while the current folder is unknown.
bool Resolve(const std::string& path, ResolvedPath& resolved);
std::string Join(const ResolvedPath& path, bool withTrailingDelimiter);
// The path folded for comparison: A-Z lowered on Windows (not in trail bytes), as is on POSIX.
std::string ComparisonKey(const std::string& text);
bool SameText(const std::string& a, const std::string& b);
bool HasWildcards(const std::string& path);
// Splits a search pattern at its last delimiter (and, on Windows, ':').
void SplitPattern(const std::string& pattern, std::string& folder, std::string& name);
bool MatchesWildcard(const std::string& name, const std::string& pattern);

// ---- The file system (FakeWorld.cpp) ----

std::optional<std::size_t> FindNode(const ResolvedPath& path);
std::optional<std::size_t> FindNode(const std::string& path);
// Creates the folders along the path; returns the last one.
std::size_t EnsureFolder(const ResolvedPath& path);
// Creates a file in an existing folder.
std::size_t CreateFileNode(std::size_t folder, const ResolvedPath& path);
const Volume* VolumeOf(const std::string& path);
bool IsOpenHere(std::size_t node);

// ---- Call log and injection (FakeCallLog.cpp) ----

// What the call must do: succeed, fail with a code, or transfer fewer bytes.
struct Outcome {
  ErrorCode failure = 0;
  std::optional<std::uint32_t> shortBytes;
  bool Fails() const { return failure != 0; }
};

// Logs a call and decides whether an injected failure strikes it.
Outcome BeginCall(const std::string& kind, const std::string& arguments,
                  std::optional<std::intptr_t> handle = std::nullopt);
void RecordMisuse(const std::string& text);

}  // namespace fake::detail
