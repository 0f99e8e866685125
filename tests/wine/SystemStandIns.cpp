// The end-to-end tests' stand-ins for what Wine does not do as Windows does. The test exe is the
// program's own objects linked with this file, whose import pointers take the place of the
// system's for a few calls; every other call, and these where no setting asks otherwise, go to
// the system.
// - FSCTL_QUERY_ALLOCATED_RANGES, which Wine fails (code 50), answers as NTFS does from the data
//   ranges in $DRAVIK_RANGES ("OFFSET+LENGTH,...", "" for none): rounded out to 64 KiB, the
//   query's start rounded down, as many entries as fit and ERROR_MORE_DATA when more follow.
//   With $DRAVIK_RANGES=more-data it answers as a filter driver may: ERROR_MORE_DATA, nothing
//   filled in.
// - GetFileInformationByHandle adds the attributes $DRAVIK_ATTRIBUTES (hex) to a file's, as a
//   sparse file on NTFS or a cloud placeholder has them; Wine marks no file sparse.
// - WriteConsoleW takes nothing while it reports success, as a stuck console may, where
//   $DRAVIK_CONSOLE=nothing.
// - $DRAVIK_FAULT=1: marking a destination sparse faults inside msvcrt.dll, and ExitProcess,
//   which runs the DLLs' detach code where a lock the fault left held can hang it, says so on
//   standard error before it ends the process.
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

template <typename Function>
Function SystemCall(const char* name) {
  return reinterpret_cast<Function>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("kernel32.dll"), name)));
}

std::string Setting(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

constexpr std::int64_t kNtfsUnit = 64 << 10;

struct TRange {
  std::int64_t start, end;
};

// The ranges of $DRAVIK_RANGES as NTFS reports them: on 64 KiB, those that touch merged.
std::vector<TRange> ReportedRanges() {
  std::vector<TRange> ranges;
  const std::string text = Setting("DRAVIK_RANGES");
  for (std::size_t at = 0; at < text.size();) {
    char* end = nullptr;
    const std::int64_t offset = std::strtoll(text.c_str() + at, &end, 10);
    const std::int64_t length = std::strtoll(end + 1, &end, 10);
    const TRange range{offset / kNtfsUnit * kNtfsUnit,
                       (offset + length + kNtfsUnit - 1) / kNtfsUnit * kNtfsUnit};
    if (!ranges.empty() && range.start <= ranges.back().end) {
      ranges.back().end = std::max(ranges.back().end, range.end);
    } else {
      ranges.push_back(range);
    }
    at = static_cast<std::size_t>(end - text.c_str()) + (*end == ',');
  }
  return ranges;
}

BOOL QueryAllocatedRanges(const FILE_ALLOCATED_RANGE_BUFFER& query, void* out, DWORD outSize,
                          DWORD* returned) {
  *returned = 0;
  if (Setting("DRAVIK_RANGES") == "more-data") {
    SetLastError(ERROR_MORE_DATA);
    return FALSE;
  }
  const std::int64_t from = query.FileOffset.QuadPart / kNtfsUnit * kNtfsUnit;
  const std::int64_t to = query.FileOffset.QuadPart + query.Length.QuadPart;
  auto* entries = static_cast<FILE_ALLOCATED_RANGE_BUFFER*>(out);
  const DWORD room = outSize / sizeof *entries;
  DWORD count = 0;
  for (const TRange& range : ReportedRanges()) {
    if (range.end <= from || range.start >= to) continue;
    if (count == room) {
      SetLastError(ERROR_MORE_DATA);
      return FALSE;
    }
    entries[count].FileOffset.QuadPart = std::max(range.start, from);
    entries[count].Length.QuadPart = range.end - entries[count].FileOffset.QuadPart;
    *returned = ++count * sizeof *entries;
  }
  return TRUE;
}

void FaultInsideTheSystem() {
  void* (*volatile fill)(void*, int, std::size_t) = std::memset;
  fill(nullptr, 1, 16);
}

BOOL WINAPI StandInDeviceIoControl(HANDLE device, DWORD code, void* in, DWORD inSize, void* out,
                                   DWORD outSize, DWORD* returned, OVERLAPPED* overlapped) {
  if (code == FSCTL_QUERY_ALLOCATED_RANGES && inSize >= sizeof(FILE_ALLOCATED_RANGE_BUFFER)) {
    return QueryAllocatedRanges(*static_cast<FILE_ALLOCATED_RANGE_BUFFER*>(in), out, outSize,
                                returned);
  }
  if (code == FSCTL_SET_SPARSE && Setting("DRAVIK_FAULT") == "1") FaultInsideTheSystem();
  return SystemCall<decltype(&DeviceIoControl)>("DeviceIoControl")(device, code, in, inSize, out,
                                                                   outSize, returned, overlapped);
}

BOOL WINAPI StandInGetFileInformationByHandle(HANDLE file,
                                              BY_HANDLE_FILE_INFORMATION* information) {
  if (!SystemCall<decltype(&GetFileInformationByHandle)>("GetFileInformationByHandle")(
          file, information)) {
    return FALSE;
  }
  information->dwFileAttributes |= std::strtoul(Setting("DRAVIK_ATTRIBUTES").c_str(), nullptr, 16);
  return TRUE;
}

BOOL WINAPI StandInWriteConsoleW(HANDLE console, const void* units, DWORD count, DWORD* written,
                                 void* reserved) {
  if (Setting("DRAVIK_CONSOLE") != "nothing") {
    return SystemCall<decltype(&WriteConsoleW)>("WriteConsoleW")(console, units, count, written,
                                                                 reserved);
  }
  *written = 0;
  return TRUE;
}

void WINAPI StandInExitProcess(UINT exitCode) {
  if (Setting("DRAVIK_FAULT") == "1") {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), "ExitProcess\n", 12, &written, nullptr);
  }
  SystemCall<decltype(&ExitProcess)>("ExitProcess")(exitCode);
}

}  // namespace

// The import pointers the program's objects call through: "__imp_" and the call's name, which the
// 32-bit ABI decorates.
#if defined(__i386__)
#define DRAVIK_IMPORT(name, argumentBytes) __asm__("__imp__" #name "@" #argumentBytes)
#else
#define DRAVIK_IMPORT(name, argumentBytes) __asm__("__imp_" #name)
#endif

extern "C" {
decltype(&DeviceIoControl) standInDeviceIoControl DRAVIK_IMPORT(DeviceIoControl,
                                                                32) = StandInDeviceIoControl;
decltype(&GetFileInformationByHandle) standInGetFileInformationByHandle
    DRAVIK_IMPORT(GetFileInformationByHandle, 8) = StandInGetFileInformationByHandle;
decltype(&WriteConsoleW) standInWriteConsoleW DRAVIK_IMPORT(WriteConsoleW, 20) =
    reinterpret_cast<decltype(&WriteConsoleW)>(StandInWriteConsoleW);
decltype(&ExitProcess) standInExitProcess DRAVIK_IMPORT(ExitProcess, 4) = StandInExitProcess;
}
