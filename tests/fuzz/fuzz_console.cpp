// The console dialogue over any standard input, delivered in chunks the input chooses:
// overwrite questions (both forms) mixed with plain line reads, then plain line reads alone,
// each compared with a reference reader over the whole input.
//
// Input: a settings byte (bits 0-1 the type of standard output: console, disk file or pipe;
// bits 2-3 how the input ends: plainly, with a broken pipe, or with a read error), a byte
// with the order of questions and reads (bits 0-3) and the forms asked (bits 4-7), a count
// of chunk sizes (0-7) and the sizes, then the bytes of standard input.
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "Dravik/Console.h"
#include "failure/Errors.h"
#include "tests/fake/FakePlatform.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

constexpr char kCtrlZ = 0x1A;
constexpr platform::ErrorCode kReadError = 5;
const std::string kPath = "C:\\work\\\x83\x5C.bin";
const std::string kQuestionYesNo = kPath + " を上書きしますか？(Yes/No)";
const std::string kQuestionYesNoAll = kPath + " を上書きしますか？(Yes/No/All)";

struct Settings {
  platform::FileType outputType = platform::FileType::Char;
  bool endsWithError = false;  // reading past the end fails with kReadError
  bool endsWithBrokenPipe = false;
  std::uint8_t order = 0;  // bit set: a question, clear: a plain read
  std::uint8_t forms = 0;  // bit set: the Yes/No/All form
  std::vector<std::string> chunks;
  std::string stdinBytes;
};

Settings ReadSettings(FuzzInput& input) {
  Settings settings;
  const std::uint8_t first = input.Byte();
  const platform::FileType types[] = {platform::FileType::Char, platform::FileType::Disk,
                                      platform::FileType::Pipe, platform::FileType::Char};
  settings.outputType = types[first & 3];
  settings.endsWithBrokenPipe = ((first >> 2) & 3) == 2;
  settings.endsWithError = ((first >> 2) & 3) == 3;
  const std::uint8_t second = input.Byte();
  settings.order = second & 15;
  settings.forms = second >> 4;
  std::vector<std::size_t> sizes(input.Byte() % 8);
  for (std::size_t& chunkSize : sizes) chunkSize = 1 + input.Byte();
  settings.stdinBytes = input.Rest();
  const std::string& bytes = settings.stdinBytes;
  for (std::size_t at = 0, i = 0; at < bytes.size(); ++i) {
    const std::size_t length = sizes.empty() ? bytes.size() : sizes[i % sizes.size()];
    settings.chunks.push_back(bytes.substr(at, length));
    at += length;
  }
  return settings;
}

// A fresh machine with fresh console channels and this standard input.
void SetUpMachine(const Settings& settings) {
  ConsoleClose();
  fake::Reset();
  fake::SetStdType(platform::StdStream::Output, settings.outputType);
  fake::SetStdinChunks(settings.chunks);
  if (settings.endsWithBrokenPipe) fake::EndStdinWithError(platform::kErrorBrokenPipe);
  if (settings.endsWithError) fake::EndStdinWithError(kReadError);
}

// ---- The reference reader ----

struct LineRead {
  std::string text;
  bool inputEnded = false;  // the input had ended before anything of the line was read
  bool reachedEnd = false;  // the read needed a byte past the end of the input
};

// Gathers the text of a line; false when the end of the input stopped it.
bool GatherLine(const std::string& in, std::size_t& at, std::string& text) {
  for (;;) {
    if (at == in.size()) return false;
    const char byte = in[at];
    if (byte == '\n') return true;
    ++at;
    if (byte == kCtrlZ) return true;
    if (byte == '\r') {
      if (at == in.size()) return false;
      if (in[at] == '\n') return true;
      continue;
    }
    text += byte;
  }
}

// Skips to just after the next LF or Ctrl+Z; false when the input ends first.
bool SkipRestOfLine(const std::string& in, std::size_t& at) {
  while (at < in.size()) {
    const char byte = in[at++];
    if (byte == '\n' || byte == kCtrlZ) return true;
  }
  return false;
}

LineRead ReferenceReadLine(const std::string& in, std::size_t& at) {
  LineRead read;
  const bool gathered = GatherLine(in, at, read.text);
  read.inputEnded = !gathered && read.text.empty();
  read.reachedEnd = !gathered || !SkipRestOfLine(in, at);
  return read;
}

std::string Normalized(const std::string& answer) {
  std::string lowered;
  for (char byte : answer)
    lowered += (byte >= 'A' && byte <= 'Z') ? static_cast<char>(byte + 32) : byte;
  std::size_t begin = 0;
  std::size_t end = lowered.size();
  while (begin < end && static_cast<unsigned char>(lowered[begin]) <= 0x20) ++begin;
  while (end > begin && static_cast<unsigned char>(lowered[end - 1]) <= 0x20) --end;
  return lowered.substr(begin, end - begin);
}

bool Accepted(const std::string& answer, bool allowAll, TOverwriteAnswer& result) {
  if (answer == "y" || answer == "yes") {
    result = oaYes;
  } else if (answer == "n" || answer == "no") {
    result = oaNo;
  } else if (allowAll && (answer == "a" || answer == "all")) {
    result = oaAll;
  } else {
    return false;
  }
  return true;
}

// ---- The run ----

// What the run has seen so far, and what the reference says it should have seen.
struct Run {
  explicit Run(const Settings& runSettings) : settings(runSettings) {}

  const Settings& settings;
  std::size_t at = 0;  // the reference reader's position
  std::string expectedOutput;
  std::vector<std::size_t> questionEnds;  // output length after each question
  // For each question step: the number of platform calls made before it, and the output
  // length after its first question.
  std::vector<std::pair<std::size_t, std::size_t>> askStarts;
  bool finished = false;  // the input has ended (or failed) for the reference
  std::string log;        // the steps, for the message of a failed check
};

std::string Detail(const Run& run) {
  return "stdin: " + Hex(run.settings.stdinBytes) + "\nsteps:" + run.log;
}

// Expects the read error when the reference reached the end in error mode.
bool ExpectError(Run& run, bool reachedEnd, bool raised) {
  const bool expected = run.settings.endsWithError && reachedEnd;
  FUZZ_CHECK(raised == expected, Detail(run) + (raised ? " raised" : " did not raise"));
  if (expected) run.finished = true;
  return expected;
}

void AskStep(Run& run, bool allowAll) {
  const std::string& question = allowAll ? kQuestionYesNoAll : kQuestionYesNo;
  run.log += allowAll ? " ask-all" : " ask";
  run.askStarts.push_back({fake::Calls().size(), run.expectedOutput.size() + question.size()});
  bool raised = false;
  TOverwriteAnswer answer = oaNo;
  try {
    answer = AskOverwrite(kPath, allowAll);
  } catch (const EInOutError& error) {
    raised = true;
    FUZZ_CHECK(error.ErrorCode() == static_cast<std::int32_t>(kReadError),
               "stdin: " + Hex(run.settings.stdinBytes));
  }
  for (;;) {
    run.expectedOutput += question;
    run.questionEnds.push_back(run.expectedOutput.size());
    const LineRead read = ReferenceReadLine(run.settings.stdinBytes, run.at);
    if (run.settings.endsWithError && read.reachedEnd) break;
    if (read.inputEnded) {
      run.expectedOutput += "\r\n";
      run.finished = true;
      FUZZ_CHECK(!raised && answer == oaNo, Detail(run));
      return;
    }
    TOverwriteAnswer expected;
    if (Accepted(Normalized(read.text), allowAll, expected)) {
      FUZZ_CHECK(!raised && answer == expected, Detail(run));
      return;
    }
  }
  ExpectError(run, true, raised);
}

void ReadStep(Run& run) {
  run.log += " read";
  bool raised = false;
  bool inputEnded = false;
  std::string line;
  try {
    line = ConsoleReadLine(&inputEnded);
  } catch (const EInOutError& error) {
    raised = true;
    FUZZ_CHECK(error.ErrorCode() == static_cast<std::int32_t>(kReadError),
               "stdin: " + Hex(run.settings.stdinBytes));
  }
  const LineRead read = ReferenceReadLine(run.settings.stdinBytes, run.at);
  if (ExpectError(run, read.reachedEnd, raised)) return;
  FUZZ_CHECK(line.find_first_of(std::string("\n\r\x1A", 3)) == std::string::npos, Detail(run));
  FUZZ_CHECK(line == read.text,
             Detail(run) + "\ngot: " + Hex(line) + "\nexpected: " + Hex(read.text));
  FUZZ_CHECK(inputEnded == read.inputEnded, Detail(run));
  run.finished = read.inputEnded;
}

// Every read of standard input waits behind the questions asked so far: the output
// delivered at that moment ends exactly at the end of a question, at least the first one
// of the step that reads.
void CheckQuestionsCameFirst(const Run& run) {
  std::size_t delivered = 0;
  std::size_t least = 0;
  auto nextAsk = run.askStarts.begin();
  const std::string outputWrite = "WriteBytes h=" + std::to_string(fake::kStdoutHandle) + " n=";
  const std::string inputRead = "ReadBytes h=" + std::to_string(fake::kStdinHandle) + " ";
  const std::vector<fake::Call>& calls = fake::Calls();
  for (std::size_t index = 0; index < calls.size(); ++index) {
    for (; nextAsk != run.askStarts.end() && nextAsk->first <= index; ++nextAsk) {
      least = nextAsk->second;
    }
    const std::string& text = calls[index].text;
    if (text.compare(0, outputWrite.size(), outputWrite) == 0) {
      delivered += std::stoul(text.substr(outputWrite.size()));
    } else if (text.compare(0, inputRead.size(), inputRead) == 0) {
      bool atQuestionEnd = delivered == 0;
      for (std::size_t end : run.questionEnds) atQuestionEnd = atQuestionEnd || delivered == end;
      FUZZ_CHECK(atQuestionEnd && delivered >= least,
                 Detail(run) + "\ndelivered: " + std::to_string(delivered));
    }
  }
}

// Runs questions and reads in the order the settings give until the input has ended.
void RunDialogue(const Settings& settings, bool readsOnly) {
  SetUpMachine(settings);
  Run run{settings};
  try {
    for (std::size_t step = 0, asked = 0; !run.finished; ++step) {
      if (!readsOnly && ((settings.order >> (step % 4)) & 1)) {
        AskStep(run, (settings.forms >> (asked++ % 4)) & 1);
      } else {
        ReadStep(run);
      }
    }
  } catch (const fake::ProcessEnded&) {
    FUZZ_CHECK(false, Detail(run) + "\nthe process was ended");
  }
  FUZZ_CHECK(run.at == settings.stdinBytes.size(), Detail(run));
  FUZZ_CHECK(fake::StdinUnread() == 0, Detail(run));
  CheckQuestionsCameFirst(run);
  ConsoleClose();
  FUZZ_CHECK(fake::StdoutText() == run.expectedOutput,
             Detail(run) + "\noutput: " + Hex(fake::StdoutText()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  const Settings settings = ReadSettings(input);
  RunDialogue(settings, false);
  RunDialogue(settings, true);
  ConsoleClose();
  return 0;
}
