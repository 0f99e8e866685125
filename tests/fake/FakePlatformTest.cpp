// Checks of the fake platform itself, so that tests built on it can trust what it reports.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Platform.h"
#include "tests/fake/FakePlatform.h"

namespace {

using platform::FileHandle;
using platform::FoundEntry;
using platform::PathKind;
using platform::SearchHandle;

class FakePlatformTest : public ::testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }

  static FileHandle Create(const std::string& path) {
    platform::OpenResult opened = platform::CreateTruncated(path);
    EXPECT_TRUE(opened.handle.IsValid()) << path << " error " << opened.error;
    return opened.handle;
  }

  static FileHandle OpenToRead(const std::string& path) {
    platform::OpenResult opened = platform::OpenForReading(path);
    EXPECT_TRUE(opened.handle.IsValid()) << path << " error " << opened.error;
    return opened.handle;
  }

  static void Write(FileHandle handle, const std::string& bytes) {
    platform::IoResult written =
        platform::WriteBytes(handle, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    EXPECT_TRUE(written.ok);
    EXPECT_EQ(written.bytes, bytes.size());
  }

  static std::string Read(FileHandle handle, std::uint32_t size) {
    std::string buffer(size, '\0');
    platform::IoResult read = platform::ReadBytes(handle, &buffer[0], size);
    EXPECT_TRUE(read.ok) << "error " << read.error;
    buffer.resize(read.bytes);
    return buffer;
  }

  static std::vector<std::string> SearchAll(const std::string& pattern) {
    std::vector<std::string> names;
    FoundEntry entry;
    SearchHandle search = platform::FindFirstEntry(pattern, entry);
    if (!search.IsValid()) return names;
    do {
      names.push_back(entry.isFolder ? entry.name + "/" : entry.name);
    } while (platform::FindNextEntry(search, entry));
    platform::FindEnd(search);
    return names;
  }
};

TEST_F(FakePlatformTest, WriterAndReadersExcludeEachOther) {
  fake::AddFile("C:\\in.bin", "data");
  FileHandle reader = OpenToRead("C:\\in.bin");
  platform::OpenResult writer = platform::CreateTruncated("C:\\IN.BIN");
  EXPECT_FALSE(writer.handle.IsValid());
  EXPECT_EQ(writer.error, platform::kErrorSharingViolation);
  EXPECT_EQ(fake::FileBytes("C:\\in.bin"), "data");
  OpenToRead("C:\\in.bin");  // readers share with readers
  EXPECT_EQ(fake::OpenFileCount(), 2);

  FileHandle out = Create("C:\\out.bin");
  EXPECT_EQ(platform::OpenForReading("C:\\out.bin").error, platform::kErrorSharingViolation);
  EXPECT_EQ(platform::CreateTruncated("C:\\out.bin").error, platform::kErrorSharingViolation);
  platform::CloseFile(out);
  platform::CloseFile(reader);
  EXPECT_EQ(fake::OpenFileCount(), 1);
}

TEST_F(FakePlatformTest, OpenFailuresGiveWindowsCodes) {
  fake::AddFile("C:\\locked.bin", "x");
  fake::HoldOpenElsewhere("C:\\locked.bin");
  fake::AddFile("C:\\ro\\f.bin", "x");
  fake::RefuseWrites("C:\\ro");
  EXPECT_EQ(platform::OpenForReading("C:\\locked.bin").error, platform::kErrorSharingViolation);
  EXPECT_EQ(platform::CreateTruncated("C:\\locked.bin").error, platform::kErrorSharingViolation);
  EXPECT_EQ(platform::CreateTruncated("C:\\ro\\f.bin").error, platform::kErrorAccessDenied);
  EXPECT_EQ(platform::CreateTruncated("C:\\ro\\new.bin").error, platform::kErrorAccessDenied);
  EXPECT_EQ(platform::CreateTruncated("C:\\work").error, platform::kErrorAccessDenied);
  EXPECT_EQ(platform::CreateTruncated("C:\\nowhere\\f.bin").error, platform::kErrorPathNotFound);
  EXPECT_EQ(platform::OpenForReading("C:\\missing.bin").error, platform::kErrorFileNotFound);
  EXPECT_EQ(platform::OpenForReading("C:\\work").error, platform::kErrorAccessDenied);
  EXPECT_EQ(fake::FileBytes("C:\\locked.bin"), "x");
  EXPECT_FALSE(fake::Exists("C:\\ro\\new.bin"));
  EXPECT_EQ(fake::OpenFileCount(), 0);
}

TEST_F(FakePlatformTest, OnlyAFileOpenNowhereCanBeRemoved) {
  fake::AddFile("C:\\work\\a.bin", "a");
  fake::AddFile("C:\\work\\b.bin", "b");
  FileHandle reader = OpenToRead("C:\\work\\a.bin");
  EXPECT_FALSE(platform::RemoveFile("C:\\work\\a.bin"));
  platform::CloseFile(reader);
  EXPECT_TRUE(platform::RemoveFile("C:\\WORK\\A.BIN"));
  EXPECT_FALSE(platform::RemoveFile("C:\\work\\a.bin"));
  EXPECT_FALSE(platform::RemoveFile("C:\\work"));
  EXPECT_EQ(fake::EntriesOf("C:\\work"), (std::vector<std::string>{"b.bin"}));
  EXPECT_EQ(platform::KindOfPath("C:\\work\\a.bin"), PathKind::None);
}

TEST_F(FakePlatformTest, MovedOverRangesStayHoles) {
  FileHandle out = Create("C:\\work\\out.bin");
  Write(out, "AB");
  EXPECT_EQ(platform::MoveBy(out, 3).position, 5);
  Write(out, "CD");
  EXPECT_EQ(platform::MoveBy(out, 5).position, 12);
  EXPECT_EQ(platform::SetEndHere(out), platform::kErrorSuccess);
  EXPECT_EQ(platform::SizeOfFile(out), 12);
  EXPECT_EQ(fake::FileBytes("C:\\work\\out.bin"), std::string("AB\0\0\0CD\0\0\0\0\0", 12));
  EXPECT_EQ(fake::AllocatedBytes("C:\\work\\out.bin"), 4);
  EXPECT_EQ(fake::AllocatedRanges("C:\\work\\out.bin"),
            (std::vector<fake::ByteRange>{{0, 2}, {5, 7}}));
  platform::DataRange range = platform::NextDataRange(out, 3);
  EXPECT_TRUE(range.known);
  EXPECT_EQ(range.start, 5);
  EXPECT_EQ(range.end, 7);
  range = platform::NextDataRange(out, 7);
  EXPECT_EQ(range.start, 12);
  EXPECT_EQ(range.end, 12);

  platform::SeekResult negative = platform::MoveBy(out, -13);
  EXPECT_FALSE(negative.ok);
  EXPECT_EQ(negative.error, platform::kErrorNegativeSeek);
  EXPECT_EQ(platform::MoveTo(out, 6).position, 6);
  EXPECT_EQ(platform::SetEndHere(out), platform::kErrorSuccess);
  EXPECT_EQ(fake::AllocatedRanges("C:\\work\\out.bin"),
            (std::vector<fake::ByteRange>{{0, 2}, {5, 6}}));
  Write(out, std::string(2, '\0'));  // zeros written are allocated
  EXPECT_EQ(fake::AllocatedRanges("C:\\work\\out.bin"),
            (std::vector<fake::ByteRange>{{0, 2}, {5, 8}}));
  EXPECT_EQ(fake::CallTexts({"WriteBytes", "MoveBy"}),
            (std::vector<std::string>{"WriteBytes h=3 n=2", "MoveBy h=3 d=3", "WriteBytes h=3 n=2",
                                      "MoveBy h=3 d=5", "MoveBy h=3 d=-13", "WriteBytes h=3 n=2"}));
  platform::CloseFile(out);
}

TEST_F(FakePlatformTest, HugeFilesHoldOnlyTheirData) {
  const std::int64_t tebibyte = std::int64_t{1} << 40;
  FileHandle out = Create("C:\\big.bin");
  EXPECT_EQ(platform::MarkSparse(out), platform::kErrorSuccess);
  EXPECT_EQ(platform::MoveTo(out, tebibyte).position, tebibyte);
  EXPECT_EQ(platform::SetEndHere(out), platform::kErrorSuccess);
  platform::CloseFile(out);
  EXPECT_EQ(fake::FileLength("C:\\big.bin"), tebibyte);
  EXPECT_EQ(fake::AllocatedBytes("C:\\big.bin"), 0);
  EXPECT_TRUE(fake::IsMarkedSparse("C:\\big.bin"));
  EXPECT_THROW(fake::FileBytes("C:\\big.bin"), std::logic_error);

  fake::AddSparseFile("C:\\holes.bin", tebibyte, {{0, "A"}, {tebibyte - 2, "YZ"}});
  FileHandle in = OpenToRead("C:\\holes.bin");
  EXPECT_EQ(Read(in, 3), std::string("A\0\0", 3));
  EXPECT_EQ(platform::MoveTo(in, tebibyte - 3).position, tebibyte - 3);
  EXPECT_EQ(Read(in, 100), std::string("\0YZ", 3));
  EXPECT_EQ(Read(in, 100), "");
  platform::CloseFile(in);
}

TEST_F(FakePlatformTest, VolumesDecideUnitsDataRangesAndSparseness) {
  fake::AddVolume("D:\\", "FAT32", 512, false);
  FileHandle onD = Create("d:\\f.bin");
  EXPECT_EQ(platform::AllocationUnitOf(onD), 512u);
  EXPECT_FALSE(platform::NextDataRange(onD, 0).known);
  EXPECT_EQ(platform::MarkSparse(onD), 1u);
  FileHandle onC = Create("C:\\f.bin");
  EXPECT_EQ(platform::AllocationUnitOf(onC), 4096u);
  EXPECT_TRUE(platform::NextDataRange(onC, 0).known);
  platform::CloseFile(onD);
  platform::CloseFile(onC);
  std::string fileSystem;
  EXPECT_TRUE(platform::FileSystemNameOf("d:\\", fileSystem));
  EXPECT_EQ(fileSystem, "FAT32");
  EXPECT_FALSE(platform::FileSystemNameOf("E:\\", fileSystem));

  fake::SetSystemMessage(2, "File not found.\r\n");
  fake::SetSystemMessage(3, "");
  EXPECT_EQ(platform::SystemMessage(2), "File not found.\r\n");
  EXPECT_EQ(platform::SystemMessage(3), "");
  fake::SetDefaultSystemMessages(false);
  EXPECT_EQ(platform::SystemMessage(0), "");
}

TEST_F(FakePlatformTest, InjectedFailuresChangeNothing) {
  fake::AddFile("C:\\in.bin", "abcdef");
  fake::FailCall("WriteBytes", 2, platform::kErrorDiskFull);
  fake::ShortenCall("WriteBytes", 3, 1);
  fake::ShortenCall("ReadBytes", 1, 4);
  fake::FailCallsFrom("MoveBy", 2, 87);
  FileHandle out = Create("C:\\out.bin");
  Write(out, "AB");
  platform::IoResult failed = platform::WriteBytes(out, "CD", 2);
  EXPECT_FALSE(failed.ok);
  EXPECT_EQ(failed.error, platform::kErrorDiskFull);
  platform::IoResult shortWrite = platform::WriteBytes(out, "EF", 2);
  EXPECT_TRUE(shortWrite.ok);
  EXPECT_EQ(shortWrite.bytes, 1u);
  EXPECT_TRUE(platform::MoveBy(out, 1).ok);
  EXPECT_FALSE(platform::MoveBy(out, 1).ok);
  EXPECT_FALSE(platform::MoveBy(out, 1).ok);
  EXPECT_EQ(platform::SizeOfFile(out), 3);
  EXPECT_EQ(fake::FileBytes("C:\\out.bin"), "ABE");
  FileHandle in = OpenToRead("C:\\in.bin");
  EXPECT_EQ(Read(in, 100), "abcd");
  EXPECT_EQ(Read(in, 100), "ef");
  EXPECT_EQ(fake::UnfiredFailures(), 0);
  ASSERT_EQ(fake::Injections().size(), 5u);
  EXPECT_EQ(fake::Injections()[0].text, "WriteBytes h=3 n=2");
  EXPECT_EQ(fake::Injections()[0].code, platform::kErrorDiskFull);
  EXPECT_EQ(fake::Injections()[4].text, "ReadBytes h=4 n=100");
  EXPECT_EQ(fake::Injections()[4].shortBytes, 4u);
  platform::CloseFile(out);
  platform::CloseFile(in);
  EXPECT_THROW(fake::FailCall("CloseFile", 1, 5), std::logic_error);
  EXPECT_THROW(fake::ShortenCall("MoveBy", 1, 5), std::logic_error);
}

TEST_F(FakePlatformTest, AnySweepCanFailEachCallInTurn) {
  auto scenario = [] {
    const bool resolved = platform::FullPathOf("a.bin").ok;
    platform::IsLeadByte('a');  // cannot fail, not counted for the sweep
    const platform::OpenResult opened = platform::CreateTruncated("C:\\work\\a.bin");
    if (opened.handle.IsValid()) platform::CloseFile(opened.handle);
    return resolved && opened.handle.IsValid();
  };
  EXPECT_TRUE(scenario());
  const std::int64_t failable = fake::FailableCallCount();
  EXPECT_EQ(failable, 2);
  EXPECT_EQ(fake::CallCount(), 4);
  for (std::int64_t nth = 1; nth <= failable; ++nth) {
    fake::Reset();
    fake::FailAnyCall(nth, platform::kErrorAccessDenied);
    EXPECT_FALSE(scenario()) << nth;
    EXPECT_EQ(fake::UnfiredFailures(), 0);
    EXPECT_EQ(fake::OpenFileCount(), 0);
  }
  EXPECT_EQ(fake::KindsCalled(),
            (std::vector<std::string>{"FullPathOf", "IsLeadByte", "CreateTruncated"}));
  EXPECT_FALSE(fake::Exists("C:\\work\\a.bin"));
}

TEST_F(FakePlatformTest, MisusedHandlesAreRecorded) {
  FileHandle out = Create("C:\\out.bin");
  platform::CloseFile(out);
  platform::CloseFile(out);
  platform::CloseFile(platform::kInvalidHandle);
  platform::FindEnd(SearchHandle{});
  EXPECT_EQ(platform::WriteBytes(out, "x", 1).error, platform::kErrorInvalidHandle);
  EXPECT_EQ(fake::Misuses(),
            (std::vector<std::string>{
                "CloseFile h=3: already closed", "CloseFile h=-1: invalid handle",
                "FindEnd s=-1: invalid search", "WriteBytes h=3: handle not open"}));
}

}  // namespace
