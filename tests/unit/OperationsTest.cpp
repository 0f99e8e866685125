// Sparse copy and sparse create on the fake platform.
#include <string>
#include <vector>

#include "SparseUtils/SparseOperations.h"
#include "tests/unit/Recorders.h"
#include "tests/unit/TestSupport.h"

namespace {

using Counts = std::vector<std::int32_t>;

// A recording writer that leaves its log behind when the copy destroys it.
struct LoggingWriter : RecordingWriter {
  using RecordingWriter::RecordingWriter;
  ~LoggingWriter() { last = File().log; }
  static inline Log last;
};

Counts CopyAndCountReads(const std::string& content) {
  fake::AddFile("C:\\work\\src", content);
  RecordingSource::reads.clear();
  EXPECT_TRUE(
      (SparseCopyFileWith<RecordingSource, TSparseFile>("C:\\work\\src", "C:\\work\\dst", true)));
  EXPECT_EQ(fake::FileBytes("C:\\work\\dst"), content);
  return RecordingSource::reads;
}

TEST_F(FakeTest, CopyReadsFullBlocksUntilAShortOne) {
  EXPECT_EQ(CopyAndCountReads(""), Counts{0});
  EXPECT_EQ(CopyAndCountReads(std::string(2049, 'a')), (Counts{2049, 0}));
  EXPECT_EQ(CopyAndCountReads(std::string(2050, 'a')), (Counts{2049, 1}));
}

TEST_F(FakeTest, SystemReadsThatReturnShortAreReadAgain) {
  for (std::uint32_t bytes : {1u, 100u, 2048u}) {
    fake::ShortenCall("ReadBytes", 1, bytes);
    EXPECT_EQ(CopyAndCountReads(std::string(3000, 'b')), (Counts{2049, 951}));
  }
}

TEST_F(FakeTest, ZeroSourceIsCopiedWithoutWritingAnything) {
  EXPECT_EQ(CopyAndCountReads(std::string(4098, '\0')), (Counts{2049, 2049, 0}));
  EXPECT_EQ(fake::CountCalls("WriteBytes"), 0);
  EXPECT_EQ(fake::FileLength("C:\\work\\dst"), 4098);
  EXPECT_EQ(fake::AllocatedBytes("C:\\work\\dst"), 0);
  // At the writer's file operations: one move per block, no write.
  EXPECT_TRUE(
      (SparseCopyFileWith<TSourceStream, RecordingWriter>("C:\\work\\src", "C:\\work\\x", false)));
}

TEST_F(FakeTest, EachBlockGoesToTheWriterAsItsRuns) {
  fake::AddFile("C:\\work\\src", std::string(4098, '\0') + "ab" + std::string(3, '\0'));
  EXPECT_TRUE(
      (SparseCopyFileWith<TSourceStream, LoggingWriter>("C:\\work\\src", "C:\\work\\x", false)));
  EXPECT_EQ(LoggingWriter::last, (Log{"open C:\\work\\x", "sparse", "move 2049", "move 2049",
                                      "write 2", "move 3", "close"}));
}

TEST_F(FakeTest, HolesOfTheSourceAreNotRead) {
  const std::int64_t length = std::int64_t{3} << 30;
  fake::AddSparseFile("C:\\work\\src", length, {{0, "head"}, {length - 4, "tail"}});
  EXPECT_TRUE(SparseCopyFile("C:\\work\\src", "C:\\work\\dst", false));
  EXPECT_EQ(fake::FileLength("C:\\work\\dst"), length);
  EXPECT_EQ(fake::FileBytesAt("C:\\work\\dst", 0, 8), std::string("head\0\0\0\0", 8));
  EXPECT_EQ(fake::FileBytesAt("C:\\work\\dst", length - 8, 8), std::string("\0\0\0\0tail", 8));
  EXPECT_EQ(AllocatedUnits("C:\\work\\dst"), (std::set<std::int64_t>{0, length / 4096 - 1}));
  EXPECT_LE(fake::CountCalls("ReadBytes"), 4);  // the data at both ends and the end of the file
}

TEST_F(FakeTest, SourcesOnVolumesThatHideTheirHolesAreReadWhole) {
  fake::AddVolume("C:\\", "NTFS", 4096, false);
  const std::string content = "x" + std::string(3 << 20, '\0') + "y";
  fake::AddSparseFile("C:\\work\\src", static_cast<std::int64_t>(content.size()),
                      {{0, "x"}, {static_cast<std::int64_t>(content.size()) - 1, "y"}});
  EXPECT_TRUE(SparseCopyFile("C:\\work\\src", "C:\\work\\dst", false));
  EXPECT_EQ(fake::FileBytes("C:\\work\\dst"), content);
  EXPECT_EQ(AllocatedUnits("C:\\work\\dst"), UnitsHoldingData(content));
}

TEST_F(FakeTest, CopyKeepsTrailingZerosAndTruncatesALongerDestination) {
  const std::string content = "data" + std::string(3000, '\0') + "x" + std::string(7, '\0');
  fake::AddFile("C:\\work\\src", content);
  fake::AddFile("C:\\work\\dst", std::string(10000, 'o'));
  EXPECT_TRUE(SparseCopyFile("C:\\work\\src", "C:\\work\\dst", true));
  EXPECT_EQ(fake::FileBytes("C:\\work\\dst"), content);
  EXPECT_EQ(AllocatedUnits("C:\\work\\dst"), (std::set<std::int64_t>{0}));
  EXPECT_EQ(fake::OpenFileCount(), 0);
}

// Layouts whose pieces fall on the edges the copy works with: 2049-byte blocks, allocation
// units, and the 256 KiB stretches the destination is written in.
struct Layout {
  const char* name;
  std::int64_t length;
  std::vector<fake::DataPiece> pieces;  // the rest is zeros
};

std::string Pattern(std::size_t length) {
  std::string bytes(length, '\0');
  for (std::size_t i = 0; i < length; ++i) {
    if (i % 3 != 0) bytes[i] = static_cast<char>('a' + i % 23);
  }
  return bytes;
}

std::string ContentOf(const Layout& layout) {
  std::string content(static_cast<std::size_t>(layout.length), '\0');
  for (const fake::DataPiece& piece : layout.pieces) {
    content.replace(static_cast<std::size_t>(piece.offset), piece.bytes.size(), piece.bytes);
  }
  return content;
}

TEST_F(FakeTest, CopyGivesEveryLayoutItsBytesAndAllocatesOnlyUnitsWithData) {
  constexpr std::int64_t kStretch = 256 << 10;
  const std::vector<Layout> layouts = {
      {"across a stretch", kStretch + 10000, {{kStretch - 3000, std::string(6000, 'a')}}},
      {"hole ends inside a block",
       2 * kStretch,
       {{2049 * 100 + 1000, "xyz"}, {2 * kStretch - 1, "e"}}},
      {"last and first byte of stretches", kStretch + 1, {{kStretch - 1, "p"}, {kStretch, "q"}}},
      {"every third byte zero", 3 * kStretch + 777, {{0, Pattern(3 * kStretch + 777)}}},
      {"lone bytes",
       5 * kStretch,
       {{1, "1"}, {70000, "2"}, {140001, "3"}, {5 * kStretch - 70000, "4"}}},
  };
  for (const std::uint32_t unit : {512u, 4096u, 65536u, 1u << 20}) {
    for (const Layout& layout : layouts) {
      for (const bool holes : {true, false}) {
        SCOPED_TRACE(std::string(layout.name) + ", unit " + std::to_string(unit) +
                     (holes ? ", source with holes" : ", source written whole"));
        fake::Reset();
        fake::AddVolume("C:\\", "NTFS", unit);
        const std::string content = ContentOf(layout);
        if (holes) {
          fake::AddSparseFile("C:\\work\\src", layout.length, layout.pieces);
        } else {
          fake::AddFile("C:\\work\\src", content);
        }
        EXPECT_TRUE(SparseCopyFile("C:\\work\\src", "C:\\work\\dst", false));
        EXPECT_TRUE(fake::FileBytes("C:\\work\\dst") == content);
        EXPECT_EQ(AllocatedUnits("C:\\work\\dst", unit), UnitsHoldingData(content, unit));
      }
    }
  }
}

struct PermissionCase {
  bool destinationExists;
  bool overwrite;
  bool copied;
};

class PermissionTest : public FakeTest, public ::testing::WithParamInterface<PermissionCase> {};

TEST_P(PermissionTest, ExistingDestinationIsReplacedOnlyWithPermission) {
  fake::AddFile("C:\\work\\src", "new");
  if (GetParam().destinationExists) fake::AddFile("C:\\work\\dst", "old");
  EXPECT_EQ(SparseCopyFile("C:\\work\\src", "C:\\work\\dst", GetParam().overwrite),
            GetParam().copied);
  const std::string expected = GetParam().copied ? "new" : "old";
  EXPECT_EQ(fake::FileBytes("C:\\work\\dst"), expected);
  EXPECT_EQ(fake::OpenFileCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Outcomes, PermissionTest,
                         ::testing::Values(PermissionCase{false, false, true},
                                           PermissionCase{false, true, true},
                                           PermissionCase{true, false, false},
                                           PermissionCase{true, true, true}));

TEST_F(FakeTest, CopyOfAMissingSourceOrAFolderOpensNothing) {
  fake::AddFolder("C:\\work\\folder");
  EXPECT_FALSE(SparseCopyFile("C:\\work\\missing", "C:\\work\\dst", true));
  EXPECT_FALSE(SparseCopyFile("C:\\work\\folder", "C:\\work\\dst", true));
  EXPECT_EQ(fake::CountCalls("OpenForReading"), 0);
  EXPECT_FALSE(fake::Exists("C:\\work\\dst"));
}

TEST_F(FakeTest, CopyOntoItselfLeavesTheFileIntact) {
  fake::AddFile("C:\\work\\a", "content");
  EXPECT_FALSE(SparseCopyFile("C:\\work\\a", "C:\\WORK\\A", true));
  EXPECT_EQ(fake::FileBytes("C:\\work\\a"), "content");
}

TEST_F(FakeTest, DestinationThatCannotBeOpenedIsNotCopied) {
  fake::AddFile("C:\\work\\src", "x");
  EXPECT_FALSE(SparseCopyFile("C:\\work\\src", "C:\\work\\no\\such\\dst", true));
  EXPECT_EQ(fake::OpenFileCount(), 0);
}

TEST_F(FakeTest, SourceThatCannotBeOpenedRaisesBeforeTheDestinationIsTouched) {
  fake::AddFile("C:\\work\\src", "x");
  fake::AddFile("C:\\work\\dst", "keep");
  fake::HoldOpenElsewhere("C:\\work\\src");
  try {
    SparseCopyFile("C:\\work\\src", "C:\\work\\dst", false);
    FAIL() << "no error raised";
  } catch (const EFOpenError& error) {
    EXPECT_STREQ(error.ClassName(), "EFOpenError");
    EXPECT_EQ(error.Message(), "ファイル C:\\work\\src は開けません。 System error 32 ");
  }
  EXPECT_EQ(fake::FileBytes("C:\\work\\dst"), "keep");
  EXPECT_EQ(fake::CountCalls("CreateTruncated"), 0);
}

TEST_F(FakeTest, ReadFailureRaisesAndKeepsWhatWasCopiedRight) {
  const std::string content(3 << 20, 'r');
  fake::AddFile("C:\\work\\src", content);
  fake::FailCall("ReadBytes", 2, 23);
  try {
    SparseCopyFile("C:\\work\\src", "C:\\work\\dst", false);
    FAIL() << "no error raised";
  } catch (const EReadError& error) {
    EXPECT_EQ(error.Message(), "ファイル C:\\work\\src を読み込めません。 System error 23 ");
  }
  // Whole blocks read before the failure, and nothing else.
  const std::string copied = fake::FileBytes("C:\\work\\dst");
  EXPECT_GT(copied.size(), 0u);
  EXPECT_EQ(copied.size() % 2049, 0u);
  EXPECT_EQ(copied, content.substr(0, copied.size()));
  EXPECT_EQ(fake::OpenFileCount(), 0);
}

TEST_F(FakeTest, WriteFailureRaisesAndEndsTheCopyWhereItsDataIsRight) {
  // Units 0-1 and 3 hold data: two writes, the second fails.
  const std::string content = std::string(5000, 'w') + std::string(10000, '\0') + "end";
  fake::AddFile("C:\\work\\src", content);
  fake::FailCall("WriteBytes", 2, 112);
  try {
    SparseCopyFile("C:\\work\\src", "C:\\work\\dst", false);
    FAIL() << "no error raised";
  } catch (const EWriteError& error) {
    EXPECT_EQ(error.Message(), "ファイル C:\\work\\dst に書き込めません。 System error 112 ");
  }
  EXPECT_EQ(fake::FileBytes("C:\\work\\dst"), content.substr(0, 12288));
  EXPECT_EQ(fake::OpenFileCount(), 0);
}

// ---- Create ----------------------------------------------------------------------------

TEST_F(FakeTest, CreateMakesAnAllZeroFileWithNothingAllocated) {
  for (std::int64_t size : {std::int64_t{1}, std::int64_t{2049}, std::int64_t{1} << 40}) {
    EXPECT_TRUE(CreateSparseFile("C:\\work\\f", size));
    EXPECT_EQ(fake::FileLength("C:\\work\\f"), size);
    EXPECT_EQ(fake::AllocatedBytes("C:\\work\\f"), 0);
    EXPECT_EQ(fake::CountCalls("WriteBytes"), 0);
  }
  EXPECT_EQ(fake::OpenFileCount(), 0);
}

TEST_F(FakeTest, CreateReplacesAnExistingFile) {
  fake::AddFile("C:\\work\\f", "old data");
  EXPECT_TRUE(CreateSparseFile("C:\\work\\f", 3));
  EXPECT_EQ(fake::FileBytes("C:\\work\\f"), std::string(3, '\0'));
}

TEST_F(FakeTest, CreateRefusesAFolderAndAnUnopenableFile) {
  fake::AddFolder("C:\\work\\dir");
  EXPECT_FALSE(CreateSparseFile("C:\\work\\dir", 10));
  EXPECT_FALSE(CreateSparseFile("C:\\work\\missing\\f", 10));
  EXPECT_EQ(fake::CountCalls("CreateTruncated"), 1);
}

TEST_F(FakeTest, CreateThatCannotSetTheLengthLeavesNoNewFile) {
  fake::FailCall("SetEndHere", 1, 112);
  EXPECT_FALSE(CreateSparseFile("C:\\work\\huge", std::int64_t{1} << 50));
  EXPECT_FALSE(fake::Exists("C:\\work\\huge"));
  fake::AddFile("C:\\work\\existing", "x");
  fake::FailCall("MoveTo", 1, 87);
  EXPECT_FALSE(CreateSparseFile("C:\\work\\existing", 10));
  EXPECT_TRUE(fake::Exists("C:\\work\\existing"));  // it was there before: left, truncated
  EXPECT_EQ(fake::OpenFileCount(), 0);
}

}  // namespace
