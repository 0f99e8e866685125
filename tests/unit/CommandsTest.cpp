// The create and copy commands: every line they print, on the fake machine.
#include <string>

#include "tests/unit/TestSupport.h"

namespace {

const char kCount0[] = "         0 個のファイルをコピーしました。\r\n";
const char kCount1[] = "         1 個のファイルをコピーしました。\r\n";

class CommandTest : public FakeTest {
 protected:
  int Run(const std::string& commandLine, const std::string& stdin = "") {
    fake::SetStdin(stdin);
    return RunCommandLine("Dravik " + commandLine);
  }
  std::string Out() const { return fake::StdoutText(); }
};

// ---- Create ----------------------------------------------------------------------------

TEST_F(CommandTest, CreateReportsTheSizeInGroupsOfThree) {
  const std::tuple<const char*, const char*, const char*> cases[] = {
      {"999", ",", "999"},           {"1000", ",", "1,000"},
      {"10K", ",", "10,240"},        {"10G", ",", "10,737,418,240"},
      {"1234567", ".", "1.234.567"}, {"1234567", "", "1234567"}};
  for (const auto& [size, separator, shown] : cases) {
    fake::Reset();
    ConsoleClose();
    fake::SetThousandsSeparator(separator);
    EXPECT_EQ(Run(std::string("/c new.bin ") + size), 0);
    EXPECT_EQ(Out(),
              std::string("C:\\work\\new.bin (") + shown + " bytes) ファイルを作成しました。\r\n");
  }
}

TEST_F(CommandTest, CreateAsksBeforeReplacingAFile) {
  fake::AddFile("C:\\work\\f.bin", "old");
  EXPECT_EQ(Run("/c f.bin 1", "all\r\nno\r\n"), 0);
  EXPECT_EQ(Out(),
            "C:\\work\\f.bin を上書きしますか？(Yes/No)C:\\work\\f.bin を上書きしますか？(Yes/No)"
            "C:\\work\\f.bin ファイルが作成されませんでした。\r\n");
  EXPECT_EQ(fake::FileBytes("C:\\work\\f.bin"), "old");
}

TEST_F(CommandTest, CreateOfAFolderOrOnAnotherFileSystemCreatesNothing) {
  fake::AddFolder("C:\\work\\dir");
  EXPECT_EQ(Run("/c dir 1"), 0);
  EXPECT_EQ(Out(), "C:\\work\\dir ファイルが作成されませんでした。\r\n");
  fake::Reset();
  ConsoleClose();
  fake::AddVolume("D:\\", "FAT32");
  EXPECT_EQ(Run("/c D:\\x 1"), 0);
  EXPECT_EQ(Run("/c Q:\\x 1"), 0);
  EXPECT_EQ(Out(),
            "作成先ドライブがNTFSではありません.\r\n作成先ドライブがNTFSではありません.\r\n");
  EXPECT_EQ(fake::CountCalls("CreateTruncated"), 0);
}

TEST_F(CommandTest, CreateOnAnUnresolvablePathNamesItAsTyped) {
  fake::FailCall("FullPathOf", 1, platform::kErrorFilenameTooLong);
  EXPECT_EQ(Run("/c wl\\c.bin 1K"), 0);
  fake::SetCurrentFolderUnknown();
  EXPECT_EQ(Run("/c x.bin 5"), 0);
  EXPECT_EQ(Out(),
            "wl\\c.bin ファイルが作成されませんでした。\r\n"
            "x.bin ファイルが作成されませんでした。\r\n");
  EXPECT_EQ(fake::CountCalls("CreateTruncated"), 0);
}

// ---- Copy: single file -----------------------------------------------------------------

TEST_F(CommandTest, CopyToANewFile) {
  fake::AddFile("C:\\work\\a.bin", "data");
  EXPECT_EQ(Run("a.bin b.bin"), 0);
  EXPECT_EQ(Out(), std::string("C:\\work\\a.bin > C:\\work\\b.bin\r\n") + kCount1);
  EXPECT_EQ(fake::FileBytes("C:\\work\\b.bin"), "data");
}

TEST_F(CommandTest, CopyOverAnExistingFileAsksYesNo) {
  fake::AddFile("C:\\work\\a.bin", "data");
  fake::AddFile("C:\\work\\b.bin", "old");
  EXPECT_EQ(Run("a.bin b.bin", "a\r\nn\r\n"), 0);
  EXPECT_EQ(Out(), std::string("C:\\work\\b.bin を上書きしますか？(Yes/No)"
                               "C:\\work\\b.bin を上書きしますか？(Yes/No)"
                               "C:\\work\\a.bin > C:\\work\\b.bin ... skip\r\n") +
                       kCount0);
  EXPECT_EQ(fake::FileBytes("C:\\work\\b.bin"), "old");
}

TEST_F(CommandTest, SamePathIsTestedBeforeTheSourceExists) {
  EXPECT_EQ(Run("Gone.bin c:\\WORK\\gone.BIN"), 0);
  EXPECT_EQ(Out(), std::string("C:\\work\\Gone.bin == c:\\WORK\\gone.BIN\r\n") + kCount0);
}

TEST_F(CommandTest, MissingSourceOrPatternWithoutFolderPrintsOnlyTheCount) {
  fake::AddFile("C:\\work\\a.bin", "data");
  EXPECT_EQ(Run("missing.bin b.bin"), 0);
  EXPECT_EQ(Run("*.bin b.bin"), 0);
  EXPECT_EQ(Out(), std::string(kCount0) + kCount0);
}

TEST_F(CommandTest, CopyToAnotherFileSystemPrintsOnlyThatLine) {
  fake::AddVolume("D:\\", "exFAT");
  EXPECT_EQ(Run("missing.bin D:\\x"), 0);
  EXPECT_EQ(Out(), "コピー先ドライブがNTFSではありません.\r\n");
}

// ---- Copy: into a folder ---------------------------------------------------------------

class FolderCopyTest : public CommandTest {
 protected:
  void SetUp() override {
    CommandTest::SetUp();
    fake::AddFolder("C:\\src\\sub.img");
    fake::AddFile("C:\\src\\one.img", "1");
    fake::AddFile("C:\\src\\two.img", "2", fake::kHidden | fake::kSystem);
    fake::AddFile("C:\\src\\three.img", "3", fake::kReadOnly);
    fake::AddFile("C:\\src\\four.img", "4");
    fake::AddFile("C:\\src\\other.txt", "t");
    fake::AddFolder("C:\\dst");
  }
};

TEST_F(FolderCopyTest, AnswersNoThenAllStopTheQuestions) {
  for (const char* name : {"one.img", "two.img", "three.img"})
    fake::AddFile(std::string("C:\\dst\\") + name, "old");
  EXPECT_EQ(Run("C:\\src\\*.img C:\\dst", "n\r\na\r\n"), 0);
  EXPECT_EQ(Out(),
            "C:\\dst\\one.img を上書きしますか？(Yes/No/All)C:\\src\\one.img ... skip\r\n"
            "C:\\dst\\two.img を上書きしますか？(Yes/No/All)C:\\src\\two.img > C:\\dst\\two.img\r\n"
            "C:\\src\\three.img > C:\\dst\\three.img\r\n"
            "C:\\src\\four.img > C:\\dst\\four.img\r\n"
            "         3 個のファイルをコピーしました。\r\n");
  EXPECT_EQ(fake::FileBytes("C:\\dst\\one.img"), "old");
  EXPECT_EQ(fake::FileBytes("C:\\dst\\three.img"), "3");
  EXPECT_FALSE(fake::Exists("C:\\dst\\sub.img"));
  EXPECT_EQ(fake::OpenSearchCount(), 0);
}

TEST_F(FolderCopyTest, EndOfInputSkipsEveryExistingDestination) {
  fake::AddFile("C:\\dst\\one.img", "old");
  fake::AddFile("C:\\dst\\four.img", "old");
  EXPECT_EQ(Run("C:\\src\\*.img C:\\dst\\"), 0);
  EXPECT_EQ(Out(),
            "C:\\dst\\one.img を上書きしますか？(Yes/No/All)\r\nC:\\src\\one.img ... skip\r\n"
            "C:\\src\\two.img > C:\\dst\\two.img\r\n"
            "C:\\src\\three.img > C:\\dst\\three.img\r\n"
            "C:\\dst\\four.img を上書きしますか？(Yes/No/All)\r\nC:\\src\\four.img ... skip\r\n"
            "         2 個のファイルをコピーしました。\r\n");
}

TEST_F(FolderCopyTest, PlainFileNameIntoAFolder) {
  fake::SetCurrentFolder("C:\\src");
  EXPECT_EQ(Run("other.txt C:\\dst"), 0);
  EXPECT_EQ(Out(), std::string("C:\\src\\other.txt > C:\\dst\\other.txt\r\n") + kCount1);
}

TEST_F(FolderCopyTest, SourceFolderAsDestinationAsksAndLeavesEveryFile) {
  EXPECT_EQ(Run("C:\\src\\*.txt C:\\src", "y\r\n"), 0);
  EXPECT_EQ(Out(), std::string("C:\\src\\other.txt を上書きしますか？(Yes/No/All)"
                               "C:\\src\\other.txt ... skip\r\n") +
                       kCount0);
  EXPECT_EQ(fake::FileBytes("C:\\src\\other.txt"), "t");
}

TEST_F(FolderCopyTest, PatternMatchingOnlyFoldersOrNothing) {
  EXPECT_EQ(Run("C:\\src\\sub* C:\\dst"), 0);
  EXPECT_EQ(Run("C:\\src\\*.none C:\\dst"), 0);
  EXPECT_EQ(Run("C:\\src C:\\dst"), 0);
  EXPECT_EQ(Out(), std::string(kCount0) + kCount0 + kCount0);
}

TEST_F(FolderCopyTest, DriveRelativePatternCopiesFromTheFolderItLists) {
  fake::SetCurrentFolder("C:\\src");
  EXPECT_EQ(Run("C:*.txt C:\\dst"), 0);
  EXPECT_EQ(Out(), std::string("C:\\src\\other.txt > C:\\dst\\other.txt\r\n") + kCount1);
}

TEST_F(FolderCopyTest, ALockedSourceEndsTheWalkWithAReport) {
  fake::HoldOpenElsewhere("C:\\src\\two.img");
  EXPECT_EQ(Run("C:\\src\\*.img C:\\dst"), 1);
  EXPECT_EQ(Out(), "C:\\src\\one.img > C:\\dst\\one.img\r\n");
  EXPECT_EQ(MaskAddress(fake::StderrText()),
            "EFOpenError がモジュール Dravik.exe の XXXXXXXX で発生しました。\n"
            "ファイル C:\\src\\two.img は開けません。 System error 32 .\r\n");
  EXPECT_FALSE(fake::Exists("C:\\dst\\two.img"));
  EXPECT_EQ(fake::OpenSearchCount(), 0);
  EXPECT_EQ(fake::OpenFileCount(), 0);
}

TEST_F(CommandTest, AnUnresolvablePathEndsTheCopyWithItsOpenError) {
  struct Case {
    const char* commandLine;
    std::int64_t failingFullPath;  // 0: the current folder is gone
    const char* reported;
    const char* reason;
  };
  const Case cases[] = {
      {"a.bin wl\\copy.bin", 2, "wl\\copy.bin", "System error 206"},
      {"a.bin wl", 2, "wl", "System error 206"},
      {"wl\\a.bin C:\\dst", 1, "wl\\a.bin", "System error 206"},
      {"C:*.bin C:\\dst", 1, "C:*.bin", "System error 206"},
      {"a.bin copy.bin", 0, "a.bin", "System error 2"},
      {"C:\\work\\a.bin copy.bin", 0, "copy.bin", "System error 2"},
  };
  for (const Case& c : cases) {
    fake::Reset();
    ConsoleClose();
    fake::AddFile("C:\\work\\a.bin", "data");
    fake::AddFile("C:\\a.bin", "at the root");
    fake::AddFolder("C:\\dst");
    if (c.failingFullPath > 0) {
      fake::FailCall("FullPathOf", c.failingFullPath, platform::kErrorFilenameTooLong);
    } else {
      fake::SetCurrentFolderUnknown();
    }
    EXPECT_EQ(Run(c.commandLine), 1) << c.commandLine;
    EXPECT_EQ(Out(), "") << c.commandLine;
    EXPECT_EQ(MaskAddress(fake::StderrText()),
              std::string("EFOpenError がモジュール Dravik.exe の XXXXXXXX で発生しました。\n"
                          "ファイル ") +
                  c.reported + " は開けません。 " + c.reason + " .\r\n")
        << c.commandLine;
    EXPECT_EQ(fake::CountCalls("CreateTruncated"), 0) << c.commandLine;
    EXPECT_EQ(fake::FileBytes("C:\\a.bin"), "at the root");
  }
}

TEST_F(CommandTest, PosixCopyTellsNamesApartByCase) {
  fake::ResetForPosix();
  fake::AddFile("/work/Data.bin", "upper");
  EXPECT_EQ(Run("Data.bin data.bin"), 0);
  EXPECT_EQ(Out(), std::string("/work/Data.bin > /work/data.bin\r\n") + kCount1);
}

}  // namespace
