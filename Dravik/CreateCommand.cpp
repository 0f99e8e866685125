#include "Dravik/Commands.h"
#include "Dravik/Console.h"
#include "Dravik/NumberFormat.h"
#include "SparseUtils/Paths.h"
#include "SparseUtils/ProgramTexts.h"
#include "SparseUtils/SparseOperations.h"

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
  const bool permitted = !FileExists(TargetPath) || AskOverwrite(TargetPath, false) == oaYes;
  if (permitted && CreateSparseFile(TargetPath, TargetSize)) {
    ConsoleWriteLine(TargetPath + std::string(texts::kCreatedSizeOpen) +
                     FormatByteCount(TargetSize) + std::string(texts::kCreatedSizeClose));
  } else {
    ConsoleWriteLine(TargetPath + std::string(texts::kNotCreated));
  }
}
