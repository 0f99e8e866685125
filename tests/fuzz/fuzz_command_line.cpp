// Splitting a raw command line into words, on any bytes, with the double-byte code page on
// (first input byte odd) or off. The words are compared with a plain reading of the rules,
// checked for what must hold of every word, and split again after joining them in quotes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Dravik/Arguments.h"
#include "tests/fake/FakePlatform.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

using Words = std::vector<std::string>;

bool doubleByte = false;

bool IsSeparator(char byte) { return static_cast<unsigned char>(byte) <= 0x20; }

// Steps over separators and empty quoted words.
void SkipSeparators(std::string_view line, std::size_t& at) {
  for (;;) {
    if (at < line.size() && IsSeparator(line[at])) {
      ++at;
    } else if (at + 1 < line.size() && line[at] == '"' && line[at + 1] == '"') {
      at += 2;
    } else {
      return;
    }
  }
}

// Takes the character at `at` into `word`.
void TakeCharacter(std::string_view line, std::size_t& at, std::string& word) {
  const std::size_t length = CharLengthAt(line, at, doubleByte);
  word.append(line.substr(at, length));
  at += length;
}

std::string ReferenceWord(std::string_view line, std::size_t& at) {
  SkipSeparators(line, at);
  std::string word;
  while (at < line.size() && !IsSeparator(line[at])) {
    if (line[at] != '"') {
      TakeCharacter(line, at, word);
      continue;
    }
    ++at;
    while (at < line.size() && line[at] != '"') TakeCharacter(line, at, word);
    if (at < line.size()) ++at;
  }
  return word;
}

// The words after the program name; the line ends at its first zero byte.
Words ReferenceSplit(std::string_view line) {
  line = line.substr(0, line.find('\0'));
  std::size_t at = 0;
  ReferenceWord(line, at);
  Words words;
  for (std::string word = ReferenceWord(line, at); !word.empty(); word = ReferenceWord(line, at)) {
    words.push_back(word);
  }
  return words;
}

std::string Describe(const Words& words) {
  std::string text;
  for (const std::string& word : words) text += "[" + Hex(word) + "]\n";
  return text;
}

void CheckEveryWord(const Words& words, const std::string& line) {
  for (const std::string& word : words) {
    FUZZ_CHECK(!word.empty(), "line: " + Hex(line));
    FUZZ_CHECK(word.find('\0') == std::string::npos, "line: " + Hex(line));
    FUZZ_CHECK(!ContainsCharacter(word, '"', doubleByte), "word: " + Hex(word));
  }
}

bool HasSeparatorByte(const Words& words) {
  for (const std::string& word : words) {
    for (char byte : word) {
      if (IsSeparator(byte)) return true;
    }
  }
  return false;
}

// Joining words again gives the same words, unless a word ends in a lead byte that would
// take the following quote or space as its second byte.
void CheckJoinedAgain(const Words& words) {
  for (const std::string& word : words) {
    if (EndsWithLoneLeadByte(word, doubleByte)) return;
  }
  std::string quoted = "prog";
  std::string plain = "prog";
  for (const std::string& word : words) {
    quoted += " \"" + word + "\"";
    plain += " " + word;
  }
  FUZZ_CHECK(SplitCommandLine(quoted) == words, "quoted: " + Hex(quoted));
  if (!HasSeparatorByte(words)) {
    FUZZ_CHECK(SplitCommandLine(plain) == words, "plain: " + Hex(plain));
  }
}

// The argument calls read the same words from the process's command line.
void CheckArguments(const Words& words, const std::string& line) {
  fake::SetRawCommandLine(line);
  const std::int32_t count = ArgumentCount();
  FUZZ_CHECK(count == static_cast<std::int32_t>(words.size()), "line: " + Hex(line));
  for (std::int32_t index = 1; index <= count && index <= 4; ++index) {
    FUZZ_CHECK(ArgumentAt(index) == words[index - 1], "line: " + Hex(line));
  }
  FUZZ_CHECK(ArgumentAt(count + 1).empty(), "line: " + Hex(line));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  doubleByte = (input.Byte() & 1) != 0;
  const std::string line = input.Rest();
  fake::Reset();
  fake::SetDoubleByteCodePage(doubleByte);

  const Words words = SplitCommandLine(line);
  const Words expected = ReferenceSplit(line);
  FUZZ_CHECK(words == expected, "line: " + Hex(line) + "\ngot:\n" + Describe(words) +
                                    "expected:\n" + Describe(expected));
  CheckEveryWord(words, line);
  CheckJoinedAgain(words);
  CheckArguments(words, line);
  return 0;
}
