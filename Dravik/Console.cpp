#include "Dravik/Console.h"

#include <cstdint>
#include <cstring>
#include <optional>

#include "SparseUtils/ByteStrings.h"
#include "SparseUtils/ProgramTexts.h"
#include "failure/Errors.h"
#include "platform/Platform.h"

namespace {

constexpr std::int32_t kInputNotOpen = 104;
constexpr std::int32_t kOutputNotOpen = 105;
constexpr char kCtrlZ = 0x1A;
constexpr std::string_view kLineEnd = "\r\n";

struct TOutputChannel {
  bool opened = false;
  platform::TFileHandle handle;
  bool writeThrough = false;
  bool console = false;  // takes text; anything else takes stream bytes
  char buffer[ConsoleBufferSize];
  std::size_t count = 0;
};

struct TInputChannel {
  bool opened = false;
  platform::TFileHandle handle;
  char buffer[ConsoleBufferSize];
  std::size_t position = 0;
  std::size_t count = 0;
  bool ended = false;  // the input ended during the current line
};

TOutputChannel output;
TInputChannel input;
std::int32_t pendingIoError = 0;
TCopyWatch* acts = nullptr;  // whose acts the writes are

void RecordIoError(std::int32_t code) { pendingIoError = code; }

// The runtime's table of I/O error messages. This console records 104, 105 and the system's
// codes, so 100, 101 and 106 come only from a system that gives those codes.
std::string InOutErrorMessage(std::int32_t code) {
  switch (code) {
    case 2:
      return std::string(texts::kInOutFileNotFound);
    case 3:
      return std::string(texts::kInOutBadFileName);
    case 4:
      return std::string(texts::kInOutTooManyOpen);
    case 5:
      return std::string(texts::kInOutAccessDenied);
    case 100:
      return std::string(texts::kInOutReadPastEnd);
    case 101:
      return std::string(texts::kInOutDiskFull);
    case 106:
      return std::string(texts::kInOutNotNumeric);
    default:
      return FormatText(texts::kInOutOther, {std::to_string(code)});
  }
}

// Raises the recorded console failure, if any, and clears the record.
void IoCheck() {
  if (pendingIoError == 0) return;
  const std::int32_t code = pendingIoError;
  pendingIoError = 0;
  Raise(EInOutError(InOutErrorMessage(code), code));
}

bool OpenOutput() {
  if (output.opened) return true;
  const platform::TFileHandle handle = platform::StdHandle(platform::TStdStream::kOutput);
  if (!handle.IsValid()) {
    RecordIoError(kOutputNotOpen);
    return false;
  }
  const platform::TFileType type = platform::TypeOfFile(handle);
  if (type == platform::TFileType::kUnknown) {
    platform::CloseFile(handle);
    RecordIoError(kOutputNotOpen);
    return false;
  }
  output.opened = true;
  output.handle = handle;
  output.console = type == platform::TFileType::kConsole;
  output.writeThrough = output.console || type == platform::TFileType::kChar;
  return true;
}

// Writes the first `count` bytes of the buffer out and drops them, whether the write succeeds
// or not.
platform::TIoResult WriteOutBytes(std::size_t count) {
  const auto size = static_cast<std::uint32_t>(count);
  const platform::TIoResult written =
      output.console ? platform::WriteConsoleText(output.handle, output.buffer, size)
                     : platform::WriteBytes(output.handle, output.buffer, size);
  std::memmove(output.buffer, output.buffer + count, output.count - count);
  output.count -= count;
  return written;
}

// Writes the buffer out and empties it, as an act of the run. A console takes whole
// characters: when the buffer filled in the middle of one, its first bytes wait for the rest.
bool WriteOut(bool cutCharacterWaits = false) {
  const std::string_view waiting(output.buffer, output.count);
  const std::size_t count =
      output.console && cutCharacterWaits ? WholeCharactersLength(waiting) : waiting.size();
  std::optional<TCopyWatch::TAct> act;
  if (acts != nullptr) act.emplace(*acts);
  const platform::TIoResult written = WriteOutBytes(count);
  if (written.error.Failed()) RecordIoError(static_cast<std::int32_t>(written.error.code));
  return !written.error.Failed();
}

// Appends text to the buffer, writing it out each time it fills. False when a write failed;
// the rest of the text is then dropped. Anything but a console takes the text's stream bytes.
bool Append(std::string_view text) {
  std::string bytes;
  if (!output.console) {
    bytes.resize(text.size());
    bytes.resize(platform::ToStreamBytes(text, bytes.data(), bytes.size()));
    text = bytes;
  }
  while (!text.empty()) {
    const std::size_t room = ConsoleBufferSize - output.count;
    const std::size_t taken = text.size() < room ? text.size() : room;
    std::memcpy(output.buffer + output.count, text.data(), taken);
    output.count += taken;
    text.remove_prefix(taken);
    if (output.count == ConsoleBufferSize && !WriteOut(true)) return false;
  }
  return true;
}

bool OpenInput() {
  if (input.opened) return true;
  const platform::TFileHandle handle = platform::StdHandle(platform::TStdStream::kInput);
  if (!handle.IsValid()) {
    RecordIoError(kInputNotOpen);
    return false;
  }
  input.opened = true;
  input.handle = handle;
  return true;
}

// Refills the input buffer once. Zero bytes, or a pipe whose writer has gone, is the end
// of the input; any other failure is recorded and also ends the line.
void Refill() {
  const platform::TIoResult read =
      platform::ReadBytes(input.handle, input.buffer, ConsoleBufferSize);
  input.position = 0;
  input.count = read.error.Failed() ? 0 : read.bytes;
  if (read.error.Failed() && read.error.code != platform::kErrorBrokenPipe) {
    RecordIoError(static_cast<std::int32_t>(read.error.code));
  }
  input.ended = input.count == 0;
}

// The next input byte without taking it, or -1 at the end of the input.
int PeekByte() {
  if (input.position == input.count && !input.ended) Refill();
  if (input.position == input.count) return -1;
  return static_cast<unsigned char>(input.buffer[input.position]);
}

int TakeByte() {
  const int byte = PeekByte();
  if (byte >= 0) ++input.position;
  return byte;
}

// Gathers the text of a line up to its line end (left for SkipRestOfLine), a Ctrl+Z
// (consumed) or the end of the input. Lone CRs are dropped.
std::string GatherLineText() {
  std::string text;
  for (int byte = PeekByte(); byte >= 0 && byte != '\n'; byte = PeekByte()) {
    TakeByte();
    if (byte == kCtrlZ) break;
    if (byte == '\r') {
      if (PeekByte() == '\n') break;
      continue;
    }
    text += static_cast<char>(byte);
  }
  return text;
}

// Skips up to and including the next LF; a Ctrl+Z or the end of the input also stops it.
void SkipRestOfLine() {
  for (int byte = TakeByte(); byte >= 0 && byte != '\n' && byte != kCtrlZ; byte = TakeByte()) {
  }
}

// Lower-cases A-Z and trims bytes up to 0x20 at both ends.
std::string NormalizeAnswer(const std::string& answer) {
  const std::string lowered = LowerAscii(answer);
  std::size_t begin = 0;
  std::size_t end = lowered.size();
  while (begin < end && static_cast<unsigned char>(lowered[begin]) <= 0x20) ++begin;
  while (end > begin && static_cast<unsigned char>(lowered[end - 1]) <= 0x20) --end;
  return lowered.substr(begin, end - begin);
}

bool AcceptedAnswer(const std::string& answer, bool allowAll, TOverwriteAnswer& result) {
  if (answer == "y" || answer == "yes")
    result = oaYes;
  else if (answer == "n" || answer == "no")
    result = oaNo;
  else if (allowAll && (answer == "a" || answer == "all"))
    result = oaAll;
  else
    return false;
  return true;
}

}  // namespace

void ConsoleWrite(std::string_view text) {
  if (OpenOutput()) Append(text);
}

void ConsoleWriteLine(std::string_view text) {
  if (OpenOutput() && Append(text) && Append(kLineEnd) && output.writeThrough && output.count > 0) {
    WriteOut();
  }
  IoCheck();
}

void ConsoleFlush() {
  if (output.opened && output.count > 0) WriteOut();
  IoCheck();
}

std::string ConsoleReadLine(bool* inputEnded) {
  std::string text;
  bool ended = false;
  if (OpenInput()) {
    input.ended = false;
    text = GatherLineText();
    ended = input.ended;
    if (!ended) SkipRestOfLine();
  }
  if (inputEnded != nullptr) *inputEnded = ended && text.empty();
  IoCheck();
  return text;
}

TOverwriteAnswer AskOverwrite(const std::string& path, bool allowAll) {
  const std::string question =
      path + std::string(allowAll ? texts::kAskOverwriteYesNoAll : texts::kAskOverwriteYesNo);
  for (;;) {
    ConsoleWrite(question);
    ConsoleFlush();
    bool inputEnded = false;
    const std::string answer = NormalizeAnswer(ConsoleReadLine(&inputEnded));
    if (inputEnded) {
      ConsoleWriteLine();
      return oaNo;
    }
    TOverwriteAnswer result;
    if (AcceptedAnswer(answer, allowAll, result)) return result;
  }
}

void ConsoleWriteOutQuietly() {
  if (output.opened && output.count > 0) WriteOutBytes(output.count);
}

TConsoleActs::TConsoleActs(TCopyWatch& watch) { acts = &watch; }

TConsoleActs::~TConsoleActs() { acts = nullptr; }

void ConsoleClose() {
  if (output.opened && output.count > 0) WriteOut();
  output = TOutputChannel();
  input = TInputChannel();
  pendingIoError = 0;
}
