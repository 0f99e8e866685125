// The path helpers on any bytes, on a Windows machine (double-byte code page on or off) and
// on a POSIX one, with a current folder picked by the input. The first input byte holds the
// settings, the second where the first path ends; the rest are the two paths.
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>

#include "SparseUtils/Paths.h"
#include "tests/fake/FakePlatform.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

struct Machine {
  bool windows = true;
  bool doubleByte = true;
  char delimiter = '\\';
};

Machine machine;

const char* const kWindowsFolders[] = {"C:\\work", "C:\\", "C:\\\x83\x5C",
                                       "C:\\a b\\\x95\x5C\x8E\xA6", "\\\\server\\share\\dir"};
const char* const kPosixFolders[] = {"/work", "/", "/a b/c\\d"};

// Sets up the machine the settings byte describes.
void SetUpMachine(std::uint8_t settings) {
  machine.windows = (settings & 1) == 0;
  machine.doubleByte = machine.windows && (settings & 2) != 0;
  machine.delimiter = machine.windows ? '\\' : '/';
  const unsigned folderChoice = settings >> 2;
  if (machine.windows) {
    fake::Reset();
    fake::SetDoubleByteCodePage(machine.doubleByte);
    fake::AddVolume("\\\\server\\share\\", "NTFS");
  } else {
    fake::ResetForPosix();
  }
  const std::size_t folders =
      machine.windows ? std::size(kWindowsFolders) : std::size(kPosixFolders);
  if (folderChoice % (folders + 1) == folders) {
    fake::SetCurrentFolderUnknown();
  } else {
    const char* folder =
        (machine.windows ? kWindowsFolders : kPosixFolders)[folderChoice % (folders + 1)];
    fake::SetCurrentFolder(folder);
  }
}

bool IsFolderDelimiter(char byte) {
  return machine.windows ? byte == '\\' || byte == ':' : byte == '/';
}

// The drive part by the raw-byte rules: "X:", a UNC prefix, or "/" on POSIX.
std::string ReferenceDrivePart(std::string_view path) {
  if (!machine.windows) return path.substr(0, 1) == "/" ? "/" : "";
  if (path.size() >= 2 && path[1] == ':') return std::string(path.substr(0, 2));
  if (path.size() < 2 || path[0] != '\\' || path[1] != '\\') return "";
  const std::size_t first = path.find('\\', 2);
  if (first == std::string_view::npos) return std::string(path);
  const std::size_t second = path.find('\\', first + 1);
  if (second != std::string_view::npos) return std::string(path.substr(0, second));
  return std::string(first + 1 == path.size() ? path.substr(0, first) : path);
}

bool ReferenceSamePath(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  if (!machine.windows) return a == b;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

// The index after the last character of `text` that is a folder delimiter of its own, or 0.
std::size_t ReferenceFolderEnd(std::string_view text) {
  std::size_t end = 0;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = CharLengthAt(text, at, machine.doubleByte);
    if (length == 1 && IsFolderDelimiter(text[at])) end = at + 1;
    at += length;
  }
  return end;
}

void CheckParts(const std::string& path) {
  const std::string folder = FolderPart(path);
  const std::string name = NamePart(path);
  FUZZ_CHECK(folder + name == path, "path: " + Hex(path));
  FUZZ_CHECK(folder.size() == ReferenceFolderEnd(path), "path: " + Hex(path));
  FUZZ_CHECK(DrivePart(path) == ReferenceDrivePart(path), "path: " + Hex(path));
}

void CheckTrailingDelimiter(const std::string& path) {
  const std::string result = WithTrailingDelimiter(path);
  const std::string detail = "path: " + Hex(path) + "\nresult: " + Hex(result);
  if (EndsWithCharacter(path, machine.delimiter, machine.doubleByte)) {
    FUZZ_CHECK(result == path, detail);
  } else {
    FUZZ_CHECK(result == path + machine.delimiter, detail);
  }
  // A lead byte at the very end takes the appended delimiter as its second byte: such a
  // path is no valid text, and no rule can give it a delimiter of its own.
  if (!EndsWithLoneLeadByte(path, machine.doubleByte)) {
    FUZZ_CHECK(EndsWithCharacter(result, machine.delimiter, machine.doubleByte), detail);
  }
}

void CheckAbsolute(const std::string& path) {
  const platform::PathResult absolute = GetAbsolutePath(path);
  const std::string detail = "path: " + Hex(path) + "\nresult: " + Hex(absolute.path);
  if (!ReferenceDrivePart(path).empty()) {
    FUZZ_CHECK(absolute.ok && absolute.path == path, detail);
  } else if (absolute.ok) {
    FUZZ_CHECK(!ReferenceDrivePart(absolute.path).empty(), detail);
  } else {
    FUZZ_CHECK(absolute.path.empty() && absolute.error != platform::kErrorSuccess, detail);
  }
  IsNtfsDrive(path);
  ResolveDriveRelative(path);
}

void CheckSamePath(const std::string& a, const std::string& b) {
  const std::string detail = "a: " + Hex(a) + "\nb: " + Hex(b);
  FUZZ_CHECK(SamePath(a, a), detail);
  FUZZ_CHECK(SamePath(a, b) == SamePath(b, a), detail);
  FUZZ_CHECK(SamePath(a, b) == ReferenceSamePath(a, b), detail);
}

// `path` with the case of the letters flipped where the mask has a bit set.
std::string FlipCase(std::string path, std::uint8_t mask) {
  for (std::size_t i = 0; i < path.size(); ++i) {
    const char c = path[i];
    const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    if (letter && ((mask >> (i % 8)) & 1)) path[i] = static_cast<char>(c ^ 0x20);
  }
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  SetUpMachine(input.Byte());
  const std::uint8_t split = input.Byte();
  const std::string a = input.Bytes(split);
  std::string b = input.Rest();
  if (b.size() == 1) b = FlipCase(a, static_cast<std::uint8_t>(b[0]));

  for (const std::string& path : {a, b}) {
    CheckParts(path);
    CheckTrailingDelimiter(path);
    CheckAbsolute(path);
  }
  CheckSamePath(a, b);
  return 0;
}
