// Path handling of the fake: resolution, comparison and wildcard matching, in the style of
// the configured system (Windows or POSIX) and aware of double-byte characters.
#include <cstddef>
#include <string>
#include <vector>

#include "tests/fake/FakeWorld.h"

namespace fake::detail {

namespace {

bool IsWindows() { return TheWorld().style == PathStyle::Windows; }

bool IsDelimiterByte(char c) { return c == '/' || (IsWindows() && c == '\\'); }

// The length of the character starting at `i`: 2 for a lead byte followed by a trail byte.
std::size_t CharLength(const std::string& text, std::size_t i) {
  return IsLeadByteNow(static_cast<unsigned char>(text[i])) && i + 1 < text.size() ? 2 : 1;
}

std::vector<std::string> Characters(const std::string& text) {
  std::vector<std::string> characters;
  for (std::size_t i = 0; i < text.size(); i += CharLength(text, i)) {
    characters.push_back(text.substr(i, CharLength(text, i)));
  }
  return characters;
}

// Splits at delimiters (never at a trail byte), keeping empty pieces.
std::vector<std::string> SplitAtDelimiters(const std::string& text) {
  std::vector<std::string> pieces(1);
  for (const std::string& character : Characters(text)) {
    if (character.size() == 1 && IsDelimiterByte(character[0])) {
      pieces.emplace_back();
    } else {
      pieces.back() += character;
    }
  }
  return pieces;
}

bool EndsWithDelimiter(const std::string& text) {
  const std::vector<std::string> characters = Characters(text);
  return !characters.empty() && characters.back().size() == 1 &&
         IsDelimiterByte(characters.back()[0]);
}

// Reads the component starting at `i` and moves `i` past it (not past the delimiter).
std::string ReadComponent(const std::string& text, std::size_t& i) {
  const std::size_t start = i;
  while (i < text.size() && !IsDelimiterByte(text[i])) i += CharLength(text, i);
  return text.substr(start, i - start);
}

// The root of an absolute path and where its components begin; false when not absolute.
bool SplitRoot(const std::string& path, std::string& root, std::size_t& rest) {
  if (!IsWindows()) {
    if (path.empty() || path[0] != '/') return false;
    root = "/";
    rest = 1;
    return true;
  }
  if (path.size() >= 3 && path[1] == ':' && IsDelimiterByte(path[2])) {
    root = path.substr(0, 2) + "\\";
    rest = 3;
    return true;
  }
  if (path.size() >= 2 && IsDelimiterByte(path[0]) && IsDelimiterByte(path[1])) {
    std::size_t i = 2;
    const std::string server = ReadComponent(path, i);
    if (server.empty()) return false;
    if (i < path.size()) ++i;
    const std::string share = ReadComponent(path, i);
    root = "\\\\" + server + "\\" + (share.empty() ? "" : share + "\\");
    rest = i;
    return true;
  }
  return false;
}

bool ResolveAbsolute(const std::string& path, bool trailing, ResolvedPath& resolved) {
  std::size_t rest = 0;
  if (!SplitRoot(path, resolved.root, rest)) return false;
  resolved.parts.clear();
  for (const std::string& part : SplitAtDelimiters(path.substr(rest))) {
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!resolved.parts.empty()) resolved.parts.pop_back();
      continue;
    }
    resolved.parts.push_back(part);
  }
  resolved.trailingDelimiter = trailing && !resolved.parts.empty();
  return true;
}

// Makes a relative, drive-relative or rooted path absolute; false when that needs the
// current folder and it is unknown.
bool MakeAbsolute(const std::string& path, std::string& absolute) {
  std::string root;
  std::size_t rest = 0;
  if (SplitRoot(path, root, rest)) {
    absolute = path;
    return true;
  }
  const std::optional<std::string>& current = TheWorld().currentFolder;
  const char delimiter = Delimiter();
  if (IsWindows() && path.size() >= 2 && path[1] == ':') {
    const bool onCurrentDrive =
        current && current->size() >= 2 && SameText(current->substr(0, 2), path.substr(0, 2));
    absolute = (onCurrentDrive ? *current : path.substr(0, 2)) + delimiter + path.substr(2);
    return true;
  }
  if (!current) return false;
  if (IsDelimiterByte(path[0])) {
    if (!SplitRoot(*current, root, rest)) return false;
    absolute = root + path.substr(1);
    return true;
  }
  absolute = *current + delimiter + path;
  return true;
}

char FoldedByte(char c) {
  return IsWindows() && c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameCharacter(const std::string& a, const std::string& b) {
  return ComparisonKey(a) == ComparisonKey(b);
}

}  // namespace

char Delimiter() { return IsWindows() ? '\\' : '/'; }

bool IsLeadByteNow(unsigned char byte) {
  return TheWorld().doubleByte &&
         ((byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC));
}

bool Resolve(const std::string& path, ResolvedPath& resolved) {
  if (path.empty()) return false;
  std::string absolute;
  if (!MakeAbsolute(path, absolute)) return false;
  return ResolveAbsolute(absolute, EndsWithDelimiter(path), resolved);
}

std::string Join(const ResolvedPath& path, bool withTrailingDelimiter) {
  std::string joined = path.root;
  for (std::size_t i = 0; i < path.parts.size(); ++i) {
    if (i > 0) joined += Delimiter();
    joined += path.parts[i];
  }
  if (withTrailingDelimiter && path.trailingDelimiter) joined += Delimiter();
  return joined;
}

std::string ComparisonKey(const std::string& text) {
  std::string key = text;
  for (std::size_t i = 0; i < key.size(); i += CharLength(key, i)) {
    if (CharLength(key, i) == 1) key[i] = FoldedByte(key[i]);
  }
  return key;
}

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && ComparisonKey(a) == ComparisonKey(b);
}

bool HasWildcards(const std::string& path) { return path.find_first_of("*?") != std::string::npos; }

void SplitPattern(const std::string& pattern, std::string& folder, std::string& name) {
  std::size_t split = 0;
  for (std::size_t i = 0; i < pattern.size(); i += CharLength(pattern, i)) {
    const char c = pattern[i];
    if (IsDelimiterByte(c) || (IsWindows() && c == ':')) split = i + 1;
  }
  folder = pattern.substr(0, split);
  name = pattern.substr(split);
}

// Windows' meaning: '*' any run of characters, '?' exactly one, "*.*" everything.
bool MatchesWildcard(const std::string& name, const std::string& pattern) {
  if (pattern == "*.*") return true;
  const std::vector<std::string> text = Characters(name);
  const std::vector<std::string> wild = Characters(pattern);
  std::size_t t = 0;
  std::size_t w = 0;
  std::optional<std::size_t> star;
  std::size_t starText = 0;
  while (t < text.size()) {
    if (w < wild.size() && wild[w] == "*") {
      star = w++;
      starText = t;
    } else if (w < wild.size() && (wild[w] == "?" || SameCharacter(wild[w], text[t]))) {
      ++t;
      ++w;
    } else if (star) {
      w = *star + 1;
      t = ++starText;
    } else {
      return false;
    }
  }
  while (w < wild.size() && wild[w] == "*") ++w;
  return w == wild.size();
}

}  // namespace fake::detail
