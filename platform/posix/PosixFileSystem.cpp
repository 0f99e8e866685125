// The Linux back end of the platform layer: paths, folders, volumes and the directory search.
#include <dirent.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/Platform.h"
#include "platform/posix/PosixInternal.h"

namespace platform {
namespace {

bool HasWildcard(std::string_view text) {
  return text.find_first_of("*?") != std::string_view::npos;
}

bool IsFolder(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

std::string_view WithoutTrailingSlashes(std::string_view path) {
  std::size_t last = path.find_last_not_of('/');
  if (last == std::string_view::npos) return path.substr(0, path.empty() ? 0 : 1);  // "/"
  return path.substr(0, last + 1);
}

std::string_view LastComponent(std::string_view path) {
  path = WithoutTrailingSlashes(path);
  std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The folder that holds `path`: "/" for a name in the root, "." for a bare relative name.
std::string ParentOf(std::string_view path) {
  path = WithoutTrailingSlashes(path);
  std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

std::string NearestExistingFolder(std::string path) {
  while (!IsFolder(path) && path != "/" && path != ".") path = ParentOf(path);
  return path;
}

std::string JoinPath(const std::string& folder, const char* name) {
  if (!folder.empty() && folder.back() == '/') return folder + name;
  return folder + '/' + name;
}

// The shell's meaning of the wildcards, byte by byte and case-sensitive: '*' any run of
// bytes, '?' exactly one byte, every other byte itself. No rule for dots: "*.*" needs a dot,
// and a leading dot is matched like any other byte.
bool MatchesWildcard(std::string_view pattern, std::string_view name) {
  std::size_t p = 0;
  std::size_t n = 0;
  std::size_t starAt = std::string_view::npos;  // the last '*' seen, for backtracking
  std::size_t starMatchEnd = 0;                 // where the bytes that '*' takes end
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starAt = p++;
      starMatchEnd = n;
    } else if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
      ++p;
      ++n;
    } else if (starAt != std::string_view::npos) {
      p = starAt + 1;  // let the last '*' take one byte more
      n = ++starMatchEnd;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

// ---- Directory searches ----------------------------------------------------

struct Search {
  DIR* folder = nullptr;  // null while the slot is free
  std::string folderPath;
  std::string namePattern;
};
std::vector<Search> g_searches;  // a search handle is an index into this table

std::size_t FreeSearchSlot() {
  for (std::size_t i = 0; i < g_searches.size(); ++i) {
    if (g_searches[i].folder == nullptr) return i;
  }
  g_searches.emplace_back();
  return g_searches.size() - 1;
}

Search* OpenSearch(TSearchHandle handle) {
  if (handle.value < 0 || static_cast<std::size_t>(handle.value) >= g_searches.size()) {
    return nullptr;
  }
  Search& search = g_searches[static_cast<std::size_t>(handle.value)];
  return search.folder != nullptr ? &search : nullptr;
}

// Folders are told by the entry's type; a link or an unknown type needs a look at what
// the name leads to.
bool IsFolderEntry(const std::string& folderPath, const dirent& item) {
  if (item.d_type == DT_DIR) return true;
  if (item.d_type != DT_UNKNOWN && item.d_type != DT_LNK) return false;
  return IsFolder(JoinPath(folderPath, item.d_name));
}

bool NextMatch(Search& search, TFoundEntry& entry) {
  while (const dirent* item = readdir(search.folder)) {
    if (!MatchesWildcard(search.namePattern, item->d_name)) continue;
    entry.name = item->d_name;
    entry.isFolder = IsFolderEntry(search.folderPath, *item);
    return true;
  }
  return false;
}

// ---- Volumes ---------------------------------------------------------------

struct TFileSystemMagic {
  std::uint32_t magic;
  const char* name;
};

constexpr TFileSystemMagic kFileSystems[] = {
    // These keep holes in files as NTFS keeps sparse ranges.
    {0xEF53, "NTFS"},      // ext2, ext3, ext4
    {0x58465342, "NTFS"},  // XFS
    {0x9123683E, "NTFS"},  // Btrfs
    {0x01021994, "NTFS"},  // tmpfs
    {0xF2F52010, "NTFS"},  // F2FS
    {0x2FC12FC1, "NTFS"},  // ZFS
    {0xCA451A4E, "NTFS"},  // bcachefs
    {0x794C7630, "NTFS"},  // overlayfs
    {0x7366746E, "NTFS"},  // NTFS by the ntfs3 driver
    // The rest answer their own name, which the volume test refuses.
    {0x4D44, "vfat"},
    {0x2011BAB0, "exfat"},
    {0x65735546, "fuse"},
    {0x6969, "nfs"},
    {0xFF534D42, "cifs"},
    {0xFE534D42, "smb2"},
    {0x01021997, "9p"},
    {0x00C36400, "ceph"},
    {0x9660, "iso9660"},
    {0x15013346, "udf"},
    {0x73717368, "squashfs"},
    {0xE0F5E1E2, "erofs"},
    {0x858458F6, "ramfs"},
    {0x482B, "hfsplus"},
    {0x9FA0, "proc"},
    {0x62656572, "sysfs"},
    {0x1CD1, "devpts"},
    {0x63677270, "cgroup2"},
};

std::string ResolveLexically(std::string_view absolutePath) {
  std::vector<std::string_view> components;
  std::size_t start = 0;
  while (start <= absolutePath.size()) {
    std::size_t slash = absolutePath.find('/', start);
    if (slash == std::string_view::npos) slash = absolutePath.size();
    std::string_view component = absolutePath.substr(start, slash - start);
    if (component == "..") {
      if (!components.empty()) components.pop_back();
    } else if (!component.empty() && component != ".") {
      components.push_back(component);
    }
    start = slash + 1;
  }
  std::string resolved;
  for (std::string_view component : components) {
    resolved += '/';
    resolved += component;
  }
  bool trailingSlash = !absolutePath.empty() && absolutePath.back() == '/';
  if (resolved.empty() || trailingSlash) resolved += '/';
  return resolved;
}

std::string FileSystemNameForMagic(std::uint32_t magic) {
  for (const TFileSystemMagic& fileSystem : kFileSystems) {
    if (fileSystem.magic == magic) return fileSystem.name;
  }
  char unknown[16];
  std::snprintf(unknown, sizeof unknown, "0x%08X", static_cast<unsigned>(magic));
  return unknown;
}

}  // namespace

namespace posix {

bool HasWildcardInLastComponent(std::string_view path) { return HasWildcard(LastComponent(path)); }

}  // namespace posix

TPathStyle NativePathStyle() { return TPathStyle::kPosix; }

// Wildcards never name a file, as on Windows, though a Linux name may hold them.
TPathKind KindOfPath(const std::string& path) {
  if (posix::HasWildcardInLastComponent(path)) return TPathKind::kNone;
  struct stat status;
  if (stat(path.c_str(), &status) != 0) return TPathKind::kNone;
  if (S_ISDIR(status.st_mode)) return TPathKind::kFolder;
  if (S_ISREG(status.st_mode) || S_ISBLK(status.st_mode)) return TPathKind::kFile;
  return TPathKind::kNone;
}

// A folder that was deleted while it was current has no path: getcwd fails with ENOENT.
TPathResult CurrentFolder() {
  std::string buffer(256, '\0');
  while (getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE) return {false, {}, posix::ErrorFromErrno(errno)};
    buffer.resize(buffer.size() * 2);
  }
  buffer.resize(std::strlen(buffer.c_str()));
  return {true, buffer, kErrorSuccess};
}

// Resolved by the text alone, as Windows does: symlinks are not followed, so ".." after a
// link climbs out of the link's name, not out of its target.
TPathResult FullPathOf(const std::string& path) {
  if (path.empty()) return {false, {}, kErrorInvalidName};
  if (path.front() == '/') return {true, ResolveLexically(path), kErrorSuccess};
  TPathResult folder = CurrentFolder();
  if (folder.ok) folder.path = ResolveLexically(folder.path + '/' + path);
  return folder;
}

bool FileSystemNameOf(const std::string& root, std::string& name) {
  struct statfs volume;
  if (statfs(NearestExistingFolder(root).c_str(), &volume) != 0) return false;
  name = FileSystemNameForMagic(static_cast<std::uint32_t>(volume.f_type));
  return true;
}

TSearchHandle FindFirstEntry(const std::string& pattern, TFoundEntry& entry) {
  std::size_t slot = FreeSearchSlot();  // taken before anything is opened
  Search& search = g_searches[slot];
  std::size_t slash = pattern.rfind('/');
  search.folderPath = slash == std::string::npos ? "."
                      : slash == 0               ? "/"
                                                 : pattern.substr(0, slash);
  search.namePattern = slash == std::string::npos ? pattern : pattern.substr(slash + 1);
  search.folder = opendir(search.folderPath.c_str());
  if (search.folder == nullptr) {
    search = Search{};
    return {};
  }
  if (!NextMatch(search, entry)) {
    FindEnd(TSearchHandle{static_cast<std::intptr_t>(slot)});
    return {};
  }
  return TSearchHandle{static_cast<std::intptr_t>(slot)};
}

bool FindNextEntry(TSearchHandle handle, TFoundEntry& entry) {
  Search* search = OpenSearch(handle);
  return search != nullptr && NextMatch(*search, entry);
}

void FindEnd(TSearchHandle handle) {
  Search* search = OpenSearch(handle);
  if (search == nullptr) return;
  closedir(search->folder);
  *search = Search{};
}

}  // namespace platform
