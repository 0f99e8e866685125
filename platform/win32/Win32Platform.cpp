// The Windows back end of the platform layer, for the 32-bit and the 64-bit exe.
//
// Every service is one or two Win32 calls, to the wide-character functions: the program's texts
// and names are UTF-8 (platform/Unicode.h), and become UTF-16 at each call, so any name
// Windows allows works, and paths longer than MAX_PATH too ("Long paths" below).
// Handles travel as intptr_t, so nothing here assumes 64-bit pointers. File offsets are 64-bit
// everywhere (OVERLAPPED offsets, SetFilePointerEx), so the 32-bit exe works past 4 GiB.
// Functions only available on newer systems are looked up at run time, so the exe still loads
// where they are missing.
#include "platform/Platform.h"

#include <windows.h>
#include <winioctl.h>
#include <winternl.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <string>

#include "platform/Unicode.h"

namespace platform {
namespace {

// ---- Helpers -----------------------------------------------------------------

HANDLE ToSystemHandle(TFileHandle handle) { return reinterpret_cast<HANDLE>(handle.value); }

TFileHandle FromSystemHandle(HANDLE handle) {
  return TFileHandle{reinterpret_cast<std::intptr_t>(handle)};
}

HANDLE ToSystemHandle(TSearchHandle search) { return reinterpret_cast<HANDLE>(search.value); }

// A failed call's error. One that came with no code still fails.
TError FailureOf(DWORD code) {
  return TError{code != ERROR_SUCCESS ? static_cast<TErrorCode>(code) : ERROR_GEN_FAILURE};
}

// The failure the last call left.
TError LastError() { return FailureOf(GetLastError()); }

// A system function looked up at run time; null when the system lacks it.
template <typename Function>
Function SystemFunction(const char* moduleName, const char* functionName) {
  HMODULE module = GetModuleHandleA(moduleName);
  if (module == nullptr) return nullptr;
  FARPROC address = GetProcAddress(module, functionName);
  // void (*)() converts to and from any function pointer type without a warning.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}

// Fills `result` from a system call that takes a buffer and its size and returns the length
// it wrote, or the size it needs (terminating zero included) when the buffer was too small,
// or 0 on failure. The buffer grows to what the call asks for; nothing is ever cut.
template <typename Text, typename Fill>
bool FillGrowing(DWORD firstSize, Text& result, Fill fill) {
  constexpr int kAttempts = 4;  // the needed size only changes if the system state does
  DWORD size = firstSize;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    result.assign(size, typename Text::value_type());
    const DWORD length = fill(&result[0], size);
    if (length == 0) break;
    if (length < size) {
      result.resize(length);
      return true;
    }
    size = length;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);  // in case the attempts run out
  }
  result.clear();
  return false;
}

// "NTFS" with the letters A to Z compared without regard to case, and nothing else.
bool IsNtfsName(std::wstring_view name) {
  constexpr std::wstring_view kNtfs = L"ntfs";
  if (name.size() != kNtfs.size()) return false;
  for (std::size_t at = 0; at < name.size(); ++at) {
    const wchar_t unit = name[at];
    if ((unit >= L'A' && unit <= L'Z' ? unit + (L'a' - L'A') : unit) != kNtfs[at]) return false;
  }
  return true;
}

// A path holding a zero byte cannot be handed to the system: it would name another file.
bool IsPassable(const std::string& path) { return path.find('\0') == std::string::npos; }

// ---- Long paths ----------------------------------------------------------------
//
// The wide file functions take 32,767 characters behind "\\?\". A path goes to them as it is
// while its full form is shorter than MAX_PATH, else as that full form behind "\\?\" (which the
// system takes literally, so it must be resolved).

std::wstring ToWide(std::string_view text) {
  const std::u16string units = unicode::Utf16Of(text);
  return std::wstring(units.begin(), units.end());
}

std::string FromWide(std::wstring_view units) {
  return unicode::TextOf(std::u16string(units.begin(), units.end()));
}

bool FullWidePath(const std::wstring& path, std::wstring& full) {
  return FillGrowing(MAX_PATH, full, [&path](wchar_t* buffer, DWORD size) {
    return GetFullPathNameW(path.c_str(), size, buffer, nullptr);
  });
}

bool StartsWith(const std::wstring& text, const wchar_t* start) {
  return text.compare(0, std::wcslen(start), start) == 0;
}

// The path as the wide file functions are to take it.
std::wstring SystemPath(const std::string& path) {
  const std::wstring given = ToWide(path);
  std::wstring full;
  if (!FullWidePath(given, full) || full.size() < MAX_PATH || StartsWith(full, L"\\\\?\\") ||
      StartsWith(full, L"\\\\.\\")) {
    return given;
  }
  if (StartsWith(full, L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

TPathResult PathResult(bool given, const std::wstring& path) {
  if (!given) return {{}, LastError()};
  return {FromWide(path), {}};
}

bool ModuleFileName(HMODULE module, std::string& path) {
  std::wstring buffer(MAX_PATH + 1, L'\0');
  for (;;) {  // a name cut to the buffer fills it whole
    const DWORD size = static_cast<DWORD>(buffer.size());
    const DWORD length = GetModuleFileNameW(module, &buffer[0], size);
    if (length == 0) return false;
    if (length < size) {
      path = FromWide(std::wstring_view(buffer.data(), length));
      return true;
    }
    buffer.resize(buffer.size() * 2);
  }
}

// A positional transfer on a synchronous handle: the OVERLAPPED structure carries the offset.
OVERLAPPED AtOffset(std::int64_t offset) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(offset));
  at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
  return at;
}

// ---- The files behind the standard handles ------------------------------------
//
// Windows counts a redirected output's file as open, so a destination opened without sharing
// cannot be that file. Wine does not (its standard handles come from the Unix side), so the
// identities of those files are taken at start-up and a destination is checked against them.

struct TFileIdentity {
  DWORD volume = 0;
  DWORD indexHigh = 0;
  DWORD indexLow = 0;
};
TFileIdentity standardFiles[3];
int standardFileCount = 0;

bool IdentityOf(HANDLE handle, TFileIdentity& identity) {
  BY_HANDLE_FILE_INFORMATION information;
  if (!GetFileInformationByHandle(handle, &information)) return false;
  identity = {information.dwVolumeSerialNumber, information.nFileIndexHigh,
              information.nFileIndexLow};
  return true;
}

void TakeStandardFiles() {
  for (const DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    const HANDLE handle = GetStdHandle(which);
    if (handle != INVALID_HANDLE_VALUE && handle != nullptr &&
        GetFileType(handle) == FILE_TYPE_DISK &&
        IdentityOf(handle, standardFiles[standardFileCount])) {
      ++standardFileCount;
    }
  }
}

bool IsStandardFile(const std::wstring& path) {
  if (standardFileCount == 0) return false;  // the usual case: nothing to open and compare
  constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  const HANDLE handle = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  TFileIdentity identity;
  const bool known = IdentityOf(handle, identity);
  CloseHandle(handle);
  for (int at = 0; known && at < standardFileCount; ++at) {
    const TFileIdentity& file = standardFiles[at];
    if (file.volume == identity.volume && file.indexHigh == identity.indexHigh &&
        file.indexLow == identity.indexLow) {
      return true;
    }
  }
  return false;
}

TOpenResult Open(const std::string& path, DWORD access, DWORD share, DWORD disposition,
                 DWORD attributes) {
  TOpenResult result;
  if (!IsPassable(path)) {
    result.error = TError{ERROR_INVALID_NAME};
    return result;
  }
  HANDLE handle = CreateFileW(SystemPath(path).c_str(), access, share, nullptr, disposition,
                              attributes, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    result.error = LastError();
  } else {
    result.handle = FromSystemHandle(handle);
    // CREATE_ALWAYS and OPEN_ALWAYS tell an existing file by ERROR_ALREADY_EXISTS.
    result.created = disposition != OPEN_EXISTING && GetLastError() != ERROR_ALREADY_EXISTS;
  }
  return result;
}

void TakeEntry(const WIN32_FIND_DATAW& data, TFoundEntry& entry) {
  const wchar_t* end = std::find(data.cFileName, data.cFileName + MAX_PATH, L'\0');
  entry.name = FromWide(std::wstring_view(data.cFileName, end - data.cFileName));
  entry.isFolder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// ---- Processor faults ----------------------------------------------------------

TFaultCallback faultCallback = nullptr;
void* faultContext = nullptr;
volatile LONG faultReporter = 0;  // the thread that reports a fault, once one does
std::string programPath;          // learnt at start-up

struct TFaultKind {
  DWORD code;
  const char* className;
  const char* message;
};

const TFaultKind kFaultKinds[] = {
    {EXCEPTION_ACCESS_VIOLATION, "EAccessViolation", "アクセス違反です"},
    {EXCEPTION_STACK_OVERFLOW, "EStackOverflow", "スタックがあふれました"},
    {EXCEPTION_INT_DIVIDE_BY_ZERO, "EDivByZero", "整数を 0 で割りました"},
    {EXCEPTION_INT_OVERFLOW, "EIntOverflow", "整数演算があふれました"},
    {EXCEPTION_ARRAY_BOUNDS_EXCEEDED, "ERangeError", "配列の範囲を超えました"},
    {EXCEPTION_FLT_DIVIDE_BY_ZERO, "EZeroDivide", "浮動小数点数を 0 で割りました"},
    {EXCEPTION_FLT_OVERFLOW, "EOverflow", "浮動小数点演算があふれました"},
    {EXCEPTION_FLT_UNDERFLOW, "EUnderflow", "浮動小数点演算が下にあふれました"},
    {EXCEPTION_FLT_INVALID_OPERATION, "EInvalidOp", "浮動小数点演算が無効です"},
    {EXCEPTION_FLT_DENORMAL_OPERAND, "EInvalidOp", "浮動小数点演算が無効です"},
    {EXCEPTION_FLT_INEXACT_RESULT, "EInvalidOp", "浮動小数点演算が無効です"},
    {EXCEPTION_FLT_STACK_CHECK, "EInvalidOp", "浮動小数点演算が無効です"},
    {EXCEPTION_PRIV_INSTRUCTION, "EPrivilege", "特権命令を実行しました"},
    {EXCEPTION_ILLEGAL_INSTRUCTION, "EExternalException", "不正な命令を実行しました"},
    {EXCEPTION_DATATYPE_MISALIGNMENT, "EExternalException", "データの境界が揃っていません"},
    {EXCEPTION_IN_PAGE_ERROR, "EExternalException", "ページを読み込めませんでした"},
    {EXCEPTION_GUARD_PAGE, "EExternalException", "ガード ページに触れました"},
};

const TFaultKind* FaultKindOf(DWORD code) {
  for (const TFaultKind& kind : kFaultKinds) {
    if (kind.code == code) return &kind;
  }
  return nullptr;
}

// Appends `value` as upper-case hex digits, as many as a pointer has.
char* AppendHex(char* out, ULONG_PTR value) {
  for (int shift = static_cast<int>(sizeof value) * 8 - 4; shift >= 0; shift -= 4) {
    *out++ = "0123456789ABCDEF"[(value >> shift) & 0xF];
  }
  return out;
}

char* AppendText(char* out, const char* text) {
  const std::size_t length = std::strlen(text);
  std::memcpy(out, text, length);
  return out + length;
}

// "アクセス違反です (アドレス 00000000 への書き込み)": the access and its target, when the
// system tells them. Built in a fixed buffer: the heap may be what is broken.
const char* AccessViolationMessage(const EXCEPTION_RECORD& record, const char* plainMessage) {
  if (record.NumberParameters < 2) return plainMessage;
  static char message[128];
  const ULONG_PTR access = record.ExceptionInformation[0];
  const char* accessText = access == 0 ? "読み込み" : access == 1 ? "書き込み" : "実行";
  char* out = AppendText(message, plainMessage);
  out = AppendText(out, " (アドレス ");
  out = AppendHex(out, record.ExceptionInformation[1]);
  out = AppendText(out, " への");
  out = AppendText(out, accessText);
  out = AppendText(out, ")");
  *out = '\0';
  return message;
}

LONG WINAPI FaultFilter(EXCEPTION_POINTERS* exception) {
  const EXCEPTION_RECORD* record = exception ? exception->ExceptionRecord : nullptr;
  const TFaultKind* kind = record ? FaultKindOf(record->ExceptionCode) : nullptr;
  if (kind == nullptr || faultCallback == nullptr) return EXCEPTION_CONTINUE_SEARCH;
  // One thread reports; a fault inside its report ends the run as a failed one, without a
  // second report, and a fault on another thread waits for the report to end the process.
  constexpr UINT kFailedRunExitCode = 1;
  const LONG self = static_cast<LONG>(GetCurrentThreadId());
  const LONG reporter = InterlockedCompareExchange(&faultReporter, self, 0);
  if (reporter == self) ExitProcess(kFailedRunExitCode);
  if (reporter != 0) AwaitProcessEnd();
  const char* message = record->ExceptionCode == EXCEPTION_ACCESS_VIOLATION
                            ? AccessViolationMessage(*record, kind->message)
                            : kind->message;
  faultCallback(faultContext, kind->className, message,
                reinterpret_cast<std::uintptr_t>(record->ExceptionAddress));
  ExitProcess(kFailedRunExitCode);  // the callback must not return; make sure of it
}

// Keeps room on the stack for reporting a stack overflow (Vista and later).
void ReserveStackForFaultReport() {
  using TGuarantee = BOOL(WINAPI*)(PULONG);
  const auto setGuarantee = SystemFunction<TGuarantee>("kernel32.dll", "SetThreadStackGuarantee");
  ULONG reserve = 64 * 1024;
  if (setGuarantee != nullptr) setGuarantee(&reserve);
}

}  // namespace

// ---- Process -------------------------------------------------------------------

void Startup(int /*argc*/, char** /*argv*/) {
  // A drive without a medium makes a volume query fail with a code, not wait on a dialog box.
  // The flags the process already has (from its parent) are kept.
  const UINT inherited = SetErrorMode(SEM_FAILCRITICALERRORS);
  SetErrorMode(inherited | SEM_FAILCRITICALERRORS);
  TakeStandardFiles();
  ModuleFileName(nullptr, programPath);
}

std::chrono::steady_clock::time_point SteadyNow() { return std::chrono::steady_clock::now(); }

void EndProcess(int exitCode) { ExitProcess(static_cast<UINT>(exitCode)); }

namespace {

TInterruptCallback interruptCallback = nullptr;
void* interruptContext = nullptr;

// Runs on a thread the system starts for the event. Returning FALSE hands the event on to the
// default handler, which ends the process with STATUS_CONTROL_C_EXIT.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
    interruptCallback(interruptContext);
  }
  return FALSE;
}

}  // namespace

void InstallInterruptHandler(TInterruptCallback callback, void* context) {
  interruptCallback = callback;
  interruptContext = context;
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void AwaitProcessEnd() {
  for (;;) Sleep(INFINITE);
}

void InstallFaultHandler(TFaultCallback callback, void* context) {
  faultCallback = callback;
  faultContext = context;
  ReserveStackForFaultReport();
  SetUnhandledExceptionFilter(&FaultFilter);
}

TFaultStack::TFaultStack() { ReserveStackForFaultReport(); }

TFaultStack::~TFaultStack() = default;

// ---- Command line and program file -----------------------------------------------

TCommandLineSource ProcessCommandLine() {
  TCommandLineSource source;
  source.isRaw = true;
  const wchar_t* raw = GetCommandLineW();
  if (raw != nullptr) source.raw = FromWide(raw);
  return source;
}

const std::string& ProgramPath() { return programPath; }

// The module's name goes through a buffer on the stack; one too long for it counts as unknown.
std::size_t ModuleOfAddress(std::uintptr_t address, char* path, std::size_t room,
                            std::uintptr_t& base) {
  MEMORY_BASIC_INFORMATION region;
  if (VirtualQuery(reinterpret_cast<LPCVOID>(address), &region, sizeof region) == 0 ||
      region.State != MEM_COMMIT) {
    return 0;
  }
  wchar_t name[1024];
  const DWORD length = GetModuleFileNameW(static_cast<HMODULE>(region.AllocationBase), name,
                                          static_cast<DWORD>(std::size(name)));
  if (length == 0 || length == std::size(name)) return 0;
  base = reinterpret_cast<std::uintptr_t>(region.AllocationBase);
  return unicode::Utf8Into(std::u16string_view(reinterpret_cast<const char16_t*>(name), length),
                           path, room);
}

// ---- Text ------------------------------------------------------------------------

std::string ThousandsSeparator() {
  // Room for one byte and the zero: a separator longer in the ANSI code page makes the call fail.
  char separator[2] = {};
  if (GetLocaleInfoA(GetThreadLocale(), LOCALE_STHOUSAND, separator, sizeof separator) == 0) {
    return ",";
  }
  wchar_t character = 0;
  if (separator[0] == '\0' || MultiByteToWideChar(CP_ACP, 0, separator, 1, &character, 1) != 1) {
    return {};
  }
  return FromWide(std::wstring_view(&character, 1));
}

void ToOemCodePage(char* bytes, std::size_t size) {
  CharToOemBuffA(bytes, bytes, static_cast<DWORD>(size));
}

std::string SystemMessage(const TError& error) {
  constexpr DWORD kMessageBufferSize = 256;
  wchar_t buffer[kMessageBufferSize];
  const DWORD flags =
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ARGUMENT_ARRAY;
  const DWORD length =
      FormatMessageW(flags, nullptr, error.code, 0, buffer, kMessageBufferSize, nullptr);
  return FromWide(std::wstring_view(buffer, std::min(length, kMessageBufferSize)));
}

std::size_t ToStreamBytes(std::string_view text, char* out, std::size_t room) {
  constexpr UINT kStreamCodePage = 932;
  std::size_t size = 0;
  for (std::size_t at = 0; at < text.size();) {
    const char32_t point = unicode::DecodeAt(text, at);
    char bytes[2] = {'?'};
    int length = 1;
    if (point < 0x80) {
      bytes[0] = static_cast<char>(point);
    } else if (point < 0x10000) {  // a character of another plane, or a lone surrogate: '?'
      const wchar_t unit = static_cast<wchar_t>(point);
      length = WideCharToMultiByte(kStreamCodePage, WC_NO_BEST_FIT_CHARS, &unit, 1, bytes,
                                   sizeof bytes, "?", nullptr);
      if (length <= 0) {
        bytes[0] = '?';
        length = 1;
      }
    }
    if (size + static_cast<std::size_t>(length) > room) break;
    std::memcpy(out + size, bytes, static_cast<std::size_t>(length));
    size += static_cast<std::size_t>(length);
  }
  return size;
}

// ---- Console channels ---------------------------------------------------------------

TFileHandle StdHandle(TStdStream stream) {
  DWORD which = STD_INPUT_HANDLE;
  if (stream == TStdStream::kOutput) which = STD_OUTPUT_HANDLE;
  if (stream == TStdStream::kError) which = STD_ERROR_HANDLE;
  HANDLE handle = GetStdHandle(which);
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return kInvalidHandle;
  return FromSystemHandle(handle);
}

TFileType TypeOfFile(TFileHandle handle) {
  DWORD mode = 0;
  switch (GetFileType(ToSystemHandle(handle))) {
    case FILE_TYPE_UNKNOWN:
      return TFileType::kUnknown;
    case FILE_TYPE_CHAR:  // the console, or another device such as NUL
      return GetConsoleMode(ToSystemHandle(handle), &mode) ? TFileType::kConsole : TFileType::kChar;
    case FILE_TYPE_PIPE:
      return TFileType::kPipe;
    default:  // a disk file, or a remote one: written in blocks all the same
      return TFileType::kDisk;
  }
}

// Converted a piece at a time on the stack: a fault report writes through here too.
TIoResult WriteConsoleText(TFileHandle handle, const char* text, std::uint32_t size) {
  const std::string_view rest(text, size);
  for (std::size_t at = 0; at < rest.size();) {
    const std::size_t pieceStart = at;
    char16_t units[256];
    DWORD count = 0;
    while (at < rest.size() && count + 2 <= std::size(units)) {
      count += static_cast<DWORD>(unicode::EncodeUtf16(unicode::DecodeAt(rest, at), units + count));
    }
    for (DWORD done = 0; done < count;) {
      DWORD written = 0;
      if (!WriteConsoleW(ToSystemHandle(handle), reinterpret_cast<const wchar_t*>(units) + done,
                         count - done, &written, nullptr)) {
        return {static_cast<std::uint32_t>(pieceStart), LastError()};
      }
      done += written;
    }
  }
  return {size, {}};
}

// ---- Progress in a title ---------------------------------------------------------------

namespace {

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

// What is to be put back: the title, and the console's mode where escape sequences show the
// progress.
struct TConsoleTitle {
  std::wstring saved;
  HANDLE sequences = INVALID_HANDLE_VALUE;  // none where they would show as characters
  DWORD savedMode = 0;
};

TConsoleTitle& TitleOf(TProgressTitle title) {
  return *reinterpret_cast<TConsoleTitle*>(title.value);
}

void WriteSequence(const TConsoleTitle& title, std::string_view sequence) {
  DWORD written = 0;
  if (title.sequences != INVALID_HANDLE_VALUE) {
    WriteFile(title.sequences, sequence.data(), static_cast<DWORD>(sequence.size()), &written,
              nullptr);
  }
}

// The console's own screen, whatever the standard handles lead to, where it takes escape
// sequences (Windows 10 and later): it did, or it does once asked. Elsewhere they would show
// as characters, and none is written.
void TakeSequences(TConsoleTitle& title) {
  const HANDLE screen =
      CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  DWORD mode = 0;
  if (screen == INVALID_HANDLE_VALUE) return;
  if (GetConsoleMode(screen, &mode) &&
      ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
       SetConsoleMode(screen, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING))) {
    title.sequences = screen;
    title.savedMode = mode;
    return;
  }
  CloseHandle(screen);
}

}  // namespace

TProgressTitle OpenProgressTitle() {
  wchar_t saved[1024] = {};
  SetLastError(ERROR_SUCCESS);
  const DWORD length = GetConsoleTitleW(saved, std::size(saved));
  if (length == 0 && GetLastError() != ERROR_SUCCESS) return {};  // no console
  auto* title = new TConsoleTitle{saved};
  TakeSequences(*title);
  return {reinterpret_cast<std::intptr_t>(title)};
}

void ShowProgressTitle(TProgressTitle title, std::string_view text, int percent) {
  if (!title.IsOpen()) return;
  SetConsoleTitleW(ToWide(text).c_str());
  WriteSequence(TitleOf(title), "\x1b]9;4;1;" + std::to_string(percent) + "\x1b\\");
}

void PutProgressTitleBack(TProgressTitle title) {
  if (!title.IsOpen()) return;
  const TConsoleTitle& console = TitleOf(title);
  SetConsoleTitleW(console.saved.c_str());
  if (console.sequences == INVALID_HANDLE_VALUE) return;
  WriteSequence(console, "\x1b]9;4;0\x1b\\");
  SetConsoleMode(console.sequences, console.savedMode);
}

void CloseProgressTitle(TProgressTitle title) {
  if (!title.IsOpen()) return;
  PutProgressTitleBack(title);
  const TConsoleTitle* console = &TitleOf(title);
  if (console->sequences != INVALID_HANDLE_VALUE) CloseHandle(console->sequences);
  delete console;
}

// ---- Reading and writing --------------------------------------------------------------

TIoResult ReadBytes(TFileHandle handle, void* buffer, std::uint32_t size) {
  DWORD read = 0;
  TIoResult result;
  if (!ReadFile(ToSystemHandle(handle), buffer, size, &read, nullptr)) result.error = LastError();
  result.bytes = read;
  return result;
}

TIoResult WriteBytes(TFileHandle handle, const void* data, std::uint32_t size) {
  DWORD written = 0;
  TIoResult result;
  if (!WriteFile(ToSystemHandle(handle), data, size, &written, nullptr)) {
    result.error = LastError();
  }
  result.bytes = written;
  return result;
}

TIoResult ReadAt(TFileHandle handle, std::int64_t offset, void* buffer, std::uint32_t size) {
  OVERLAPPED at = AtOffset(offset);
  DWORD read = 0;
  if (ReadFile(ToSystemHandle(handle), buffer, size, &read, &at)) return TIoResult{read, {}};
  const TError error = LastError();
  // A read that starts at or past the end finds nothing, as on any other system.
  if (error.code == ERROR_HANDLE_EOF) return TIoResult{0, {}};
  return TIoResult{read, error};
}

TIoResult WriteAt(TFileHandle handle, std::int64_t offset, const void* data, std::uint32_t size) {
  OVERLAPPED at = AtOffset(offset);
  DWORD written = 0;
  if (WriteFile(ToSystemHandle(handle), data, size, &written, &at)) return TIoResult{written, {}};
  return TIoResult{written, LastError()};
}

void CloseFile(TFileHandle handle) {
  // INVALID_HANDLE_VALUE is also the pseudo handle of the process itself: never close it.
  if (handle.IsValid()) CloseHandle(ToSystemHandle(handle));
}

// ---- Files ------------------------------------------------------------------------------

TOpenResult OpenForWriting(const std::string& path, TExisting existing) {
  if (IsPassable(path) && IsStandardFile(SystemPath(path))) {
    return {kInvalidHandle, TError{ERROR_SHARING_VIOLATION}, false};
  }
  const DWORD disposition = existing == TExisting::kTruncate ? CREATE_ALWAYS : OPEN_ALWAYS;
  return Open(path, GENERIC_WRITE, 0, disposition, 0);
}

TOpenResult OpenForReading(const std::string& path) {
  return Open(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
              FILE_ATTRIBUTE_NORMAL);
}

TError MarkSparse(TFileHandle handle) {
  DWORD bytesReturned = 0;
  if (!DeviceIoControl(ToSystemHandle(handle), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0,
                       &bytesReturned, nullptr)) {
    return LastError();
  }
  return {};
}

bool RemoveFile(const std::string& path) {
  return IsPassable(path) && DeleteFileW(SystemPath(path).c_str()) != FALSE;
}

// Sets the end without the file pointer, which every positional transfer on the handle moves:
// SetEndOfFile would cut the file where another worker's write just ended.
TError SetLength(TFileHandle handle, std::int64_t length) {
  using TSetInformation =
      NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, FILE_INFORMATION_CLASS);
  using TStatusToError = ULONG(NTAPI*)(NTSTATUS);
  const auto setInformation = SystemFunction<TSetInformation>("ntdll.dll", "NtSetInformationFile");
  const auto toError = SystemFunction<TStatusToError>("ntdll.dll", "RtlNtStatusToDosError");
  if (setInformation == nullptr || toError == nullptr) return TError{ERROR_CALL_NOT_IMPLEMENTED};
  IO_STATUS_BLOCK status;
  FILE_END_OF_FILE_INFO end;
  end.EndOfFile.QuadPart = length;
  const NTSTATUS result =
      setInformation(ToSystemHandle(handle), &status, &end, sizeof end, FileEndOfFileInformation);
  if (result >= 0) return {};
  return FailureOf(toError(result));
}

std::int64_t SizeOfFile(TFileHandle handle) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(ToSystemHandle(handle), &size)) return -1;
  return size.QuadPart;
}

std::uint32_t AllocationUnitOf(TFileHandle handle) {
  // The volume's cluster size, asked through the file's own handle (any Windows NT).
  using TQueryVolume =
      NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, FS_INFORMATION_CLASS);
  const auto queryVolume =
      SystemFunction<TQueryVolume>("ntdll.dll", "NtQueryVolumeInformationFile");
  if (queryVolume == nullptr) return 0;
  IO_STATUS_BLOCK status;
  FILE_FS_SIZE_INFORMATION volume;
  if (queryVolume(ToSystemHandle(handle), &status, &volume, sizeof volume, FileFsSizeInformation) <
      0) {
    return 0;
  }
  const std::uint64_t unit = std::uint64_t{volume.SectorsPerAllocationUnit} * volume.BytesPerSector;
  return unit <= UINT32_MAX ? static_cast<std::uint32_t>(unit) : 0;
}

TDataRange NextDataRange(TFileHandle handle, std::int64_t offset) {
  const std::int64_t size = SizeOfFile(handle);
  if (size < 0 || offset < 0) return TDataRange{};
  const TDataRange noMoreData{true, size, size};
  if (offset >= size) return noMoreData;

  FILE_ALLOCATED_RANGE_BUFFER query;
  query.FileOffset.QuadPart = offset;
  query.Length.QuadPart = size - offset;
  // One entry is enough: the first range is all that is asked for, and with more ranges
  // the call fails with ERROR_MORE_DATA after filling it.
  FILE_ALLOCATED_RANGE_BUFFER first;
  DWORD bytesReturned = 0;
  if (!DeviceIoControl(ToSystemHandle(handle), FSCTL_QUERY_ALLOCATED_RANGES, &query, sizeof query,
                       &first, sizeof first, &bytesReturned, nullptr) &&
      GetLastError() != ERROR_MORE_DATA) {
    return TDataRange{};
  }
  if (bytesReturned < sizeof first) return noMoreData;

  const std::int64_t rangeStart = first.FileOffset.QuadPart;
  const std::int64_t rangeEnd = rangeStart + first.Length.QuadPart;
  const std::int64_t start = std::max(rangeStart, offset);
  const std::int64_t end = std::min(rangeEnd, size);
  if (end <= start) return TDataRange{};  // an answer that makes no sense: read everything
  return TDataRange{true, start, end};
}

unsigned ProcessorCount() {
  DWORD_PTR process = 0;
  DWORD_PTR system = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) return 1;
  unsigned count = 0;
  for (; process != 0; process &= process - 1) ++count;
  return count > 0 ? count : 1;
}

// ---- Paths, folders and volumes ---------------------------------------------------------

TPathStyle NativePathStyle() { return TPathStyle::kWindows; }

TPathKind KindOfPath(const std::string& path) {
  if (!IsPassable(path)) return TPathKind::kNone;
  const DWORD attributes = GetFileAttributesW(SystemPath(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return TPathKind::kNone;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? TPathKind::kFolder : TPathKind::kFile;
}

TPathResult CurrentFolder() {
  std::wstring folder;
  const bool given = FillGrowing(MAX_PATH, folder, [](wchar_t* buffer, DWORD size) {
    return GetCurrentDirectoryW(size, buffer);
  });
  return PathResult(given, folder);
}

TPathResult FullPathOf(const std::string& path) {
  if (!IsPassable(path)) return {{}, TError{ERROR_INVALID_NAME}};
  std::wstring full;
  const bool given = FullWidePath(ToWide(path), full);
  return PathResult(given, full);
}

// Sparse files need NTFS; its name may come in any mix of case.
bool VolumeKeepsHoles(const std::string& root) {
  if (!IsPassable(root)) return false;
  constexpr DWORD kNameBufferSize = 256;
  wchar_t fileSystem[kNameBufferSize] = {};
  DWORD maxComponentLength = 0;
  DWORD flags = 0;
  if (!GetVolumeInformationW(ToWide(root).c_str(), nullptr, 0, nullptr, &maxComponentLength, &flags,
                             fileSystem, kNameBufferSize)) {
    return false;
  }
  return IsNtfsName(std::wstring_view(fileSystem, wcsnlen(fileSystem, kNameBufferSize)));
}

TSearchHandle FindFirstEntry(const std::string& pattern, TFoundEntry& entry) {
  if (!IsPassable(pattern)) return TSearchHandle{};
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW(SystemPath(pattern).c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) return TSearchHandle{};
  TakeEntry(data, entry);
  return TSearchHandle{reinterpret_cast<std::intptr_t>(search)};
}

bool FindNextEntry(TSearchHandle search, TFoundEntry& entry) {
  WIN32_FIND_DATAW data;
  if (!FindNextFileW(ToSystemHandle(search), &data)) return false;
  TakeEntry(data, entry);
  return true;
}

void FindEnd(TSearchHandle search) {
  if (search.IsValid()) FindClose(ToSystemHandle(search));
}

}  // namespace platform
