#include "Dravik/Commands.h"
#include "Dravik/Console.h"
#include "Dravik/NumberFormat.h"
#include "SparseUtils/Paths.h"
#include "SparseUtils/ProgramTexts.h"
#include "SparseUtils/SparseOperations.h"
#include "platform/Platform.h"

void RunCreateCommand(const std::string& fileArgument, std::int64_t size) {
  const std::int64_t TargetSize = size;
  const platform::TPathResult absolute = GetAbsolutePath(fileArgument);
  if (absolute.error.Failed()) {  // nothing to create where the path leads nowhere
    ConsoleWriteLine(fileArgument + std::string(texts::kNotCreated));
    return;
  }
  const std::string TargetPath = absolute.path;
  if (!IsNtfsDrive(TargetPath)) {
    ConsoleWriteLine(texts::kCreateNotNtfs);
    return;
  }
  // Only the file the question was about is replaced; a name that was free is made new.
  const TReplaceable existing = platform::IdentityOfFile(TargetPath);
  const bool permitted = !existing || AskOverwrite(TargetPath, false) == oaYes;
  if (permitted && CreateSparseFile(TargetPath, TargetSize, existing)) {
    ConsoleWriteLine(TargetPath + std::string(texts::kCreatedSizeOpen) +
                     FormatByteCount(TargetSize) + std::string(texts::kCreatedSizeClose));
  } else {
    ConsoleWriteLine(TargetPath + std::string(texts::kNotCreated));
  }
}
