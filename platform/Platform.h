// The operating-system layer: the only place that knows which system the program runs on.
//
// Everything above this header works with UTF-8 texts and names and with Win32 error codes,
// whatever the back end. POSIX names are whatever bytes the system gives; the Win32 back end
// takes and gives every name as UTF-16 and converts it without loss (a lone surrogate of a
// Windows name keeps the three-byte form UTF-8 would give it).
// Three implementations exist: win32/ (the Windows exes), posix/ (the Linux build) and an
// in-memory fake used by the unit tests. The build links exactly one of them.
//
// Names avoid those of the Win32 API, because <windows.h> turns many of them into macros.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Win32 error codes; the POSIX back end maps errno onto the nearest of them.
using TErrorCode = std::uint32_t;

constexpr TErrorCode kErrorSuccess = 0;
constexpr TErrorCode kErrorFileNotFound = 2;
constexpr TErrorCode kErrorPathNotFound = 3;
constexpr TErrorCode kErrorTooManyOpenFiles = 4;
constexpr TErrorCode kErrorAccessDenied = 5;
constexpr TErrorCode kErrorInvalidHandle = 6;
constexpr TErrorCode kErrorNotEnoughMemory = 8;
constexpr TErrorCode kErrorSharingViolation = 32;
constexpr TErrorCode kErrorFileExists = 80;
constexpr TErrorCode kErrorBrokenPipe = 109;
constexpr TErrorCode kErrorDiskFull = 112;
constexpr TErrorCode kErrorInvalidName = 123;
constexpr TErrorCode kErrorFilenameTooLong = 206;

// What a call that can fail reports: nothing (code 0), or why it failed. A failing call always
// carries a non-zero code, also where the system gives none: callers tell failure from success by
// the code alone, so a failed read can never pass for the end of a file. The error travels with
// its result, with what its message needs, and no back end keeps it anywhere else.
struct TError {
  TErrorCode code = kErrorSuccess;
  int cause = 0;  // the system's own number behind the code (errno on POSIX), for its text
  bool Failed() const { return code != kErrorSuccess; }
};

// An open file, console channel or pipe. -1 stands for INVALID_HANDLE_VALUE.
struct TFileHandle {
  std::intptr_t value = -1;
  bool IsValid() const { return value != -1; }
};
constexpr TFileHandle kInvalidHandle{};

// ---- Process -------------------------------------------------------------

// Called once, first thing in main. POSIX: remembers argv, makes sure descriptors 0-2 are
// occupied (a closed one is remembered as "no handle"), takes the files behind them as open,
// ignores SIGPIPE and SIGXFSZ, and takes the user's locale. Win32: keeps volume queries on
// empty drives from showing dialogs and takes the files behind the standard handles. Both learn
// the program's path, and what a fault report needs, here.
void Startup(int argc, char** argv);

// Ends the process at once with the given exit code. Open handles are closed by the system.
[[noreturn]] void EndProcess(int exitCode);

// The time, for the progress of a copy: never goes back.
std::chrono::steady_clock::time_point SteadyNow();

// From now on `callback` is called on a thread of its own when the user interrupts the run:
// Ctrl+C, Ctrl+Break or the console closed (Windows); SIGINT, SIGTERM or SIGHUP (POSIX), unless
// the process was started to ignore it. When it returns, the process ends as the system ends an
// interrupted one (STATUS_CONTROL_C_EXIT; the signal itself, by its default action), writing
// nothing. Called on the main thread while it is the only one: the threads it starts later
// hold the signals back for the handler's thread.
using TInterruptCallback = void (*)(void* context);
void InstallInterruptHandler(TInterruptCallback callback, void* context);

// The calling thread waits while another ends the process (an interrupt); never returns.
[[noreturn]] void AwaitProcessEnd();

// Processor faults (access violation, division by zero, ...) are handed to this callback,
// with a class name, a message and the faulting instruction's address. It must not return. On
// POSIX it runs in a signal handler: it may take no lock and allocate nothing. A fault while it
// runs, on its thread, ends the process with exit code 1; one on another thread waits for that.
using TFaultCallback = void (*)(void* context, const char* className, const char* message,
                                std::uintptr_t address);
void InstallFaultHandler(TFaultCallback callback, void* context);

// Room for the fault handler on the calling thread, so that a stack overflow there is reported
// too: a stack of its own on POSIX, a guaranteed reserve on Windows. Every thread of the program,
// the main one too, makes one as it starts and keeps it while it runs.
class TFaultStack {
 public:
  TFaultStack();
  ~TFaultStack();
  TFaultStack(const TFaultStack&) = delete;
  TFaultStack& operator=(const TFaultStack&) = delete;

 private:
  [[maybe_unused]] void* FMemory = nullptr;  // POSIX: the stack
};

// ---- Command line and program file ----------------------------------------

// Where the arguments come from. Windows hands over the raw command line, which the
// program splits itself; POSIX hands over argv after argument 0, already split by the shell.
struct TCommandLineSource {
  bool isRaw = true;
  std::string raw;                 // when isRaw
  std::vector<std::string> words;  // otherwise
};
TCommandLineSource ProcessCommandLine();

// Full path of the running program's file (GetModuleFileNameW; /proc/self/exe), as Startup
// learnt it.
const std::string& ProgramPath();

// The module whose code holds `address`: its full path, cut to `room` bytes, and its load base.
// Returns the path's length, 0 when the system cannot tell. A fault report asks it: allocates
// nothing and takes no lock (the modules are learnt at start-up on POSIX).
std::size_t ModuleOfAddress(std::uintptr_t address, char* path, std::size_t room,
                            std::uintptr_t& base);

// ---- Text ------------------------------------------------------------------

// The locale's thousands separator: one byte, or empty when the locale has none.
std::string ThousandsSeparator();

// The bytes that stand for `text` where it leaves as bytes (a redirected stream): the text itself
// on POSIX; code page 932 on Windows, with '?' for each character that code page cannot hold.
// At most `room` bytes, never more than the text has; returns how many.
std::size_t ToStreamBytes(std::string_view text, char* out, std::size_t room);

// The system's message text for an error, as the system gives it (line end included), or empty
// when there is none.
std::string SystemMessage(const TError& error);

// ---- Console channels ------------------------------------------------------

enum class TStdStream { kInput, kOutput, kError };
// kConsole: a console window or a terminal, which takes text; kChar: another character device
// (Windows' NUL), which takes bytes.
enum class TFileType { kUnknown, kDisk, kChar, kPipe, kConsole };

// The standard handle, or kInvalidHandle when the process has none.
TFileHandle StdHandle(TStdStream stream);
TFileType TypeOfFile(TFileHandle handle);

// ---- Progress of a long copy ------------------------------------------------

// Where a long copy's progress can be shown without changing a byte of the program's output:
// - the console window's title (Windows; one it can put back), or the terminal's title (POSIX,
//   by escape sequences on standard error when it is a terminal whose TERM is set and not
//   "dumb"); with it the taskbar or tab progress (OSC 9;4), where the console takes escape
//   sequences;
// - one status line on standard error, when that is a console (Windows: GetConsoleMode
//   succeeds; POSIX: the same terminal), drawn over in place.
// What is to be put back stays with the back end.
struct TProgressDisplay {
  std::intptr_t value = 0;
  bool IsOpen() const { return value != 0; }
};
// Keeps what is to be put back; not open where there is nowhere to show progress.
TProgressDisplay OpenProgressDisplay();
// The display columns the status line may take now, fewer than the console is wide, so that the
// line never wraps; 0 where there is no status line.
std::size_t StatusLineColumns(TProgressDisplay display);
// Shows the progress: the title, the percent, and the status line `line` (display columns
// `columns`, at most StatusLineColumns; empty where there is none). Each escape sequence goes
// whole in one write, so that none is ever split.
void ShowProgress(TProgressDisplay display, std::string_view title, int percent,
                  std::string_view line, std::size_t columns);
// Puts the title back, clears the percent, and erases the status line, or keeps it as it was
// last drawn and ends it with a line end. Allocates and releases nothing, so that a fault report
// can call it.
void PutProgressBack(TProgressDisplay display, bool keepLine);
// Puts the progress back, and releases what OpenProgressDisplay kept.
void CloseProgressDisplay(TProgressDisplay display, bool keepLine);

// ---- Reading and writing ---------------------------------------------------

struct TIoResult {
  std::uint32_t bytes = 0;  // bytes transferred
  TError error;
};
// Sequential transfers, for the standard streams.
TIoResult ReadBytes(TFileHandle handle, void* buffer, std::uint32_t size);
TIoResult WriteBytes(TFileHandle handle, const void* data, std::uint32_t size);
// Writes UTF-8 text of whole characters to a console: on Windows through its wide-character
// interface, so that it reads right whatever the console's code page; on POSIX as it is.
// Allocates nothing: a fault report writes through here.
TIoResult WriteConsoleText(TFileHandle handle, const char* text, std::uint32_t size);
void CloseFile(TFileHandle handle);

// Positional transfers, for files: each names its offset and moves no position that another
// relies on, so two threads may read or write one file at once. A read gives fewer bytes
// than asked (0 at or past the end) at the end of the file, or when the system returns short.
TIoResult ReadAt(TFileHandle handle, std::int64_t offset, void* buffer, std::uint32_t size);
TIoResult WriteAt(TFileHandle handle, std::int64_t offset, const void* data, std::uint32_t size);

// ---- Files -----------------------------------------------------------------

struct TOpenResult {
  TFileHandle handle;
  TError error;
};

// Which file a name leads to: its volume and its number there (st_dev and st_ino; the volume's
// serial number and the file index).
struct TFileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t file = 0;
  bool operator==(const TFileIdentity& other) const {
    return volume == other.volume && file == other.file;
  }
  bool operator!=(const TFileIdentity& other) const { return !(*this == other); }
};

// The identity of the file `path` names (links followed); none where it names no file
// (KindOfPath) or the system cannot tell.
std::optional<TFileIdentity> IdentityOfFile(const std::string& path);

// A destination is opened for writing without sharing: no other open of the file succeeds while
// this handle lives, and a file that is open elsewhere cannot be opened here
// (kErrorSharingViolation) and stays intact. Open elsewhere are the copy's source and the files
// behind the standard streams (a redirected output, say).
//
// Makes `path` a new file. Fails with kErrorFileExists where the name is taken, by whatever it
// is (a symbolic link too, one that leads nowhere as well): what is there is never opened.
TOpenResult CreateNewFile(const std::string& path);

// Opens the existing file `path` only while the name still leads to `expected`; another file in
// its place is left as it is (kErrorFileExists). Truncated once that is checked, or kept.
enum class TExisting { kTruncate, kKeep };
TOpenResult OpenFileForWriting(const std::string& path, const TFileIdentity& expected,
                               TExisting existing);

// Opens an existing file for reading only, sharing read and write with others.
TOpenResult OpenForReading(const std::string& path);

// Asks the file system to keep the file sparse.
TError MarkSparse(TFileHandle handle);

// Deletes a file (one this run created and could not complete). False when it cannot.
bool RemoveFile(const std::string& path);

// Makes `length` the file's length: what lies beyond is cut off, and a file that grows gets
// a hole, which reads as zeros and takes no space.
TError SetLength(TFileHandle handle, std::int64_t length);

// The length of an open file; -1 when it cannot be told.
std::int64_t SizeOfFile(TFileHandle handle);

// The volume's allocation unit for an open file, in bytes (cluster size on Windows,
// st_blksize on Linux); 0 when the system cannot tell.
std::uint32_t AllocationUnitOf(TFileHandle handle);

// The first allocated (data) range of an open file that ends after `offset`:
// [start, end), start clamped to `offset`. `known` is false when the file system cannot
// tell; then the whole file must be read. start == end == file length when no data follows.
struct TDataRange {
  bool known = false;
  std::int64_t start = 0;
  std::int64_t end = 0;
};
TDataRange NextDataRange(TFileHandle handle, std::int64_t offset);

// The number of processors this process may run on (at least 1).
unsigned ProcessorCount();

// ---- Paths, folders and volumes -------------------------------------------

// How paths are written: Windows (drive letters, UNC shares, '\' and ':' as delimiters,
// case of A-Z ignored) or POSIX ('/' only, byte-exact comparison).
enum class TPathStyle { kWindows, kPosix };
TPathStyle NativePathStyle();

// What a path names. Windows: GetFileAttributesW and its folder bit; a path with wildcards names
// nothing. POSIX: a regular file or a block device is a file; FIFOs, sockets and character
// devices name nothing; '*' and '?' are characters of a name like any other. A missing path and
// one that cannot be examined name nothing.
enum class TPathKind { kNone, kFile, kFolder };
TPathKind KindOfPath(const std::string& path);

// A path the system worked out, or the reason it could not: `path` is empty then and must
// not be used (an empty path is no folder, let alone the root).
struct TPathResult {
  std::string path;
  TError error;
};

// The process's current folder. Fails when it cannot be told (it was deleted, say).
TPathResult CurrentFolder();

// The full path of `path` (joined to the current folder when relative, "." and ".."
// resolved). Never cut short: long results get the buffer they need. Fails with
// kErrorFilenameTooLong where the result is longer than the system takes (PATH_MAX on POSIX).
// Windows resolves ".." by the text; POSIX keeps a ".." that follows a symbolic link, which the
// system takes from the link's target, not from the folder that holds the link.
TPathResult FullPathOf(const std::string& path);

// True when the volume at `root` keeps the unwritten ranges of a sparse file unallocated; false
// when it does not or cannot be queried. Windows: `root` is a drive root such as "C:\" or
// "\\server\share\", and the volume's file system must be NTFS. POSIX: any path; the volume
// is that of what the path finally names (links followed), or of the nearest existing folder
// on its way up, and must be one of the file systems that keep holes in files.
bool VolumeKeepsHoles(const std::string& root);

// A search over the entries matching a pattern (wildcards * and ? in the last component).
struct TSearchHandle {
  std::intptr_t value = -1;
  bool IsValid() const { return value != -1; }
};
struct TFoundEntry {
  std::string name;  // without a folder part
  bool isFolder = false;
};
// Opens the search and gives its first entry; an invalid handle when nothing matches or
// the search cannot be made.
TSearchHandle FindFirstEntry(const std::string& pattern, TFoundEntry& entry);
// The next entry; false when there is none.
bool FindNextEntry(TSearchHandle search, TFoundEntry& entry);
void FindEnd(TSearchHandle search);

}  // namespace platform
