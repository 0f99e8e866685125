// The sparse writer's runs, and the file operations below it on the fake platform.
#include <random>
#include <string>
#include <vector>

#include "SparseUtils/DestinationFile.h"
#include "SparseUtils/SparseFile.h"
#include "tests/unit/Recorders.h"
#include "tests/unit/TestSupport.h"

namespace {

Log RunsOf(const std::vector<std::string>& buffers) {
  RecordingWriter writer("C:\\f");
  for (const std::string& buffer : buffers) {
    writer.Write(buffer.data(), static_cast<std::int32_t>(buffer.size()));
  }
  return Log(writer.File().log.begin() + 2, writer.File().log.end());
}

TEST(SparseWriter, EachRunIsOneOperation) {
  const std::pair<std::vector<std::string>, Log> cases[] = {
      {{std::string("\x41\x00\x42", 3)}, {"write 1", "move 1", "write 1"}},
      {{std::string("\x41\x00", 2), std::string("\x00\x42", 2)},
       {"write 1", "move 1", "move 1", "write 1"}},
      {{std::string("\x41\x42\x00\x00\x00\x43\x44", 7)}, {"write 2", "move 3", "write 2"}},
      {{std::string(2049, '\0')}, {"move 2049"}},
      {{std::string(2049, 'x')}, {"write 2049"}},
      {{std::string(1, '\0')}, {"move 1"}},
      {{"z"}, {"write 1"}},
      {{""}, {}},
      {{std::string(9, 'a') + std::string(17, '\0') + "b" + std::string(8, '\0')},
       {"write 9", "move 17", "write 1", "move 8"}}};
  for (const auto& [buffers, runs] : cases) EXPECT_EQ(RunsOf(buffers), runs);
}

TEST(SparseWriter, ZeroOrNegativeCountDoesNothing) {
  RecordingWriter writer("C:\\f");
  writer.Write("abc", 0);
  writer.Write("abc", -5);
  EXPECT_EQ(writer.File().log, (Log{"open C:\\f", "sparse"}));
}

TEST(SparseWriter, RunsMatchAByteByByteSplitOnEveryPattern) {
  // Every 12-bit pattern of zero and non-zero bytes, against the obvious byte loop.
  for (unsigned pattern = 0; pattern < (1u << 12); ++pattern) {
    std::string buffer;
    for (int bit = 0; bit < 12; ++bit) buffer += (pattern >> bit & 1) ? 'x' : '\0';
    Log expected;
    for (std::size_t start = 0, i = 1; i <= buffer.size(); ++i) {
      if (i == buffer.size() || (buffer[i] == 0) != (buffer[start] == 0)) {
        expected.push_back((buffer[start] == 0 ? "move " : "write ") + std::to_string(i - start));
        start = i;
      }
    }
    ASSERT_EQ(RunsOf({buffer}), expected) << pattern;
  }
}

TEST(SparseWriter, SetSizeMovesToTheOffsetOnlyForPositiveSizes) {
  RecordingWriter writer("C:\\f");
  EXPECT_FALSE(writer.SetSize(0));
  EXPECT_FALSE(writer.SetSize(-1));
  EXPECT_TRUE(writer.SetSize(std::int64_t{1} << 40));
  writer.Close();
  EXPECT_EQ(writer.File().log, (Log{"open C:\\f", "sparse", "moveto 1099511627776", "close"}));
}

TEST(SparseWriter, AFileThatDoesNotOpenIsNotMarked) {
  RecordingOps::opens = false;
  RecordingWriter writer("C:\\f");
  RecordingOps::opens = true;
  EXPECT_FALSE(writer.IsOpen());
  EXPECT_FALSE(writer.IsSparse());
  EXPECT_EQ(writer.File().log, (Log{"open C:\\f"}));
}

// ---- The writer on the fake platform ----------------------------------------------------

TEST_F(FakeTest, WrittenFileReadsBackWithHolesWhereZerosWere) {
  fake::AddFile("C:\\work\\out.bin", "a longer old content");
  const std::string content = std::string("\x41\0\0\x42", 4) + std::string(10000, '\0') + "Z";
  {
    TSparseFile writer("C:\\work\\out.bin");
    EXPECT_TRUE(writer.IsSparse());
    writer.Write(content.data(), 2);
    writer.Write(content.data() + 2, static_cast<std::int32_t>(content.size() - 2));
    EXPECT_EQ(fake::OpenFileCount(), 1);
  }
  EXPECT_EQ(fake::OpenFileCount(), 0);
  EXPECT_EQ(fake::FileBytes("C:\\work\\out.bin"), content);
  EXPECT_EQ(AllocatedUnits("C:\\work\\out.bin"), (std::set<std::int64_t>{0, 2}));
  EXPECT_TRUE(fake::IsMarkedSparse("C:\\work\\out.bin"));
}

TEST_F(FakeTest, AllocationIsThatOfOneWritePerDataRunWhateverTheUnit) {
  // Data runs of every length between zero runs of every length, around unit boundaries.
  std::string content;
  for (int run = 1; run < 300; run += 7)
    content += std::string(run, 'd') + std::string(run * 37, '\0');
  content += std::string(3 << 20, '\0') + "tail" + std::string(5000, '\0');
  for (std::uint32_t unit : {512u, 4096u, 65536u}) {
    fake::AddVolume("C:\\", "NTFS", unit);
    {
      TSparseFile writer("C:\\work\\f");
      for (std::size_t at = 0; at < content.size(); at += 2049) {
        writer.Write(content.data() + at,
                     static_cast<std::int32_t>(std::min<std::size_t>(2049, content.size() - at)));
      }
      EXPECT_TRUE(writer.Close());
    }
    EXPECT_EQ(fake::FileLength("C:\\work\\f"), static_cast<std::int64_t>(content.size()));
    EXPECT_EQ(fake::FileBytes("C:\\work\\f"), content);
    EXPECT_EQ(AllocatedUnits("C:\\work\\f", unit), UnitsHoldingData(content, unit)) << unit;
  }
}

// The destination taking the writer's runs one by one instead of whole blocks.
struct RunByRunDestination : TDestinationFile {
  static constexpr bool kTakesWholeBlocks = false;
};

// Writes `content` in blocks of the given sizes and returns what the fake holds.
template <class Destination>
std::pair<std::string, std::set<std::int64_t>> WriteThrough(const std::string& content,
                                                            std::size_t blockSize,
                                                            std::int64_t unit) {
  {
    TSparseFileWith<Destination> writer("C:\\work\\f");
    for (std::size_t at = 0; at < content.size(); at += blockSize) {
      const std::size_t count = std::min(blockSize, content.size() - at);
      writer.Write(content.data() + at, static_cast<std::int32_t>(count));
    }
    EXPECT_TRUE(writer.Close());
  }
  EXPECT_EQ(fake::FileLength("C:\\work\\f"), static_cast<std::int64_t>(content.size()));
  return {fake::FileBytes("C:\\work\\f"), AllocatedUnits("C:\\work\\f", unit)};
}

TEST_F(FakeTest, WholeBlocksGiveWhatTheirRunsGive) {
  std::mt19937 random(7);
  for (int round = 0; round < 60; ++round) {
    const std::int64_t unit = std::int64_t{512} << (random() % 8);
    fake::AddVolume("C:\\", "NTFS", static_cast<std::uint32_t>(unit));
    // Runs of zeros and data of lengths around the unit, and longer.
    std::string content;
    while (content.size() < 300000) {
      const std::size_t length = random() % 3 == 0 ? random() % 16 : random() % (3 * unit);
      content += random() % 2 ? std::string(length, '\0') : std::string(length, 'd');
    }
    const std::size_t blockSize = 1 + random() % 5000;
    const auto byRuns = WriteThrough<RunByRunDestination>(content, blockSize, unit);
    const auto byBlocks = WriteThrough<TDestinationFile>(content, blockSize, unit);
    ASSERT_EQ(byRuns.first, content);
    ASSERT_EQ(byBlocks.first, content);
    ASSERT_EQ(byBlocks.second, byRuns.second) << "unit " << unit << ", blocks of " << blockSize;
    ASSERT_EQ(byBlocks.second, UnitsHoldingData(content, unit));
  }
}

TEST_F(FakeTest, WriterHoldsItsFileExclusively) {
  fake::AddFile("C:\\work\\f", "data");
  TSparseFile writer("C:\\work\\f");
  ASSERT_TRUE(writer.IsOpen());
  EXPECT_EQ(platform::OpenForReading("C:\\work\\f").error, platform::kErrorSharingViolation);
  TSparseFile second("C:\\work\\f");
  EXPECT_FALSE(second.IsOpen());
}

TEST_F(FakeTest, FileThatCannotBeMarkedSparseIsStillEndedAndClosed) {
  fake::FailCall("MarkSparse", 1, 1);
  {
    TSparseFile writer("C:\\work\\f");
    EXPECT_TRUE(writer.IsOpen());
    EXPECT_FALSE(writer.IsSparse());
    writer.Write("ab\0\0", 4);
  }
  EXPECT_EQ(fake::FileLength("C:\\work\\f"), 4);
  EXPECT_EQ(fake::OpenFileCount(), 0);
}

struct WriterFailureCase {
  const char* what;
  fake::FailureRule rule;
  std::int64_t length;  // the end is set where the data is known to be right
  platform::ErrorCode failure;
};

class WriterFailureTest : public FakeTest,
                          public ::testing::WithParamInterface<WriterFailureCase> {};

// Data in units 0, 2 and 4, holes between: the file goes out as three writes (at 0, 8192
// and 16384) with a move before the second and the third.
std::string ThreeExtents() {
  std::string content(20000, '\0');
  content.replace(0, 10, 10, 'x');
  content.replace(8192, 10, 10, 'y');
  content.replace(16384, 10, 10, 'z');
  return content;
}

TEST_P(WriterFailureTest, FirstFailureIsKeptAndNothingPretendsToBeThere) {
  const std::string content = ThreeExtents();
  fake::Schedule(GetParam().rule);
  TSparseFile writer("C:\\work\\f");
  writer.Write(content.data(), static_cast<std::int32_t>(content.size()));
  EXPECT_FALSE(writer.Close());
  EXPECT_EQ(writer.Failure(), GetParam().failure);
  EXPECT_EQ(fake::FileLength("C:\\work\\f"), GetParam().length);
  EXPECT_EQ(fake::FileBytes("C:\\work\\f"), content.substr(0, GetParam().length));
  EXPECT_EQ(fake::OpenFileCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, WriterFailureTest,
    ::testing::Values(
        WriterFailureCase{"second write fails", {"WriteBytes", 2, false, 112}, 8192, 112},
        WriterFailureCase{"third write fails", {"WriteBytes", 3, false, 112}, 16384, 112},
        WriterFailureCase{"first move fails", {"MoveTo", 1, false, 87}, 4096, 87},
        WriterFailureCase{"setting the end fails", {"SetEndHere", 1, false, 112}, 20000, 112}),
    [](const auto& info) {
      std::string name = info.param.what;
      for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      return name;
    });

TEST_F(FakeTest, ShortWriteIsCompletedOrTellsWhyItStopped) {
  const std::string content = ThreeExtents();
  fake::ShortenCall("WriteBytes", 2, 1);
  {
    TSparseFile writer("C:\\work\\f");
    writer.Write(content.data(), static_cast<std::int32_t>(content.size()));
    EXPECT_TRUE(writer.Close());
  }
  EXPECT_EQ(fake::FileBytes("C:\\work\\f"), content);

  fake::ShortenCall("WriteBytes", 2, 1);
  fake::FailCall("WriteBytes", 3, 223);
  TSparseFile writer("C:\\work\\f");
  writer.Write(content.data(), static_cast<std::int32_t>(content.size()));
  EXPECT_FALSE(writer.Close());
  EXPECT_EQ(writer.Failure(), 223u);  // the reason the rest was refused
  EXPECT_EQ(fake::FileBytes("C:\\work\\f"), content.substr(0, 8193));
}

TEST_F(FakeTest, NothingIsWrittenAfterAFailure) {
  fake::FailCall("WriteBytes", 1, 112);
  TSparseFile writer("C:\\work\\f");
  const std::string data(3 << 20, 'd');
  writer.Write(data.data(), static_cast<std::int32_t>(data.size()));
  EXPECT_FALSE(writer.Close());
  EXPECT_EQ(fake::CountCalls("WriteBytes"), 1);
  EXPECT_EQ(fake::FileLength("C:\\work\\f"), 0);
}

}  // namespace
