// Rules shared by the POSIX back end's source files and checked by its own unit tests.
// Nothing above the platform layer includes this header.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Platform.h"

namespace platform::posix {

// The Win32 code nearest to an errno value. The errno is remembered as the one behind that
// code, so SystemMessage() later gives the text of what really happened.
ErrorCode ErrorFromErrno(int errnoValue);

// The shell's meaning of the wildcards, byte by byte and case-sensitive: '*' any run of
// bytes, '?' exactly one byte, every other byte itself. No rule for dots: "*.*" needs a dot,
// and a leading dot is matched like any other byte.
bool MatchesWildcard(std::string_view pattern, std::string_view name);

// True when the last component of `path` holds '*' or '?', which never name a file.
bool HasWildcardInLastComponent(std::string_view path);

// Resolves "." and ".." of an absolute path by its text alone, drops empty components and
// keeps a trailing '/'. ".." never climbs above "/".
std::string ResolveLexically(std::string_view absolutePath);

// The name answered for a file-system magic number of statfs(): "NTFS" for file systems
// that keep holes, the file system's own name for other known ones, else "0x" and 8 hex digits.
std::string FileSystemNameForMagic(std::uint32_t magic);

}  // namespace platform::posix
