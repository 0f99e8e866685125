// The Linux back end of the platform layer: paths, folders, volumes and the directory search.
#include <dirent.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <iterator>
#include <memory>
#include <vector>

#include "platform/Platform.h"
#include "platform/posix/PosixInternal.h"

namespace platform {
namespace {

bool IsFolder(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

std::string_view WithoutTrailingSlashes(std::string_view path) {
  std::size_t last = path.find_last_not_of('/');
  if (last == std::string_view::npos) return path.substr(0, path.empty() ? 0 : 1);  // "/"
  return path.substr(0, last + 1);
}

// The folder that holds `path`: "/" for a name in the root, "." for a bare relative name.
std::string ParentOf(std::string_view path) {
  path = WithoutTrailingSlashes(path);
  std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
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

// An open search; its handle is its address.
struct TSearch {
  DIR* folder = nullptr;
  std::string folderPath;
  std::string namePattern;
};

TSearch* OpenSearch(TSearchHandle handle) {
  return handle.IsValid() ? reinterpret_cast<TSearch*>(handle.value) : nullptr;
}

// Folders are told by the entry's type; a link or an unknown type needs a look at what
// the name leads to.
bool IsFolderEntry(const std::string& folderPath, const dirent& item) {
  if (item.d_type == DT_DIR) return true;
  if (item.d_type != DT_UNKNOWN && item.d_type != DT_LNK) return false;
  return IsFolder(JoinPath(folderPath, item.d_name));
}

bool NextMatch(TSearch& search, TFoundEntry& entry) {
  while (const dirent* item = readdir(search.folder)) {
    if (!MatchesWildcard(search.namePattern, item->d_name)) continue;
    entry.name = item->d_name;
    entry.isFolder = IsFolderEntry(search.folderPath, *item);
    return true;
  }
  return false;
}

// ---- Paths and volumes -----------------------------------------------------

// The file systems that keep holes in files as NTFS keeps sparse ranges; every other one (vfat,
// exFAT, FUSE, network file systems, ramfs ...) is refused.
constexpr std::uint32_t kHoleKeepingFileSystems[] = {
    0xEF53,      // ext2, ext3, ext4
    0x58465342,  // XFS
    0x9123683E,  // Btrfs
    0x01021994,  // tmpfs
    0xF2F52010,  // F2FS
    0x2FC12FC1,  // ZFS
    0xCA451A4E,  // bcachefs
    0x794C7630,  // overlayfs
    0x7366746E,  // NTFS by the ntfs3 driver
};

std::string Joined(const std::vector<std::string_view>& components) {
  std::string path;
  for (std::string_view component : components) {
    path += '/';
    path += component;
  }
  return path;
}

bool IsSymbolicLink(const std::string& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode);
}

// Drops "." and empty components, and a ".." with the name before it, unless that name is a
// symbolic link: the system takes such a ".." from the link's target, so it stays, and so does
// every ".." after one that stayed.
std::string ResolveAsTheSystemDoes(std::string_view absolutePath) {
  std::vector<std::string_view> components;
  std::size_t start = 0;
  while (start <= absolutePath.size()) {
    std::size_t slash = absolutePath.find('/', start);
    if (slash == std::string_view::npos) slash = absolutePath.size();
    const std::string_view component = absolutePath.substr(start, slash - start);
    start = slash + 1;
    if (component.empty() || component == ".") continue;
    if (component != "..") {
      components.push_back(component);
    } else if (!components.empty() && components.back() != ".." &&
               !IsSymbolicLink(Joined(components))) {
      components.pop_back();
    } else if (!components.empty()) {
      components.push_back(component);
    }
  }
  std::string resolved = Joined(components);
  bool trailingSlash = !absolutePath.empty() && absolutePath.back() == '/';
  if (resolved.empty() || trailingSlash) resolved += '/';
  return resolved;
}

}  // namespace

TPathStyle NativePathStyle() { return TPathStyle::kPosix; }

TPathKind KindOfPath(const std::string& path) {
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
    if (errno != ERANGE) return {{}, posix::ErrorFromErrno(errno)};
    buffer.resize(buffer.size() * 2);
  }
  buffer.resize(std::strlen(buffer.c_str()));
  return {buffer, {}};
}

// A full path the system would refuse fails here: a file that it names could not be reached
// by it, though the same name relative to a long current folder can.
TPathResult FullPathOf(const std::string& path) {
  if (path.empty()) return {{}, {kErrorInvalidName}};
  TPathResult full{path, {}};
  if (path.front() != '/') {
    full = CurrentFolder();
    if (full.error.Failed()) return full;
    full.path += '/' + path;
  }
  full.path = ResolveAsTheSystemDoes(full.path);
  if (full.path.size() >= PATH_MAX) return {{}, posix::ErrorFromErrno(ENAMETOOLONG)};
  return full;
}

// statfs follows links, so a link answers for its target's volume; a path that names nothing
// yet answers for its folder's.
bool VolumeKeepsHoles(const std::string& root) {
  std::string path(WithoutTrailingSlashes(root));
  struct statfs volume;
  while (statfs(path.c_str(), &volume) != 0) {
    if (path == "/" || path == ".") return false;
    path = ParentOf(path);
  }
  const auto type = static_cast<std::uint32_t>(volume.f_type);
  return std::find(std::begin(kHoleKeepingFileSystems), std::end(kHoleKeepingFileSystems), type) !=
         std::end(kHoleKeepingFileSystems);
}

TSearchHandle FindFirstEntry(const std::string& pattern, TFoundEntry& entry) {
  auto search = std::make_unique<TSearch>();
  search->namePattern = pattern.substr(pattern.rfind('/') + 1);  // npos + 1 is 0
  search->folderPath = ParentOf(pattern);
  search->folder = opendir(search->folderPath.c_str());
  if (search->folder == nullptr) return {};
  if (!NextMatch(*search, entry)) {
    closedir(search->folder);
    return {};
  }
  return TSearchHandle{reinterpret_cast<std::intptr_t>(search.release())};
}

bool FindNextEntry(TSearchHandle handle, TFoundEntry& entry) {
  TSearch* search = OpenSearch(handle);
  return search != nullptr && NextMatch(*search, entry);
}

void FindEnd(TSearchHandle handle) {
  const std::unique_ptr<TSearch> search(OpenSearch(handle));
  if (search != nullptr) closedir(search->folder);
}

}  // namespace platform
