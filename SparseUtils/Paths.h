// Paths, existence tests and the destination volume test.
//
// Windows paths start with a drive ("C:") or a UNC share ("\\server\share") and use '\'
// (and ':' after a drive) as delimiters; names compare ignoring the case of A-Z. POSIX
// paths start with '/', use '/' alone, and compare byte for byte.
#pragma once

#include <string>
#include <string_view>

#include "platform/Platform.h"

// `path` with a path delimiter appended, unless its last character already is one.
std::string WithTrailingDelimiter(std::string_view path);

// Everything up to and including the last delimiter ("C:\data\" of "C:\data\*.img").
std::string_view FolderPart(std::string_view path);

// Everything after the last delimiter.
std::string_view NamePart(std::string_view path);

// True when the two paths name the same path by the platform's comparison rule.
bool SamePath(std::string_view a, std::string_view b);

// The absolute form of a path argument: a path with a drive part comes back unchanged; a
// Windows path rooted at a delimiter ("\dir\file") is resolved on the current folder's drive
// or share; any other is joined to the current folder and resolved. When that fails (the current
// folder is gone, the full path is too long) the result says why and holds no path.
platform::TPathResult GetAbsolutePath(std::string_view path);

// True when the volume holding `path` reports the file system NTFS (on POSIX: one that
// keeps holes in files as NTFS keeps sparse ranges).
bool IsNtfsDrive(std::string_view path);

// A drive-relative Windows path ("C:data", "C:*.img") resolved against the current folder
// of its drive, or the reason it cannot be; every other path comes back unchanged.
platform::TPathResult ResolveDriveRelative(const std::string& path);

// The full path of `fileName` as the system resolves it, for error messages; the name as
// given when it cannot be resolved.
std::string FullPathForMessage(const std::string& fileName);

bool FileExists(const std::string& path);
bool FolderExists(const std::string& path);
