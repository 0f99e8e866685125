#include "Dravik/Arguments.h"

#include "SparseUtils/Paths.h"
#include "platform/Platform.h"

namespace {

bool IsSeparator(char byte) { return static_cast<unsigned char>(byte) <= 0x20; }

// Skips separators and empty quoted words ("") at `at`.
std::size_t SkipSeparators(std::string_view line, std::size_t at) {
  for (;;) {
    if (at < line.size() && line[at] != '\0' && IsSeparator(line[at])) {
      ++at;
    } else if (at + 1 < line.size() && line[at] == '"' && line[at + 1] == '"') {
      at += 2;
    } else {
      return at;
    }
  }
}

// Reads one word starting at `at`; leaves `at` where the word stopped.
std::string ReadWord(std::string_view line, std::size_t& at) {
  at = SkipSeparators(line, at);
  std::string word;
  while (at < line.size() && !IsSeparator(line[at])) {
    if (line[at] == '"') {
      ++at;
      while (at < line.size() && line[at] != '"' && line[at] != '\0') word += line[at++];
      if (at < line.size() && line[at] == '"') ++at;
    } else {
      word += line[at++];
    }
  }
  return word;
}

// Splits a raw command line into its words: separators are bytes up to 0x20, double quotes
// group (and are never part of a word), an empty quoted word counts as a separator.
std::vector<std::string> SplitCommandLine(std::string_view commandLine) {
  // The raw line ends at its first zero byte, as a C string does.
  commandLine = commandLine.substr(0, commandLine.find('\0'));
  std::vector<std::string> words;
  std::size_t at = 0;
  ReadWord(commandLine, at);  // the program name as typed
  for (std::string word = ReadWord(commandLine, at); !word.empty();
       word = ReadWord(commandLine, at)) {
    words.push_back(word);
  }
  return words;
}

// The arguments after the program name, as the platform delivers them.
std::vector<std::string> Words() {
  const platform::TCommandLineSource source = platform::ProcessCommandLine();
  if (source.isRaw) return SplitCommandLine(source.raw);
  std::vector<std::string> words;
  for (const std::string& word : source.words) {
    if (!word.empty()) words.push_back(word);
  }
  return words;
}

}  // namespace

std::int32_t ArgumentCount() { return static_cast<std::int32_t>(Words().size()); }

std::string ArgumentAt(std::int32_t index) {
  if (index == 0) return platform::ProgramPath();
  const std::vector<std::string> words = Words();
  if (index < 0 || static_cast<std::size_t>(index) > words.size()) return std::string();
  return words[index - 1];
}

std::string ProgramFileName() { return std::string(NamePart(ArgumentAt(0))); }
