// The in-memory platform the unit tests link instead of a real back end.
//
// It implements every function of platform/Platform.h over a small world held in memory:
// folders and sparse files, volumes, a current folder, a command line, scripted standard
// input, captured standard output and error, a log of every call, and scheduled failures.
// By default the world is a Japanese Windows machine (Windows paths, code page 932); it can
// be switched to POSIX behaviour.
//
// A test configures the world, runs the program's logic, then asserts on files, output, the
// call log, injected failures and the handles left open. Call Reset() (or ResetForPosix())
// at the start of every test. Helpers taking a path resolve it like the platform calls do
// (relative paths against the current folder) and throw std::logic_error when misused, e.g.
// asking for the bytes of a file that does not exist.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Platform.h"

namespace fake {

using platform::ErrorCode;
using platform::FileType;
using platform::PathStyle;
using platform::StdStream;

// ---- World -----------------------------------------------------------------

// Restores the default world: Windows paths, code page 932, one volume "C:\" (NTFS, units of
// 4096 bytes) holding only the folder "C:\work", which is the current folder; program
// "C:\tools\Dravik.exe", raw command line "Dravik.exe", thousands separator ",", empty
// standard input, all three standard handles present and of type Char, empty call log and
// no failures scheduled.
void Reset();

// Reset(), then a POSIX machine: '/' paths compared byte for byte, no double-byte code page,
// one volume "/" (NTFS, 4096), current folder "/work", program "/tools/dravik", command line
// given as words (none).
void ResetForPosix();

// ---- Configuration -----------------------------------------------------------

void SetPathStyle(PathStyle style);
// On: IsLeadByte is true for 0x81-0x9F and 0xE0-0xFC, and paths are split and compared
// character by character, so a trail byte 0x5C is no delimiter.
void SetDoubleByteCodePage(bool on);

void SetRawCommandLine(const std::string& raw);
void SetCommandWords(const std::vector<std::string>& words);
void SetProgramPath(const std::string& path);
// Makes ModuleOfAddress answer this module for every address (by default it cannot tell).
void SetModuleOfAddress(const std::string& path, std::uintptr_t base);

void SetThousandsSeparator(const std::string& separator);
// What ProcessorCount answers (1 by default, so a copy runs on one thread).
void SetProcessorCount(unsigned processors);
// Replaces the ANSI-to-OEM conversion (the identity by default).
void SetOemConversion(std::function<void(std::string&)> convert);
// SystemMessage gives "System error <code>.\r\n" for every code unless told otherwise: a text
// set here (empty for "no text"), or nothing at all for the codes without one once
// SetDefaultSystemMessages(false) is called.
void SetSystemMessage(ErrorCode code, const std::string& text);
void SetDefaultSystemMessages(bool on);

// Makes the folder (created if missing) the current folder.
void SetCurrentFolder(const std::string& path);
// CurrentFolder returns empty, and relative paths can no longer be resolved.
void SetCurrentFolderUnknown();

// Adds a volume, or reconfigures the one with the same root. Windows roots: "C:\",
// "\\server\share\"; POSIX roots: "/", "/mnt/usb/". The root folder is created. A file's
// volume is the one with the longest root its path begins with; a file outside every volume
// has allocation unit 0, unknown data ranges and cannot be marked sparse (nor can one on a
// volume that is not "NTFS"). When answersDataRanges is false, NextDataRange reports
// known=false for its files. FileSystemNameOf wants a root exactly as added (ignoring case)
// on Windows and takes any path on POSIX.
void AddVolume(const std::string& root, const std::string& fileSystem,
               std::uint32_t allocationUnit = 4096, bool answersDataRanges = true);

// ---- File system ---------------------------------------------------------------

// Attributes a file may carry; the program must treat such files like any other.
enum Attribute : unsigned { kReadOnly = 1, kHidden = 2, kSystem = 4, kArchive = 0x20 };

// A piece of a file's data: these bytes at this offset, allocated.
struct DataPiece {
  std::int64_t offset = 0;
  std::string bytes;
};

// A range of bytes [start, end).
struct ByteRange {
  std::int64_t start = 0;
  std::int64_t end = 0;
  bool operator==(const ByteRange& other) const { return start == other.start && end == other.end; }
};

// Folders in a path that do not exist yet are created; entries keep the order of creation.
void AddFolder(const std::string& path);
// A file whose whole content is allocated. Replaces the content of an existing file.
void AddFile(const std::string& path, const std::string& bytes, unsigned attributes = 0);
// A file of `length` bytes with data only in `pieces`; the rest are holes reading as zero.
// Any length is fine: nothing but the pieces is held in memory.
void AddSparseFile(const std::string& path, std::int64_t length,
                   const std::vector<DataPiece>& pieces, unsigned attributes = 0);

bool Exists(const std::string& path);
bool IsFile(const std::string& path);
bool IsFolder(const std::string& path);
// Names in a folder, in the order they were created.
std::vector<std::string> EntriesOf(const std::string& folder);

// Whole content; for files of at most 64 MiB.
std::string FileBytes(const std::string& path);
// `count` bytes from `offset` (fewer at the end), holes as zeros.
std::string FileBytesAt(const std::string& path, std::int64_t offset, std::size_t count);
std::int64_t FileLength(const std::string& path);
// Bytes ever written or given as data and still inside the file; holes count 0.
std::int64_t AllocatedBytes(const std::string& path);
std::vector<ByteRange> AllocatedRanges(const std::string& path);
// True once MarkSparse succeeded on it (CreateTruncated clears the mark).
bool IsMarkedSparse(const std::string& path);
unsigned AttributesOf(const std::string& path);

// Another program holds the file open without sharing: every open of it fails with 32.
void HoldOpenElsewhere(const std::string& path, bool held = true);
// CreateTruncated of this file, or of any file in this folder, fails with 5.
void RefuseWrites(const std::string& path, bool refuse = true);

// ---- Standard streams ----------------------------------------------------------

// The values StdHandle gives. File handles are numbered 3, 4, ... and searches 1, 2, ... from
// Reset, never reused and never one of these.
constexpr std::intptr_t kStdinHandle = 1000;
constexpr std::intptr_t kStdoutHandle = 1001;
constexpr std::intptr_t kStderrHandle = 1002;

// Standard input as one block: each read gets as much as it asks for.
void SetStdin(const std::string& bytes);
// Standard input in chunks: a read never crosses from one chunk into the next.
void SetStdinChunks(const std::vector<std::string>& chunks);
// After the last byte, reads fail with `code` instead of reporting the end (0 bytes).
void EndStdinWithError(ErrorCode code);
std::size_t StdinUnread();

// StdHandle gives kInvalidHandle for this stream.
void SetStdHandleMissing(StdStream stream);
// What TypeOfFile reports for the stream's handle (Char by default).
void SetStdType(StdStream stream, FileType type);
// True once the program closed the stream's handle with CloseFile.
bool StdHandleClosed(StdStream stream);

std::string StdoutText();
std::string StderrText();
// The bytes delivered by each successful write, in order.
std::vector<std::uint32_t> StdoutWriteSizes();
std::vector<std::uint32_t> StderrWriteSizes();

// ---- Process -------------------------------------------------------------------

// What EndProcess throws; the tests catch it.
struct ProcessEnded {
  int exitCode = 0;
};

std::optional<int> EndedWithCode();
int StartupCount();
std::vector<std::string> StartupArguments();
platform::FaultCallback InstalledFaultHandler();

// ---- Call log ------------------------------------------------------------------

// Call texts: the kind, then its arguments: a path as given ("CreateTruncated C:\out.bin"),
// h=<handle>, s=<search>, n=<bytes asked>, d=<distance>, o=<offset>, b=0x81, code=5,
// argc=2, the stream ("StdHandle Output"); nothing more for calls without arguments.
struct Call {
  std::int64_t index = 0;  // 1-based, counting every call since Reset
  std::string kind;        // the function's name, e.g. "WriteBytes"
  std::string text;        // kind and arguments, e.g. "WriteBytes h=5 n=2"
  ErrorCode injected = 0;  // the code of an injected failure, 0 when none
  bool shortened = false;  // an injected short transfer
};

const std::vector<Call>& Calls();
std::vector<Call> CallsOf(const std::string& kind);
// The texts of the calls of the given kinds (all calls when empty), in order.
std::vector<std::string> CallTexts(const std::vector<std::string>& kinds = {});
std::vector<std::string> KindsCalled();
int CountCalls(const std::string& kind);
// Empties the log; the counters and the scheduled failures are kept.
void ClearCalls();
// Calls made since Reset, and those of them that could fail (see CanFail).
std::int64_t CallCount();
std::int64_t FailableCallCount();

// ---- Failure injection -----------------------------------------------------------

// Calls are counted from the moment the failure is scheduled. Written out in braces, e.g.
// {"WriteAt", 2, false, 112} or, for a short transfer, {"WriteAt", 2, false, 0, 1}.
struct FailureRule {
  FailureRule() = default;
  FailureRule(std::string kind, std::int64_t nth, bool andLater = false, ErrorCode code = 0,
              std::optional<std::uint32_t> shortBytes = std::nullopt,
              std::optional<std::intptr_t> handle = std::nullopt)
      : kind(std::move(kind)),
        nth(nth),
        andLater(andLater),
        code(code),
        shortBytes(shortBytes),
        handle(handle) {}

  std::string kind;                         // empty: any call that can fail
  std::int64_t nth = 1;                     // 1-based among the matching calls
  bool andLater = false;                    // every matching call from the nth on
  ErrorCode code = 0;                       // the failure's code
  std::optional<std::uint32_t> shortBytes;  // reads and writes: transfer this many, ok
  std::optional<std::intptr_t> handle;      // only calls on this handle or search match
};
void Schedule(const FailureRule& rule);

// The nth call of `kind` fails with `code`.
void FailCall(const std::string& kind, std::int64_t nth, ErrorCode code);
// Every call of `kind` from the nth on fails with `code`.
void FailCallsFrom(const std::string& kind, std::int64_t nth, ErrorCode code);
// The nth read or write of that kind transfers at most `bytes` and succeeds.
void ShortenCall(const std::string& kind, std::int64_t nth, std::uint32_t bytes);
// The nth call that can fail, of any kind, fails with `code`.
void FailAnyCall(std::int64_t nth, ErrorCode code);
// The nth write to standard output fails with `code` (and every later one, if asked).
void FailStdoutWrite(std::int64_t nth, ErrorCode code, bool andLater = false);

// Whether a call of this kind has a way to fail (CloseFile, IsLeadByte, ... have none).
bool CanFail(const std::string& kind);

struct Injection {
  std::int64_t callIndex = 0;
  std::string text;
  ErrorCode code = 0;
  std::optional<std::uint32_t> shortBytes;
};
std::vector<Injection> Injections();
// Scheduled failures that have not fired (an andLater rule counts once it has fired).
int UnfiredFailures();

// ---- Resources -------------------------------------------------------------------

int OpenFileCount();
int OpenSearchCount();
// Whether any handle of this process has the file open.
bool IsOpen(const std::string& path);
// Closing an invalid, unknown or already closed handle or search, or using a closed one.
std::vector<std::string> Misuses();

}  // namespace fake
