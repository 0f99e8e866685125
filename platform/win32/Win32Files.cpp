// The Windows back end's files, folders and volumes: opening, reading and writing files, their
// lengths and allocated ranges, paths, volumes and the directory search.
//
// Every path goes to the wide-character functions, so any name Windows allows works, and
// paths longer than MAX_PATH too ("Long paths" below). File offsets are 64-bit everywhere
// (OVERLAPPED offsets), so the 32-bit exe works past 4 GiB. Functions only available on newer
// systems are looked up at run time, so the exe still loads where they are missing.
#include <windows.h>
#include <winioctl.h>
#include <winternl.h>

#include <algorithm>
#include <cwchar>
#include <string>

#include "platform/AllocatedRanges.h"
#include "platform/Platform.h"
#include "platform/win32/Win32Internal.h"

namespace platform {

using namespace win32;

namespace {

HANDLE ToSystemHandle(TSearchHandle search) { return reinterpret_cast<HANDLE>(search.value); }

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

// A path holding a zero byte cannot be handed to the system: it would name another file.
bool IsPassable(const std::string& path) { return path.find('\0') == std::string::npos; }

// ---- Long paths ----------------------------------------------------------------
//
// The wide file functions take 32,767 characters behind "\\?\". A path goes to them as it is
// while its full form is shorter than MAX_PATH, else as that full form behind "\\?\" (which the
// system takes literally, so it must be resolved).

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

TFileIdentity standardFiles[3];
int standardFileCount = 0;

TFileIdentity IdentityOf(const BY_HANDLE_FILE_INFORMATION& information) {
  return {information.dwVolumeSerialNumber,
          (std::uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow};
}

bool IdentityOf(HANDLE handle, TFileIdentity& identity) {
  BY_HANDLE_FILE_INFORMATION information;
  if (!GetFileInformationByHandle(handle, &information)) return false;
  identity = IdentityOf(information);
  return true;
}

bool IsStandardFile(const TFileIdentity& identity) {
  return std::find(standardFiles, standardFiles + standardFileCount, identity) !=
         standardFiles + standardFileCount;
}

TOpenResult Open(const std::string& path, DWORD access, DWORD share, DWORD disposition,
                 DWORD flags) {
  TOpenResult result;
  if (!IsPassable(path)) {
    result.error = TError{ERROR_INVALID_NAME};
    return result;
  }
  HANDLE handle =
      CreateFileW(SystemPath(path).c_str(), access, share, nullptr, disposition, flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    result.error = LastError();
  } else {
    result.handle = FromSystemHandle(handle);
  }
  return result;
}

TOpenResult ClosedAndFailed(TFileHandle handle, TError error) {
  CloseFile(handle);
  return {kInvalidHandle, error};
}

void TakeEntry(const WIN32_FIND_DATAW& data, TFoundEntry& entry) {
  const wchar_t* end = std::find(data.cFileName, data.cFileName + MAX_PATH, L'\0');
  entry.name = FromWide(std::wstring_view(data.cFileName, end - data.cFileName));
  entry.isFolder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

void win32::TakeStandardFiles() {
  for (const DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    const HANDLE handle = GetStdHandle(which);
    if (handle != INVALID_HANDLE_VALUE && handle != nullptr &&
        GetFileType(handle) == FILE_TYPE_DISK &&
        IdentityOf(handle, standardFiles[standardFileCount])) {
      ++standardFileCount;
    }
  }
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

// CREATE_NEW fails where anything has the name, a symbolic link too.
TOpenResult CreateNewFile(const std::string& path) {
  return Open(path, GENERIC_WRITE, 0, CREATE_NEW, 0);
}

// Opened as it is, and only then truncated, once it is known to be the file expected and no
// file behind a standard handle (which Windows would have refused with a sharing violation).
TOpenResult OpenFileForWriting(const std::string& path, const TFileIdentity& expected,
                               TExisting existing) {
  const TOpenResult result = Open(path, GENERIC_WRITE, 0, OPEN_EXISTING, 0);
  if (!result.handle.IsValid()) return result;
  TFileIdentity identity;
  if (!IdentityOf(ToSystemHandle(result.handle), identity) || identity != expected) {
    return ClosedAndFailed(result.handle, TError{ERROR_FILE_EXISTS});
  }
  if (IsStandardFile(identity))
    return ClosedAndFailed(result.handle, TError{ERROR_SHARING_VIOLATION});
  if (existing == TExisting::kTruncate) {
    if (const TError error = SetLength(result.handle, 0); error.Failed()) {
      return ClosedAndFailed(result.handle, error);
    }
  }
  return result;
}

// A folder opens only with FILE_FLAG_BACKUP_SEMANTICS, and a name with wildcards not at all; the
// attributes tell a folder all the same.
std::optional<TFileIdentity> IdentityOfFile(const std::string& path) {
  constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  const TOpenResult opened = Open(path, FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING, 0);
  if (!opened.handle.IsValid()) return std::nullopt;
  BY_HANDLE_FILE_INFORMATION information;
  const bool known = GetFileInformationByHandle(ToSystemHandle(opened.handle), &information) &&
                     (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  CloseFile(opened.handle);
  if (!known) return std::nullopt;
  return IdentityOf(information);
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

// Only where the ranges tell where the data is (ranges::RangesTellData); elsewhere, and where the
// answer tells nothing, the file is read.
TDataRange NextDataRange(TFileHandle handle, std::int64_t offset) {
  BY_HANDLE_FILE_INFORMATION information;  // the length and the attributes in one call
  if (offset < 0 || !GetFileInformationByHandle(ToSystemHandle(handle), &information)) {
    return TDataRange{};
  }
  const auto size = static_cast<std::int64_t>((std::uint64_t{information.nFileSizeHigh} << 32) |
                                              information.nFileSizeLow);
  if (offset >= size) return TDataRange{true, size, size};
  if (!ranges::RangesTellData(information.dwFileAttributes)) return TDataRange{};
  FILE_ALLOCATED_RANGE_BUFFER query;
  query.FileOffset.QuadPart = offset;
  query.Length.QuadPart = size - offset;
  // Dozens of entries: the answer rarely stops at the buffer's end, and one that does still
  // tells where the next data is.
  constexpr std::size_t kRangesAsked = 64;
  FILE_ALLOCATED_RANGE_BUFFER answer[kRangesAsked];
  DWORD bytesReturned = 0;
  const bool complete =
      DeviceIoControl(ToSystemHandle(handle), FSCTL_QUERY_ALLOCATED_RANGES, &query, sizeof query,
                      answer, sizeof answer, &bytesReturned, nullptr) != FALSE;
  if (!complete && GetLastError() != ERROR_MORE_DATA) return TDataRange{};
  ranges::TAllocatedRange entries[kRangesAsked];
  const std::size_t count = std::min<std::size_t>(bytesReturned / sizeof answer[0], kRangesAsked);
  for (std::size_t at = 0; at < count; ++at) {
    entries[at] = {answer[at].FileOffset.QuadPart, answer[at].Length.QuadPart};
  }
  return ranges::DataRangeOfAnswer(offset, size, entries, count, complete);
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
  // In the C locale, which the program keeps, only A to Z are folded.
  return _wcsicmp(fileSystem, L"NTFS") == 0;
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
