// Tests of the Linux back end's own rules, on real files in a fresh folder under /tmp.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "platform/Platform.h"
#include "platform/posix/PosixInternal.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

// Closes the file at the end of a scope.
struct ScopedFile {
  explicit ScopedFile(OpenResult opened) : handle(opened.handle), error(opened.error) {}
  ~ScopedFile() { CloseFile(handle); }
  ScopedFile(const ScopedFile&) = delete;
  ScopedFile& operator=(const ScopedFile&) = delete;
  FileHandle handle;
  ErrorCode error;
};

// Runs `check` in a child process, so that what it does to the process stays there.
template <typename Check>
void ExpectInChild(Check check) {
  EXPECT_EXIT(std::_Exit(check() ? 0 : 1), ::testing::ExitedWithCode(0), "");
}

class PosixPlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char folderTemplate[] = "/tmp/posix_platform_test.XXXXXX";
    ASSERT_NE(mkdtemp(folderTemplate), nullptr);
    folder_ = folderTemplate;
    startFolder_ = fs::current_path();
  }
  void TearDown() override {
    fs::current_path(startFolder_);
    fs::remove_all(folder_);
  }

  std::string Path(const std::string& name) const { return folder_ + "/" + name; }

  void WriteFile(const std::string& name, const std::string& content) const {
    std::ofstream(Path(name), std::ios::binary) << content;
  }
  std::string ReadFile(const std::string& name) const {
    std::ostringstream content;
    content << std::ifstream(Path(name), std::ios::binary).rdbuf();
    return content.str();
  }

  std::string folder_;
  fs::path startFolder_;
};

// ---- Wildcards and the directory search ------------------------------------

TEST(WildcardTest, MatchesAsTheShellDoesByteForByte) {
  struct Case {
    const char* pattern;
    const char* name;
    bool matches;
  };
  const Case cases[] = {
      {"*", "a.txt", true},
      {"*", ".hidden", true},
      {"*.bin", ".bin", true},
      {"*.*", "a.b.c", true},
      {"*.*", ".", true},
      {"foo.*", "foo", false},
      {"foo.*", "foo.bar", true},
      {"foo.*", "foo.", true},
      {"foo.*", "foobar", false},
      {"?", "a", true},
      {"?", "ab", false},
      {"?", "", false},
      {"a?c", "abc", true},
      {"a?c", "ac", false},
      {"*.txt", "a.txt", true},
      {"*.txt", "a.TXT", false},
      {"Data.bin", "data.bin", false},
      {"[a]", "[a]", true},
      {"[a]", "a", false},
      {"a\\b", "a\\b", true},
      {"*a*b", "xaxxb", true},
      {"*a*b", "xaxxbc", false},
      {"a*", "a", true},
      {"**", "", true},
      {"noext", "noext", true},
      {"noext", "noext2", false},
      {"caf?", "café", false},  // '?' takes one byte, not one character
      {"caf??", "café", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(posix::MatchesWildcard(c.pattern, c.name), c.matches)
        << "pattern \"" << c.pattern << "\", name \"" << c.name << "\"";
  }
}

TEST(WildcardTest, DotsHaveNoRuleAndQuestionMarksAlwaysTakeAByte) {
  const char* const names[] = {"f.bin", "fa.bin", "noext", "trail.", ".hidden"};
  const std::pair<const char*, std::vector<bool>> matchesPerName[] = {
      {"*.*", {true, true, false, true, true}},
      {"*.", {false, false, false, true, false}},
      {"f?.bin", {false, true, false, false, false}},
  };
  for (const auto& [pattern, matches] : matchesPerName) {
    for (std::size_t i = 0; i < std::size(names); ++i) {
      EXPECT_EQ(posix::MatchesWildcard(pattern, names[i]), matches[i])
          << "pattern \"" << pattern << "\", name \"" << names[i] << "\"";
    }
  }
}

class SearchTest : public PosixPlatformTest {
 protected:
  void SetUp() override {
    PosixPlatformTest::SetUp();
    for (const char* name : {"a.txt", "b.bin", "noext", ".hidden"}) WriteFile(name, "x");
    fs::create_directory(Path("sub"));
    fs::create_directory_symlink(Path("sub"), Path("linkdir"));
  }

  // Every entry the search gives, with its folder flag; {"<none>"} when it gives none.
  std::map<std::string, bool> Found(const std::string& pattern) {
    FoundEntry entry;
    SearchHandle search = FindFirstEntry(pattern, entry);
    if (!search.IsValid()) return {{"<none>", false}};
    std::map<std::string, bool> found;
    do {
      found[entry.name] = entry.isFolder;
    } while (FindNextEntry(search, entry));
    EXPECT_FALSE(FindNextEntry(search, entry));
    FindEnd(search);
    return found;
  }
};

TEST_F(SearchTest, GivesEveryMatchingEntryWithItsFolderFlag) {
  const std::map<std::string, bool> everything = {
      {".", true},      {"..", true},       {"a.txt", false}, {"b.bin", false},
      {"noext", false}, {".hidden", false}, {"sub", true},    {"linkdir", true}};
  EXPECT_EQ(Found(Path("*")), everything);
  EXPECT_EQ(
      Found(Path("*.*")),
      (std::map<std::string, bool>{
          {".", true}, {"..", true}, {"a.txt", false}, {"b.bin", false}, {".hidden", false}}));
  EXPECT_EQ(Found(Path("*.txt")), (std::map<std::string, bool>{{"a.txt", false}}));
  EXPECT_EQ(Found(Path("noext")), (std::map<std::string, bool>{{"noext", false}}));
  EXPECT_EQ(Found(Path("NOEXT")), (std::map<std::string, bool>{{"<none>", false}}));
  EXPECT_EQ(Found(Path("nothing*")), (std::map<std::string, bool>{{"<none>", false}}));
  EXPECT_EQ(Found(Path("missing/*")), (std::map<std::string, bool>{{"<none>", false}}));
}

TEST_F(SearchTest, PatternWithoutFolderSearchesTheCurrentFolder) {
  fs::current_path(folder_);
  EXPECT_EQ(Found("*.bin"), (std::map<std::string, bool>{{"b.bin", false}}));
}

TEST_F(SearchTest, EndedSearchGivesNothingMore) {
  FoundEntry entry;
  SearchHandle search = FindFirstEntry(Path("*"), entry);
  ASSERT_TRUE(search.IsValid());
  FindEnd(search);
  EXPECT_FALSE(FindNextEntry(search, entry));
}

// ---- Paths -----------------------------------------------------------------

TEST_F(PosixPlatformTest, FullPathResolvesDotsByTheTextAlone) {
  fs::create_directories(Path("x/y"));
  fs::current_path(Path("x/y"));
  const std::string current = CurrentFolder().path;
  ASSERT_EQ(current, fs::canonical(Path("x/y")).string());
  const std::string parent = current.substr(0, current.rfind('/'));
  const std::string grandParent = parent.substr(0, parent.rfind('/'));
  std::string up64;
  for (int i = 0; i < 64; ++i) up64 += "../";

  const std::pair<std::string, std::string> cases[] = {
      {"f", current + "/f"},
      {".", current},
      {"./f", current + "/f"},
      {"..", parent},
      {"../..", grandParent},
      {"../z/./w/", parent + "/z/w/"},
      {"a//b", current + "/a/b"},
      {"a/", current + "/a/"},
      {"a/..", current},
      {up64 + "etc", "/etc"},
      {"/abs/../p", "/p"},
      {"/..", "/"},
      {"/", "/"},
      {"//a//b/", "/a/b/"},
      {"/a/./b/.", "/a/b"},
  };
  for (const auto& [path, expected] : cases) {
    const PathResult full = FullPathOf(path);
    EXPECT_TRUE(full.ok) << path;
    EXPECT_EQ(full.path, expected) << "path \"" << path << "\"";
  }
  EXPECT_FALSE(FullPathOf("").ok);
}

TEST_F(PosixPlatformTest, KindOfPathTakesFilesAndFoldersOnly) {
  WriteFile("file", "x");
  WriteFile("fi?e", "x");
  fs::create_directories(Path("folder"));
  fs::create_directories(Path("a*b"));
  WriteFile("a*b/f", "x");
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
  fs::create_symlink(Path("file"), Path("link-to-file"));
  fs::create_symlink(Path("folder"), Path("link-to-folder"));
  fs::create_symlink(Path("gone"), Path("dangling"));

  const std::pair<std::string, PathKind> cases[] = {
      {Path("file"), PathKind::File},
      {Path("folder"), PathKind::Folder},
      {Path("folder/"), PathKind::Folder},
      {Path("link-to-file"), PathKind::File},
      {Path("link-to-folder"), PathKind::Folder},
      {Path("fifo"), PathKind::None},
      {Path("missing"), PathKind::None},
      {Path("dangling"), PathKind::None},
      {Path("fi?e"), PathKind::None},  // wildcards name nothing, though the file exists
      {Path("fil*"), PathKind::None},
      {Path("a*b/f"), PathKind::File},  // only the last component is a pattern
      {"/dev/null", PathKind::None},
      {"", PathKind::None},
  };
  for (const auto& [path, kind] : cases) EXPECT_EQ(KindOfPath(path), kind) << path;
}

// ---- Volumes ---------------------------------------------------------------

TEST(VolumeTest, FileSystemsThatKeepHolesAnswerNtfs) {
  struct statfs tmp;
  ASSERT_EQ(statfs("/tmp", &tmp), 0);
  auto magic = static_cast<std::uint32_t>(tmp.f_type);
  if (magic != 0xEF53 && magic != 0x01021994 && magic != 0x794C7630) {
    GTEST_SKIP() << "/tmp is neither ext4, tmpfs nor overlayfs";
  }
  std::string name;
  ASSERT_TRUE(FileSystemNameOf("/tmp/does/not/exist/x", name));
  EXPECT_EQ(name, "NTFS");
  ASSERT_TRUE(FileSystemNameOf("/tmp/", name));
  EXPECT_EQ(name, "NTFS");
}

TEST(VolumeTest, OtherFileSystemsAnswerTheirOwnName) {
  std::string name;
  ASSERT_TRUE(FileSystemNameOf("/proc/self/status", name));
  EXPECT_EQ(name, "proc");
  EXPECT_EQ(posix::FileSystemNameForMagic(0x4D44), "vfat");
  EXPECT_EQ(posix::FileSystemNameForMagic(0x1234ABCD), "0x1234ABCD");
}

// ---- Exclusive opens -------------------------------------------------------

class ExclusiveOpenTest : public PosixPlatformTest {
 protected:
  void SetUp() override {
    PosixPlatformTest::SetUp();
    WriteFile("data.bin", "precious");
    fs::create_hard_link(Path("data.bin"), Path("hard.bin"));
    fs::create_symlink(Path("data.bin"), Path("soft.bin"));
    fs::create_directory(Path("sub"));
  }
  const char* const aliases_[4] = {"data.bin", "hard.bin", "soft.bin", "sub/../data.bin"};
};

TEST_F(ExclusiveOpenTest, SourceCannotBeTruncatedByAnyName) {
  for (const char* alias : aliases_) {
    ScopedFile source(OpenForReading(Path("data.bin")));
    ASSERT_TRUE(source.handle.IsValid());
    ScopedFile writer(CreateTruncated(Path(alias)));
    EXPECT_FALSE(writer.handle.IsValid()) << alias;
    EXPECT_EQ(writer.error, kErrorSharingViolation) << alias;
    EXPECT_EQ(ReadFile("data.bin"), "precious") << alias;
  }
}

TEST_F(ExclusiveOpenTest, FileOpenForWritingCannotBeOpenedAgain) {
  for (const char* alias : aliases_) {
    ScopedFile writer(CreateTruncated(Path("data.bin")));
    ASSERT_TRUE(writer.handle.IsValid());
    ScopedFile source(OpenForReading(Path(alias)));
    EXPECT_EQ(source.error, kErrorSharingViolation) << alias;
    ScopedFile secondWriter(CreateTruncated(Path(alias)));
    EXPECT_EQ(secondWriter.error, kErrorSharingViolation) << alias;
  }
}

TEST_F(ExclusiveOpenTest, ClosingEndsTheExclusion) {
  CloseFile(OpenForReading(Path("data.bin")).handle);
  ScopedFile writer(CreateTruncated(Path("hard.bin")));
  ASSERT_TRUE(writer.handle.IsValid());
  EXPECT_EQ(ReadFile("data.bin"), "");  // truncated once admitted
  CloseFile(writer.handle);
  writer.handle = kInvalidHandle;
  ScopedFile source(OpenForReading(Path("soft.bin")));
  EXPECT_TRUE(source.handle.IsValid());
}

TEST_F(ExclusiveOpenTest, SourcesShareWithEachOther) {
  ScopedFile first(OpenForReading(Path("data.bin")));
  ScopedFile second(OpenForReading(Path("hard.bin")));
  EXPECT_TRUE(first.handle.IsValid());
  EXPECT_TRUE(second.handle.IsValid());
}

TEST_F(ExclusiveOpenTest, OpenFileIsNotRemoved) {
  {
    ScopedFile source(OpenForReading(Path("data.bin")));
    EXPECT_FALSE(RemoveFile(Path("hard.bin")));
    EXPECT_TRUE(RemoveFile(Path("soft.bin")));  // the link itself, not the open file
  }
  EXPECT_TRUE(RemoveFile(Path("data.bin")));
  EXPECT_EQ(KindOfPath(Path("data.bin")), PathKind::None);
  EXPECT_FALSE(RemoveFile(Path("data.bin")));
  EXPECT_FALSE(RemoveFile(Path("sub")));
}

TEST_F(ExclusiveOpenTest, OnlyFilesAreOpenedAndFailuresGiveWin32Codes) {
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);  // would block an open without a peer
  struct Case {
    std::string path;
    ErrorCode reading;
    ErrorCode writing;
  };
  const Case cases[] = {
      {Path("new"), kErrorFileNotFound, kErrorSuccess},  // reading fails before writing creates it
      {Path("missing/x"), kErrorFileNotFound, kErrorFileNotFound},
      {Path("data.bin/x"), kErrorPathNotFound, kErrorPathNotFound},
      {Path("sub"), kErrorAccessDenied, kErrorAccessDenied},
      {Path("fifo"), kErrorAccessDenied, kErrorAccessDenied},
      {"/dev/null", kErrorAccessDenied, kErrorAccessDenied},
      {Path(std::string(300, 'n')), kErrorFilenameTooLong, kErrorFilenameTooLong},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ScopedFile(OpenForReading(c.path)).error, c.reading) << c.path;
    EXPECT_EQ(ScopedFile(CreateTruncated(c.path)).error, c.writing) << c.path;
  }
}

// ---- Error codes and texts --------------------------------------------------

TEST(ErrorTest, ErrnoMapsToTheNearestWin32CodeAndKeepsItsText) {
  EXPECT_EQ(posix::ErrorFromErrno(ENOENT), kErrorFileNotFound);
  EXPECT_EQ(SystemMessage(kErrorFileNotFound), std::strerror(ENOENT));
  EXPECT_EQ(posix::ErrorFromErrno(EPERM), kErrorAccessDenied);
  EXPECT_EQ(SystemMessage(kErrorAccessDenied), std::strerror(EPERM));
  EXPECT_EQ(posix::ErrorFromErrno(EACCES), kErrorAccessDenied);
  EXPECT_EQ(SystemMessage(kErrorAccessDenied), std::strerror(EACCES));
  EXPECT_EQ(posix::ErrorFromErrno(EPIPE), kErrorBrokenPipe);
  EXPECT_EQ(posix::ErrorFromErrno(ENOSPC), kErrorDiskFull);
  EXPECT_EQ(SystemMessage(kErrorHandleEof), "");  // no errno behind it
}

// ---- Reading, writing and lengths -----------------------------------------

TEST_F(PosixPlatformTest, PositionalTransfersAndTheLength) {
  {
    ScopedFile file(CreateTruncated(Path("out")));
    ASSERT_TRUE(file.handle.IsValid());
    EXPECT_EQ(MarkSparse(file.handle), kErrorSuccess);
    EXPECT_EQ(SetLength(file.handle, 10), kErrorSuccess);
    EXPECT_EQ(WriteAt(file.handle, 6, "d", 1).bytes, 1u);
    EXPECT_EQ(WriteAt(file.handle, 0, "abc", 3).bytes, 3u);
    EXPECT_EQ(SizeOfFile(file.handle), 10);
    EXPECT_EQ(ReadFile("out"), std::string("abc\0\0\0d\0\0\0", 10));
    EXPECT_EQ(SetLength(file.handle, 4), kErrorSuccess);
    EXPECT_GT(AllocationUnitOf(file.handle), 0u);
  }
  ScopedFile reader(OpenForReading(Path("out")));
  char buffer[16];
  IoResult middle = ReadAt(reader.handle, 1, buffer, sizeof buffer);
  EXPECT_TRUE(middle.ok);
  EXPECT_EQ(std::string(buffer, middle.bytes), std::string("bc\0", 3));
  IoResult end = ReadAt(reader.handle, 9, buffer, sizeof buffer);
  EXPECT_TRUE(end.ok);
  EXPECT_EQ(end.bytes, 0u);
  EXPECT_EQ(ReadAt(kInvalidHandle, 0, buffer, 1).error, kErrorInvalidHandle);
  EXPECT_EQ(MarkSparse(kInvalidHandle), kErrorInvalidHandle);
  EXPECT_EQ(SizeOfFile(kInvalidHandle), -1);
  EXPECT_EQ(AllocationUnitOf(kInvalidHandle), 0u);
  EXPECT_GE(ProcessorCount(), 1u);
}

TEST_F(PosixPlatformTest, DataRangesSkipHoles) {
  std::string fileSystem;
  ASSERT_TRUE(FileSystemNameOf(folder_, fileSystem));
  if (fileSystem != "NTFS") GTEST_SKIP() << "this volume keeps no holes";
  const std::int64_t mib = 1 << 20;
  std::uint32_t unit = 0;
  {
    ScopedFile writer(CreateTruncated(Path("sparse")));
    unit = AllocationUnitOf(writer.handle);
    ASSERT_TRUE(unit > 0 && unit <= mib / 2);
    const std::string data(unit, 'x');
    WriteAt(writer.handle, 0, data.data(), unit);
    WriteAt(writer.handle, mib, data.data(), unit);
    ASSERT_EQ(SetLength(writer.handle, 2 * mib), kErrorSuccess);
  }
  ScopedFile source(OpenForReading(Path("sparse")));
  struct Case {
    std::int64_t offset, start, end;
  };
  const Case cases[] = {
      {0, 0, unit},
      {100, 100, unit},
      {unit, mib, mib + unit},
      {mib + unit, 2 * mib, 2 * mib},  // only the trailing hole follows
      {3 * mib, 2 * mib, 2 * mib},
  };
  for (const Case& c : cases) {
    DataRange range = NextDataRange(source.handle, c.offset);
    EXPECT_TRUE(range.known) << c.offset;
    EXPECT_EQ(range.start, c.start) << c.offset;
    EXPECT_EQ(range.end, c.end) << c.offset;
  }
}

// ---- Console channels and the process --------------------------------------

TEST(ConsoleTest, FileTypesFollowWhatTheDescriptorIs) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  EXPECT_EQ(TypeOfFile(FileHandle{ends[0]}), FileType::Pipe);
  close(ends[0]);
  close(ends[1]);
  EXPECT_EQ(TypeOfFile(FileHandle{ends[0]}), FileType::Unknown);  // closed
  EXPECT_EQ(TypeOfFile(kInvalidHandle), FileType::Unknown);
  int null = open("/dev/null", O_RDONLY);
  EXPECT_EQ(TypeOfFile(FileHandle{null}), FileType::Disk);  // only a terminal is a console
  close(null);
  int tmp = open("/tmp", O_RDONLY | O_DIRECTORY);
  EXPECT_EQ(TypeOfFile(FileHandle{tmp}), FileType::Disk);
  close(tmp);
}

TEST(ProcessTest, ClosedStandardOutputIsNoHandleAndStaysOccupied) {
  ExpectInChild([] {
    close(STDOUT_FILENO);
    char program[] = "dravik";
    char* argv[] = {program, nullptr};
    Startup(1, argv);
    int later = open("/tmp", O_RDONLY);
    return !StdHandle(StdStream::Output).IsValid() && StdHandle(StdStream::Error).IsValid() &&
           fcntl(STDOUT_FILENO, F_GETFD) != -1 && later != STDOUT_FILENO;
  });
}

TEST(ProcessTest, WritingToAPipeWithoutReaderIsAnError) {
  ExpectInChild([] {
    Startup(0, nullptr);
    int ends[2];
    if (pipe(ends) != 0) return false;
    close(ends[0]);
    IoResult result = WriteBytes(FileHandle{ends[1]}, "x", 1);
    return !result.ok && result.error == kErrorBrokenPipe;
  });
}

TEST(ProcessTest, CommandLineIsArgvWithoutEmptyWords) {
  ExpectInChild([] {
    char program[] = "dravik", first[] = "a b", empty[] = "", last[] = "/c";
    char* argv[] = {program, first, empty, last, nullptr};
    Startup(4, argv);
    CommandLineSource source = ProcessCommandLine();
    return !source.isRaw && source.words == std::vector<std::string>{"a b", "/c"};
  });
}

TEST(ProcessTest, ProgramAndModulesAreNamedByTheirFiles) {
  std::string program = ProgramPath();
  struct stat named, running;
  ASSERT_EQ(stat(program.c_str(), &named), 0);
  ASSERT_EQ(stat("/proc/self/exe", &running), 0);
  EXPECT_EQ(named.st_ino, running.st_ino);

  std::string path;
  std::uintptr_t base = 0;
  auto here = reinterpret_cast<std::uintptr_t>(&ProgramPath);
  ASSERT_TRUE(ModuleOfAddress(here, path, base));
  EXPECT_EQ(path, program);
  EXPECT_LE(base, here);
  void* libc = dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
  ASSERT_NE(libc, nullptr);
  auto inLibc = reinterpret_cast<std::uintptr_t>(dlsym(libc, "getpid"));
  dlclose(libc);
  ASSERT_TRUE(ModuleOfAddress(inLibc, path, base));
  EXPECT_EQ(path.front(), '/');
  EXPECT_NE(path.find("/libc.so"), std::string::npos) << path;
  EXPECT_FALSE(ModuleOfAddress(0, path, base));
}

// ---- Processor faults ------------------------------------------------------

// Reports the fault on standard error the way the failure report would, then ends.
void ReportFault(const char* className, const char* message, std::uintptr_t address) {
  std::string module;
  std::uintptr_t base = 0;
  bool inProgram = ModuleOfAddress(address, module, base) && module == ProgramPath();
  std::string report = std::string(className) + ": " + message + (inProgram ? " [program]" : "");
  if (write(STDERR_FILENO, report.data(), report.size()) < 0) _exit(4);
  _exit(3);
}

int Recurse(int depth) {
  volatile char pad[1024];
  pad[0] = static_cast<char>(depth);
  return depth > 0 ? Recurse(depth - 1) + pad[0] : 0;
}

TEST(FaultTest, SignalsBecomeNamedFaults) {
  const std::pair<int, const char*> cases[] = {
      {SIGSEGV, "EAccessViolation: アクセス違反"},
      {SIGBUS, "EAccessViolation"},
      {SIGILL, "EExternalException"},
  };
  for (const auto& [signalNumber, expected] : cases) {
    EXPECT_EXIT((InstallFaultHandler(ReportFault), raise(signalNumber)),
                ::testing::ExitedWithCode(3), expected);
  }
}

TEST(FaultTest, FaultInProgramCodeIsReportedAtItsInstruction) {
  EXPECT_EXIT((InstallFaultHandler(ReportFault), __builtin_trap()), ::testing::ExitedWithCode(3),
              "EExternalException: 不正な命令 \\[program\\]");
}

TEST(FaultTest, StackOverflowIsReportedFromTheFaultStack) {
  volatile int depth = 1 << 30;
  EXPECT_EXIT((InstallFaultHandler(ReportFault), Recurse(depth)), ::testing::ExitedWithCode(3),
              "EAccessViolation");
}

#if defined(__x86_64__)
TEST(FaultTest, IntegerDivisionByZeroIsDivByZero) {
  auto divideByZero = [] {
    unsigned high = 0, low = 1, divisor = 0;
    asm volatile("divl %2" : "+a"(low), "+d"(high) : "r"(divisor));
  };
  EXPECT_EXIT((InstallFaultHandler(ReportFault), divideByZero()), ::testing::ExitedWithCode(3),
              "EDivByZero");
}
#endif

}  // namespace
}  // namespace platform
