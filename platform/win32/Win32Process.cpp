// The Windows back end's process: start-up, the end, interrupts and processor faults, the
// command line and the program's file, texts and the console channels. The progress of a long
// copy is in Win32Progress.cpp.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <string>

#include "platform/Platform.h"
#include "platform/Unicode.h"
#include "platform/win32/Win32Internal.h"

namespace platform {

using namespace win32;

namespace {

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

// ---- Processor faults ----------------------------------------------------------

TFaultCallback faultCallback = nullptr;
void* faultContext = nullptr;
volatile LONG faultReporter = 0;  // the thread that reports a fault, once one does

// Learnt at start-up, as a fault report may ask for nothing that takes the loader's lock.
struct TModule {
  HMODULE handle = nullptr;
  std::string path;
};
constexpr std::size_t kModuleLimit = 64;
std::string programPath;
TModule modules[kModuleLimit];
std::size_t moduleCount = 0;

// The modules loaded when the program starts, the program's own first.
void LearnModules() {
  using TEnumModules = BOOL(WINAPI*)(HANDLE, HMODULE*, DWORD, LPDWORD);
  const auto enumModules = SystemFunction<TEnumModules>("kernel32.dll", "K32EnumProcessModules");
  HMODULE handles[kModuleLimit] = {GetModuleHandleW(nullptr)};
  DWORD bytes = sizeof handles[0];
  if (enumModules != nullptr &&
      !enumModules(GetCurrentProcess(), handles, sizeof handles, &bytes)) {
    bytes = sizeof handles[0];
  }
  const std::size_t count = std::min<std::size_t>(bytes / sizeof handles[0], kModuleLimit);
  for (std::size_t at = 0; at < count; ++at) {
    TModule& module = modules[moduleCount];
    if (ModuleFileName(handles[at], module.path)) {
      module.handle = handles[at];
      ++moduleCount;
    }
  }
}

// Ends the process now, running nothing of the damaged process: ExitProcess would run the DLLs'
// detach code, which may wait for a lock that the faulting thread holds.
[[noreturn]] void EndAfterFault(UINT exitCode) {
  TerminateProcess(GetCurrentProcess(), exitCode);
  for (;;) Sleep(INFINITE);  // not reached: the process has ended
}

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
  if (reporter == self) EndAfterFault(kFailedRunExitCode);
  if (reporter != 0) AwaitProcessEnd();
  const char* message = record->ExceptionCode == EXCEPTION_ACCESS_VIOLATION
                            ? AccessViolationMessage(*record, kind->message)
                            : kind->message;
  faultCallback(faultContext, kind->className, message,
                reinterpret_cast<std::uintptr_t>(record->ExceptionAddress));
  EndAfterFault(kFailedRunExitCode);  // the callback must not return; make sure of it
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
  LearnModules();
}

std::chrono::steady_clock::time_point SteadyNow() { return std::chrono::steady_clock::now(); }

void EndProcess(int exitCode) {
  if (faultReporter != 0) EndAfterFault(static_cast<UINT>(exitCode));
  ExitProcess(static_cast<UINT>(exitCode));
}

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
  SetUnhandledExceptionFilter(&FaultFilter);
}

// Keeps room on the thread's stack for reporting a stack overflow (Vista and later).
TFaultStack::TFaultStack() {
  using TGuarantee = BOOL(WINAPI*)(PULONG);
  const auto setGuarantee = SystemFunction<TGuarantee>("kernel32.dll", "SetThreadStackGuarantee");
  ULONG reserve = 64 * 1024;
  if (setGuarantee != nullptr) setGuarantee(&reserve);
}

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

// VirtualQuery takes no lock; the modules' names were learnt at start-up.
std::size_t ModuleOfAddress(std::uintptr_t address, char* path, std::size_t room,
                            std::uintptr_t& base) {
  MEMORY_BASIC_INFORMATION region;
  if (VirtualQuery(reinterpret_cast<LPCVOID>(address), &region, sizeof region) == 0 ||
      region.State != MEM_COMMIT) {
    return 0;
  }
  for (std::size_t at = 0; at < moduleCount; ++at) {
    const TModule& module = modules[at];
    if (module.handle != static_cast<HMODULE>(region.AllocationBase)) continue;
    const std::size_t length = std::min(module.path.size(), room);
    std::memcpy(path, module.path.data(), length);
    base = reinterpret_cast<std::uintptr_t>(region.AllocationBase);
    return length;
  }
  return 0;
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
      // A console that takes nothing, and says so as a success, would be asked again forever.
      if (written == 0) return {static_cast<std::uint32_t>(pieceStart), TError{ERROR_WRITE_FAULT}};
      done += written;
    }
  }
  return {size, {}};
}

}  // namespace platform
