#include "Dravik/FailureReport.h"

#include <cstring>

#include "Dravik/Console.h"
#include "SparseUtils/ByteStrings.h"
#include "SparseUtils/Paths.h"
#include "SparseUtils/ProgramTexts.h"
#include "platform/Platform.h"

namespace {

constexpr std::uintptr_t kImageHeaderSize = 0x1000;
constexpr std::size_t kModuleNameLimit = 260;
constexpr std::size_t kModulePathRoom = 4096;

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

// Where an address lies: the file name of its module, and the address relative to the module.
struct TLocation {
  std::string_view moduleName;
  std::uintptr_t shown = 0;
};

// The module holding `address`, its path put in `path`; the program's own file when the system
// cannot tell.
TLocation LocateAddress(std::uintptr_t address, char (&path)[kModulePathRoom]) {
  std::uintptr_t base = 0;
  const std::size_t length =
      address != 0 ? platform::ModuleOfAddress(address, path, sizeof path, base) : 0;
  if (length > 0) {
    return {NamePart(std::string_view(path, length)).substr(0, kModuleNameLimit), address - base};
  }
  return {NamePart(platform::ProgramPath()).substr(0, kModuleNameLimit),
          address == 0 ? 0 : address - kImageHeaderSize};
}

void HexDigits(std::uintptr_t value, char (&digits)[8]) {
  static const char kHex[] = "0123456789ABCDEF";
  const std::uint32_t low = static_cast<std::uint32_t>(value);
  for (int i = 0; i < 8; ++i) digits[7 - i] = kHex[(low >> (4 * i)) & 0xF];
}

// Line 1 from its template, then LF, the message and "." unless it already ends so. The
// template is filled here, not by FormatText, which makes a string: the report allocates nothing.
void FormatReport(TReportText& report, const char* className, std::string_view message,
                  const TLocation& location) {
  char address[8];
  HexDigits(location.shown, address);
  const std::string_view values[] = {className, location.moduleName, std::string_view(address, 8)};
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

// The report goes to a console as text, anywhere else as stream bytes, as every text does; cut
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
  platform::WriteBytes(handle, bytes, static_cast<std::uint32_t>(size));
  platform::WriteBytes(handle, "\r\n", 2);
}

}  // namespace

// A failure of the console's flush is not reported in place of the original error.
void ShowFailureReport(const char* className, std::string_view message, std::uintptr_t address) {
  char modulePath[kModulePathRoom];
  TReportText report;
  FormatReport(report, className, message, LocateAddress(address, modulePath));
  ConsoleWriteOutQuietly();
  WriteToStandardError(report.Text());
}
