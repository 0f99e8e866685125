// Absolute paths, the trailing delimiter and the volume test.
#include <string>

#include "SparseUtils/Paths.h"
#include "tests/unit/TestSupport.h"

namespace {

TEST_F(FakeTest, PathsWithADrivePartComeBackUnchanged) {
  for (const char* path :
       {"C:\\a\\..\\b", "C:data", "c:\\x\\\\y", "\\\\server\\share\\f", "\\\\server", "D:"}) {
    EXPECT_EQ(GetAbsolutePath(path).path, path);
  }
}

TEST_F(FakeTest, OtherPathsAreResolvedAgainstTheCurrentFolder) {
  fake::SetCurrentFolder("C:\\work\\sub");
  EXPECT_EQ(GetAbsolutePath("a\\..\\b").path, "C:\\work\\sub\\b");
  EXPECT_EQ(GetAbsolutePath("..\\x").path, "C:\\work\\x");
  EXPECT_EQ(GetAbsolutePath("data.bin").path, "C:\\work\\sub\\data.bin");
  EXPECT_EQ(GetAbsolutePath("\\other\\.\\x").path, "C:\\other\\x");  // on the drive's root
  EXPECT_EQ(GetAbsolutePath("/x").path, "C:\\x");
  fake::SetCurrentFolder("\\\\server\\share\\dir");
  EXPECT_EQ(GetAbsolutePath("\\x").path, "\\\\server\\share\\x");  // on the share's root
  fake::SetCurrentFolder("C:\\");
  EXPECT_EQ(GetAbsolutePath("x").path, "C:\\x");  // no second backslash after the root
}

TEST_F(FakeTest, ACurrentFolderEndingInTrailByte5CStillGetsADelimiter) {
  fake::SetCurrentFolder("C:\\\x95\x5C");  // 表
  EXPECT_EQ(GetAbsolutePath("x").path, "C:\\\x95\x5C\\x");
  EXPECT_EQ(WithTrailingDelimiter("C:\\\x95\x5C"), "C:\\\x95\x5C\\");
  EXPECT_EQ(WithTrailingDelimiter("C:\\\x95\x5C\\"), "C:\\\x95\x5C\\");
  EXPECT_EQ(WithTrailingDelimiter(""), "\\");
}

TEST_F(FakeTest, AnUnresolvablePathGivesTheSystemsReasonAndNoPath) {
  fake::FailCall("FullPathOf", 1, platform::kErrorFilenameTooLong);
  fake::FailCall("FullPathOf", 2, platform::kErrorFilenameTooLong);
  const platform::PathResult tooLong = GetAbsolutePath("x");
  const platform::PathResult driveRelative = ResolveDriveRelative("C:x");
  fake::SetCurrentFolderUnknown();
  const platform::PathResult gone = GetAbsolutePath("x");
  for (const platform::PathResult& result : {tooLong, driveRelative, gone}) {
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.path, "");
  }
  EXPECT_EQ(tooLong.error, platform::kErrorFilenameTooLong);
  EXPECT_EQ(driveRelative.error, platform::kErrorFilenameTooLong);
  EXPECT_EQ(gone.error, platform::kErrorFileNotFound);
}

TEST_F(FakeTest, DrivePartRules) {
  const std::pair<const char*, const char*> cases[] = {
      {"C:\\data", "C:"},
      {"?:", "?:"},  // the first byte is not examined
      {"\\\\server\\share\\dir\\file", "\\\\server\\share"},
      {"\\\\server\\share\\", "\\\\server\\share"},
      {"\\\\server\\share", "\\\\server\\share"},
      {"\\\\server\\", "\\\\server"},
      {"\\\\server", "\\\\server"},
      {"\\rooted", ""},
      {"relative", ""},
      {"C", ""}};
  for (const auto& [path, drive] : cases) EXPECT_EQ(DrivePart(path), drive) << path;
}

TEST_F(FakeTest, VolumeTestAsksTheDrivesRootForNtfs) {
  fake::AddVolume("D:\\", "FAT32");
  fake::AddVolume("E:\\", "ntfs");
  fake::AddVolume("\\\\server\\share\\", "NTFS");
  fake::AddVolume("F:\\", "NTFSX");
  EXPECT_TRUE(IsNtfsDrive("C:\\work\\x"));
  EXPECT_TRUE(IsNtfsDrive("E:"));
  EXPECT_FALSE(IsNtfsDrive("D:\\x"));
  EXPECT_FALSE(IsNtfsDrive("F:\\x"));
  EXPECT_FALSE(IsNtfsDrive("G:\\no\\volume"));
  fake::ClearCalls();
  EXPECT_TRUE(IsNtfsDrive("\\\\server\\share\\f"));
  EXPECT_EQ(fake::CallTexts({"FileSystemNameOf"}),
            std::vector<std::string>{"FileSystemNameOf \\\\server\\share\\"});
}

TEST_F(FakeTest, PosixPathsUseSlashAndCompareBytes) {
  fake::ResetForPosix();
  fake::SetCurrentFolder("/work/sub");
  EXPECT_EQ(GetAbsolutePath("/abs/./x").path, "/abs/./x");
  EXPECT_EQ(GetAbsolutePath("../a/./b").path, "/work/a/b");
  EXPECT_EQ(WithTrailingDelimiter("/work"), "/work/");
  EXPECT_EQ(FolderPart("/work/*.img"), "/work/");
  EXPECT_EQ(NamePart("/work/a\\b:c"), "a\\b:c");
  EXPECT_FALSE(SamePath("/work/Data.bin", "/work/data.bin"));
  EXPECT_TRUE(SamePath("/work/data.bin", "/work/data.bin"));
  fake::AddVolume("/mnt/usb/", "vfat");
  EXPECT_TRUE(IsNtfsDrive("/work/new/"));
  EXPECT_FALSE(IsNtfsDrive("/mnt/usb/x/"));
}

TEST_F(FakeTest, WindowsPathsCompareIgnoringTheCaseOfAsciiLetters) {
  EXPECT_TRUE(SamePath("C:\\Work\\DATA.bin", "c:\\work\\data.BIN"));
  EXPECT_FALSE(SamePath("C:\\work\\a", "C:\\work\\a "));
  EXPECT_FALSE(SamePath("C:\\\x82\x60", "C:\\\x82\x81"));  // full-width letters are not folded
}

}  // namespace
