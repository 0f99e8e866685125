#include "Dravik/Commands.h"
#include "Dravik/Console.h"
#include "SparseUtils/Paths.h"
#include "SparseUtils/ProgramTexts.h"
#include "SparseUtils/SparseOperations.h"
#include "platform/Platform.h"

namespace {

// A path that cannot be resolved cannot be opened: the run ends with the open error of the
// path as typed, before anything is written, rather than working on some other path.
std::string ResolvedOrRaise(const platform::TPathResult& resolved, const std::string& typed) {
  if (resolved.error.Failed()) RaiseOpenError(typed, resolved.error);
  return resolved.path;
}

// An open directory search; closed when it goes, also when an error passes through.
class TEntrySearch {
 public:
  TEntrySearch() = default;
  ~TEntrySearch() {
    if (FHandle.IsValid()) platform::FindEnd(FHandle);
  }
  TEntrySearch(const TEntrySearch&) = delete;
  TEntrySearch& operator=(const TEntrySearch&) = delete;

  bool First(const std::string& pattern, platform::TFoundEntry& entry) {
    FHandle = platform::FindFirstEntry(pattern, entry);
    return FHandle.IsValid();
  }
  bool Next(platform::TFoundEntry& entry) { return platform::FindNextEntry(FHandle, entry); }

 private:
  platform::TSearchHandle FHandle;
};

struct TCopyCommand {
  std::string SourcePath;
  std::string DestinationPath;
  std::string DestinationFolder;
  std::string SourceFolder;
  std::int32_t CopiedCount = 0;
  bool OverwriteAll = false;

  void CopyIntoFolder(TCopyWatch& watch);
  void CopyEntry(const std::string& name, TCopyWatch& watch);
  void CopyToFile(TCopyWatch& watch);
  void PrintCount() const;
};

void TCopyCommand::CopyIntoFolder(TCopyWatch& watch) {
  // "C:*.img" is listed from the current folder of drive C:, so copy from there too.
  SourcePath = ResolvedOrRaise(ResolveDriveRelative(SourcePath), SourcePath);
  SourceFolder = WithTrailingDelimiter(FolderPart(SourcePath));
  TEntrySearch search;
  platform::TFoundEntry entry;
  OverwriteAll = false;
  for (bool found = search.First(SourcePath, entry); found; found = search.Next(entry)) {
    if (!entry.isFolder) CopyEntry(entry.name, watch);
  }
}

// A destination that was there is asked about, and only the file the question was about is
// replaced; one that was not is made new.
void TCopyCommand::CopyEntry(const std::string& name, TCopyWatch& watch) {
  const std::string source = SourceFolder + name;
  const std::string destination = DestinationFolder + name;
  const TReplaceable existing = platform::IdentityOfFile(destination);
  bool permitted = OverwriteAll;
  if (!OverwriteAll && existing) {
    const TOverwriteAnswer answer = AskOverwrite(destination, true);
    permitted = answer != oaNo;
    OverwriteAll = answer == oaAll;
  }
  if (SparseCopyFile(source, destination, permitted ? existing : std::nullopt, watch)) {
    ++CopiedCount;
    ConsoleWriteLine(source + std::string(texts::kCopiedArrow) + destination);
  } else {
    ConsoleWriteLine(source + std::string(texts::kSkipped));
  }
}

void TCopyCommand::CopyToFile(TCopyWatch& watch) {
  const TReplaceable existing = platform::IdentityOfFile(DestinationPath);
  const bool permitted = existing && AskOverwrite(DestinationPath, false) == oaYes;
  const std::string line = SourcePath + std::string(texts::kCopiedArrow) + DestinationPath;
  if (SparseCopyFile(SourcePath, DestinationPath, permitted ? existing : std::nullopt, watch)) {
    ++CopiedCount;
    ConsoleWriteLine(line);
  } else {
    ConsoleWriteLine(line + std::string(texts::kSkipped));
  }
}

void TCopyCommand::PrintCount() const {
  ConsoleWriteLine(std::string(texts::kCountIndent) + std::to_string(CopiedCount) +
                   std::string(texts::kCountSuffix));
}

}  // namespace

void RunCopyCommand(const std::string& sourceArgument, const std::string& destinationArgument,
                    TCopyWatch& watch) {
  TCopyCommand command;
  command.SourcePath = ResolvedOrRaise(GetAbsolutePath(sourceArgument), sourceArgument);
  command.DestinationPath =
      ResolvedOrRaise(GetAbsolutePath(destinationArgument), destinationArgument);
  command.DestinationFolder = WithTrailingDelimiter(command.DestinationPath);
  if (!IsNtfsDrive(command.DestinationFolder)) {
    ConsoleWriteLine(texts::kCopyNotNtfs);
    return;
  }
  if (FolderExists(command.DestinationFolder)) {
    command.CopyIntoFolder(watch);
  } else if (SamePath(command.SourcePath, command.DestinationPath)) {
    ConsoleWriteLine(command.SourcePath + std::string(texts::kSamePath) + command.DestinationPath);
  } else if (FileExists(command.SourcePath)) {
    command.CopyToFile(watch);
  }
  command.PrintCount();
}
