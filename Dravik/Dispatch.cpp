#include "Dravik/Arguments.h"
#include "Dravik/Commands.h"
#include "Dravik/Console.h"
#include "SparseUtils/ByteStrings.h"
#include "SparseUtils/ProgramTexts.h"
#include "SparseUtils/SizeParsing.h"

void ShowUsage() {
  const std::string programName = ProgramFileName();
  ConsoleWriteLine(texts::kUsageTitle);
  ConsoleWriteLine(" " + programName + std::string(texts::kUsageCopyForm));
  ConsoleWriteLine(" " + programName + std::string(texts::kUsageCreateForm));
  ConsoleWriteLine();
  ConsoleWriteLine(texts::kUsageAuthor);
  ConsoleWriteLine();
  ConsoleWriteLine(texts::kUsagePressEnter);
  ConsoleFlush();  // a file or pipe shows the screen before the wait, as a console does
  ConsoleReadLine();
}

void RunDravik(TCopyWatch& watch) {
  bool CommandRan = false;
  const std::int32_t count = ArgumentCount();
  if (count > 0) {
    if (LowerAscii(ArgumentAt(1)) == "/c") {
      if (count == 3) {
        const std::int64_t size = StrToByteSize(ArgumentAt(3));
        if (size > 0) {
          CommandRan = true;
          RunCreateCommand(ArgumentAt(2), size);
        }
      }
    } else if (count >= 2) {
      CommandRan = true;
      RunCopyCommand(ArgumentAt(1), ArgumentAt(2), watch);
    }
  }
  if (!CommandRan) ShowUsage();
}
