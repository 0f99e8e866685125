#include "SparseUtils/Paths.h"

#include "SparseUtils/ByteStrings.h"
#include "platform/Platform.h"

namespace {

bool WindowsStyle() { return platform::NativePathStyle() == platform::TPathStyle::kWindows; }

char Delimiter() { return WindowsStyle() ? '\\' : '/'; }

// The delimiters that end a folder part: a drive's colon counts on Windows.
std::string_view FolderDelimiters() { return WindowsStyle() ? "\\:" : "/"; }

// "\\server\share" of "\\server\share\dir": up to the second backslash after the leading two.
std::string UncPrefix(std::string_view path) {
  const std::size_t shareSlash = path.find('\\', 2);
  if (shareSlash == std::string_view::npos) return std::string(path);
  const std::size_t end = path.find('\\', shareSlash + 1);
  if (end == std::string_view::npos) {
    const bool endsInSlash = shareSlash + 1 == path.size();
    return std::string(path.substr(0, endsInSlash ? shareSlash : path.size()));
  }
  return std::string(path.substr(0, end));
}

std::string WindowsDrivePart(std::string_view path) {
  if (path.size() >= 2 && path[1] == ':') return std::string(path.substr(0, 2));
  if (path.size() >= 2 && path[0] == '\\' && path[1] == '\\') return UncPrefix(path);
  return std::string();
}

// "\dir\file" on Windows: rooted at the current folder's drive (or share), not in the folder.
bool IsRootRelative(std::string_view path) {
  return WindowsStyle() && !path.empty() && (path[0] == '\\' || path[0] == '/');
}

// The drive part of a Windows path: "C:" of "C:\data", "\\server\share" of a UNC path,
// empty otherwise. On POSIX: "/" for an absolute path, empty otherwise.
std::string DrivePart(std::string_view path) {
  if (WindowsStyle()) return WindowsDrivePart(path);
  return (!path.empty() && path[0] == '/') ? std::string("/") : std::string();
}

// The root handed to the volume query: the drive's root on Windows, the path itself on
// POSIX (whose back end finds the volume of the nearest existing folder).
std::string VolumeQueryPath(std::string_view path) {
  return WindowsStyle() ? WithTrailingDelimiter(DrivePart(path)) : std::string(path);
}

}  // namespace

std::string WithTrailingDelimiter(std::string_view path) {
  std::string result(path);
  if (path.empty() || path.back() != Delimiter()) result += Delimiter();
  return result;
}

std::string_view FolderPart(std::string_view path) {
  const std::size_t last = path.find_last_of(FolderDelimiters());
  return last == std::string_view::npos ? std::string_view() : path.substr(0, last + 1);
}

std::string_view NamePart(std::string_view path) {
  const std::size_t last = path.find_last_of(FolderDelimiters());
  return last == std::string_view::npos ? path : path.substr(last + 1);
}

bool SamePath(std::string_view a, std::string_view b) {
  return WindowsStyle() ? SameTextAscii(a, b) : a == b;
}

platform::TPathResult GetAbsolutePath(std::string_view path) {
  if (!DrivePart(path).empty()) return {std::string(path), {}};
  // The system resolves these against the current folder's root, as every program does.
  if (IsRootRelative(path)) return platform::FullPathOf(std::string(path));
  const platform::TPathResult current = platform::CurrentFolder();
  if (current.error.Failed()) return current;
  return platform::FullPathOf(WithTrailingDelimiter(current.path) + std::string(path));
}

bool IsNtfsDrive(std::string_view path) {
  return platform::VolumeKeepsHoles(VolumeQueryPath(path));
}

platform::TPathResult ResolveDriveRelative(const std::string& path) {
  const bool driveRelative = WindowsStyle() && path.size() > 2 && path[1] == ':' && path[2] != '\\';
  if (!driveRelative) return {path, {}};
  return platform::FullPathOf(path);
}

std::string FullPathForMessage(const std::string& fileName) {
  const platform::TPathResult full = platform::FullPathOf(fileName);
  return full.error.Failed() ? fileName : full.path;
}

bool FileExists(const std::string& path) {
  return platform::KindOfPath(path) == platform::TPathKind::kFile;
}

bool FolderExists(const std::string& path) {
  return platform::KindOfPath(path) == platform::TPathKind::kFolder;
}
