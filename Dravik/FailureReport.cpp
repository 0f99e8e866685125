#include "Dravik/FailureReport.h"

#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "Dravik/Console.h"
#include "Dravik/ProgressDisplay.h"
#include "SparseUtils/ByteStrings.h"
#include "SparseUtils/Paths.h"
#include "SparseUtils/ProgramTexts.h"
#include "platform/Platform.h"

namespace {

constexpr std::uintptr_t kImageHeaderSize = 0x1000;
constexpr std::size_t kModuleNameLimit = 260;

const EOutOfMemory* outOfMemory = nullptr;  // made before it can be needed
int ExitCode = 0;

// Room for the report's text as UTF-8, which may take more bytes than it takes where it is
// written: the limit cuts it there.
constexpr std::size_t kReportBufferSize = 4 * kReportTextLimit;

// Text built in a fixed buffer.
class TReportText {
 public:
  void Append(std::string_view piece) {
    const std::size_t room = kReportBufferSize - FSize;
    const std::size_t taken = piece.size() < room ? piece.size() : room;
    std::memcpy(FText + FSize, piece.data(), taken);
    FSize += taken;
  }
  std::string_view Text() const { return {FText, FSize}; }

 private:
  char FText[kReportBufferSize];
  std::size_t FSize = 0;
};

// The module holding `address` and the address relative to it; the program's own file
// when the system cannot tell.
void LocateAddress(std::uintptr_t address, std::string& modulePath, std::uintptr_t& shown) {
  std::uintptr_t base = 0;
  if (address != 0 && platform::ModuleOfAddress(address, modulePath, base)) {
    shown = address - base;
    return;
  }
  modulePath = platform::ProgramPath();
  shown = address == 0 ? 0 : address - kImageHeaderSize;
}

void HexDigits(std::uintptr_t value, char (&digits)[8]) {
  static const char kHex[] = "0123456789ABCDEF";
  const std::uint32_t low = static_cast<std::uint32_t>(value);
  for (int i = 0; i < 8; ++i) digits[7 - i] = kHex[(low >> (4 * i)) & 0xF];
}

// Line 1 from its template, then LF, the message and "." unless it already ends so.
void FormatReport(TReportText& report, const char* className, std::string_view message,
                  std::string_view moduleName, std::uintptr_t shown) {
  char address[8];
  HexDigits(shown, address);
  const std::string_view values[] = {className, moduleName, std::string_view(address, 8)};
  std::size_t next = 0;
  const std::string_view line1 = texts::kReportLine1;
  for (std::size_t at = 0; at < line1.size(); ++at) {
    if (line1[at] == '%' && at + 1 < line1.size() && next < 3) {
      report.Append(values[next++]);
      ++at;
    } else {
      report.Append(line1.substr(at, 1));
    }
  }
  report.Append("\n");
  report.Append(message);
  if (!message.empty() && message.back() != '.') report.Append(".");
}

// The report goes to a console as text, anywhere else as stream bytes in the OEM code page; cut
// at the report's limit either way.
void WriteToStandardError(std::string_view text) {
  const platform::TFileHandle handle = platform::StdHandle(platform::TStdStream::kError);
  if (!handle.IsValid()) return;
  if (platform::TypeOfFile(handle) == platform::TFileType::kConsole) {
    const std::size_t size = WholeCharactersLength(text.substr(0, kReportTextLimit));
    platform::WriteConsoleText(handle, text.data(), static_cast<std::uint32_t>(size));
    platform::WriteConsoleText(handle, "\r\n", 2);
    return;
  }
  char bytes[kReportTextLimit];
  const std::size_t size = platform::ToStreamBytes(text, bytes, sizeof bytes);
  platform::ToOemCodePage(bytes, size);
  platform::WriteBytes(handle, bytes, static_cast<std::uint32_t>(size));
  platform::WriteBytes(handle, "\r\n", 2);
}

// Writes out what the run printed before the failure; a failure of that flush is not
// reported in place of the original error.
void FlushConsoleQuietly() {
  try {
    ConsoleFlush();
  } catch (...) {
  }
}

[[noreturn]] void HandleUncaughtFailure(const char* className, std::string_view message,
                                        std::uintptr_t address) {
  ShowFailureReport(className, message, address);
  TerminateRun(1);
}

void HandleProcessorFault(const char* className, const char* message, std::uintptr_t address) {
  HandleUncaughtFailure(className, message, address);
}

// What the run's end and an interrupt reach, on whatever thread they come.
struct TRunFrame {
  TCopyWatch& watch;
  TProgressDisplay& display;
};
TRunFrame* runFrame = nullptr;  // set as the run begins

// On a thread of its own: the copy under way is cut and its thread waits; when this returns,
// the platform ends the process.
void HandleInterrupt(void* context) {
  TRunFrame& frame = *static_cast<TRunFrame*>(context);
  frame.watch.Interrupt();
  frame.display.PutTitleBack();
}

}  // namespace

void ShowFailureReport(const char* className, std::string_view message, std::uintptr_t address) {
  std::string modulePath;
  std::uintptr_t shown = 0;
  try {
    LocateAddress(address, modulePath, shown);
  } catch (...) {
    modulePath.clear();
  }
  TReportText report;
  FormatReport(report, className, message, NamePart(modulePath).substr(0, kModuleNameLimit), shown);
  FlushConsoleQuietly();
  WriteToStandardError(report.Text());
}

void TerminateRun(int code) {
  ExitCode = code;
  if (runFrame != nullptr) runFrame->display.PutTitleBack();
  delete outOfMemory;
  outOfMemory = nullptr;
  try {
    ConsoleClose();
  } catch (...) {
  }
  platform::EndProcess(ExitCode);
}

void RunProgram(void (*body)(TCopyWatch& watch)) {
  outOfMemory = new EOutOfMemory(std::string(texts::kOutOfMemory));
  TCopyWatch watch;
  TProgressDisplay display(watch);
  TRunFrame frame{watch, display};
  runFrame = &frame;
  platform::InstallFaultHandler(HandleProcessorFault);
  watch.BeforeFirstCopy([&frame] {  // a run that copies nothing starts no thread
    platform::InstallInterruptHandler(HandleInterrupt, &frame);
    frame.display.Start();
  });
  try {
    body(watch);
  } catch (const Exception& error) {
    HandleUncaughtFailure(error.ClassName(), error.Message(), error.Address());
  } catch (const std::bad_alloc&) {
    HandleUncaughtFailure(outOfMemory->ClassName(), outOfMemory->Message(), 0);
  } catch (const std::exception& error) {
    HandleUncaughtFailure("Exception", error.what(), 0);
  }
  TerminateRun(0);
}
