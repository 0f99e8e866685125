// The machine the unit tests run the program on: a Japanese Windows with drive C: (NTFS, 4 KiB
// units), the folder C:\work, files as extents with holes, consoles (or redirected streams, whose
// bytes hold no emoji), a log of the calls, and failures on schedule (the n-th call of a kind fails
// or transfers fewer bytes). Tests use `fake::machine` directly; Reset() restores it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/Platform.h"

namespace fake {

// A file's length and the extents that hold data (never overlapping: no byte is written twice).
struct TData {
  std::map<std::int64_t, std::string> extents;
  std::int64_t length = 0;
  void Write(std::int64_t offset, const char* bytes, std::size_t count);
  std::size_t Read(std::int64_t offset, char* out, std::size_t count) const;
  void SetLength(std::int64_t newLength);
};

struct TNode {
  bool folder = false;
  std::string name;
  TData data;
  std::uint64_t file = 0;  // its identity's number: a file put in its place gets another
};
struct TRule {  // one per kind; code 0: a transfer moves at most `shortBytes` and succeeds
  std::string kind;
  int nth;
  platform::TErrorCode code;
  bool andLater;
  std::uint32_t shortBytes;
  int seen = 0;
};

struct TMachine {
  std::map<std::string, TNode> nodes;                             // by the folded full path
  std::map<std::string, std::pair<bool, std::uint32_t>> volumes;  // root: keeps holes, unit
  std::string folder = "C:\\work";
  std::string commandLine = "Dravik.exe", separator = ",", programPath = "C:\\tools\\Dravik.exe";
  std::string stdinBytes, out[3];     // out[1] standard output, out[2] standard error
  platform::TErrorCode stdinEnd = 0;  // after the input, reads fail with it
  platform::TFileType types[3] = {platform::TFileType::kConsole, platform::TFileType::kConsole,
                                  platform::TFileType::kConsole};
  bool missing[3] = {};
  unsigned processors = 1;
  std::size_t columns = 0;  // of the status line: none where standard error is no console
  std::int64_t largestFile = INT64_MAX;
  std::map<std::intptr_t, std::string> files;  // open handles: the node key
  std::vector<platform::TFoundEntry> found;    // still to come from the one search open, if any
  bool searching = false;
  std::intptr_t nextHandle = 3;
  std::vector<TRule> rules;
  std::vector<std::string> calls;  // "ReadAt h=3 o=0 n=524288", with " !" when it failed
  platform::TFaultCallback faultHandler = nullptr;
  void* faultContext = nullptr;
  platform::TInterruptCallback interruptHandler = nullptr;
  void* interruptContext = nullptr;
  // Called before each read or write of a file, outside the fake's lock, with its offset.
  std::function<void(std::int64_t)> beforeTransfer;
  // Called before a destination is opened, with its path: another program may act there.
  std::function<void(const std::string&)> beforeOpen;
  std::uint64_t nextFile = 1;
};
extern TMachine machine;
extern std::atomic<std::chrono::steady_clock::duration> clock;  // what SteadyNow() tells
extern std::atomic<int> clockReads;                             // how often it was asked

void Reset();
void AddVolume(const std::string& root, bool keepsHoles, std::uint32_t unit = 4096);
void AddFolder(const std::string& path);
using TDataPiece = std::pair<std::int64_t, std::string>;  // bytes at an offset
// A file with every byte allocated, or one of `length` bytes with data only in `pieces`.
void AddFile(const std::string& path, const std::string& bytes);
void AddSparseFile(const std::string& path, std::int64_t length,
                   const std::vector<TDataPiece>& pieces);
void Fail(const std::string& kind, int nth, platform::TErrorCode code, bool andLater = false,
          std::uint32_t shortBytes = 0);

// The file's bytes, or "(none)" when there is no such file; `count` of them from `offset`.
std::string FileBytes(const std::string& path);
std::string FileBytes(const std::string& path, std::int64_t offset, std::size_t count);
std::int64_t FileLength(const std::string& path);
std::set<std::int64_t> AllocatedUnits(const std::string& path, std::int64_t unit = 4096);
int OpenHandles();  // files and searches left open

struct TProcessEnded {  // what EndProcess throws, and AwaitProcessEnd after an interrupt
  int code;
};
constexpr int kInterruptedExit = -2;
// Interrupts the run as the user would: the handler runs on a thread of its own.
void Interrupt();

}  // namespace fake
