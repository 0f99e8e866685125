// The sparse writer's runs, and the file operations below it on the fake platform.
#include <string>
#include <vector>

#include "SparseUtils/DestinationFile.h"
#include "SparseUtils/SparseFile.h"
#include "tests/unit/TestSupport.h"

namespace {

// Records what the writer hands to its file operations: "open", "sparse", "write n",
// "move n", "moveto n", "close".
class RecordingOps {
 public:
  bool Open(const std::string& path) {
    log.push_back("open " + path);
    opened = opens;
    return opened;
  }
  bool MarkSparse() {
    log.push_back("sparse");
    return true;
  }
  void MoveForward(std::int64_t distance) { log.push_back("move " + std::to_string(distance)); }
  void WriteRun(const std::uint8_t* data, std::uint32_t count) {
    log.push_back("write " + std::to_string(count));
    written.append(reinterpret_cast<const char*>(data), count);
  }
  void MoveToOffset(std::int64_t offset) { log.push_back("moveto " + std::to_string(offset)); }
  bool SetEndAndClose() {
    log.push_back("close");
    return true;
  }
  bool IsOpen() const { return opened; }
  platform::ErrorCode Failure() const { return 0; }

  static inline bool opens = true;  // whether the next Open succeeds
  bool opened = false;
  std::vector<std::string> log;
  std::string written;
};

using Log = std::vector<std::string>;
using RecordingWriter = TSparseFileWith<RecordingOps>;

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
  {
    TSparseFile writer("C:\\work\\out.bin");
    EXPECT_TRUE(writer.IsSparse());
    writer.Write("\x41\x00", 2);
    writer.Write(std::string("\x00\x42", 2).data(), 2);
    writer.Write(std::string(5000, '\0').data(), 5000);
    EXPECT_EQ(fake::OpenFileCount(), 1);
  }
  EXPECT_EQ(fake::OpenFileCount(), 0);
  EXPECT_EQ(fake::FileBytes("C:\\work\\out.bin"),
            std::string("\x41\0\0\x42", 4) + std::string(5000, '\0'));
  EXPECT_EQ(fake::AllocatedBytes("C:\\work\\out.bin"), 2);
  EXPECT_TRUE(fake::IsMarkedSparse("C:\\work\\out.bin"));
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

// The data: "ab", 3 zeros, "cd", 3 zeros, "ef": write, move, write, move, write.
TEST_P(WriterFailureTest, FirstFailureIsKeptAndNothingPretendsToBeThere) {
  fake::Schedule(GetParam().rule);
  TSparseFile writer("C:\\work\\f");
  writer.Write("ab\0\0\0cd\0\0\0ef", 12);
  EXPECT_FALSE(writer.Close());
  EXPECT_EQ(writer.Failure(), GetParam().failure);
  EXPECT_EQ(fake::FileLength("C:\\work\\f"), GetParam().length);
  EXPECT_EQ(fake::FileBytes("C:\\work\\f"),
            std::string("ab\0\0\0cd\0\0\0ef", 12).substr(0, GetParam().length));
  EXPECT_EQ(fake::OpenFileCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, WriterFailureTest,
    ::testing::Values(
        WriterFailureCase{"second write fails", {"WriteBytes", 2, false, 112}, 5, 112},
        WriterFailureCase{"second write short", {"WriteBytes", 2, false, 0, 1}, 6, 112},
        WriterFailureCase{"second move fails", {"MoveBy", 2, false, 5}, 7, 5},
        WriterFailureCase{"first move fails", {"MoveBy", 1, false, 87}, 2, 87},
        WriterFailureCase{"setting the end fails", {"SetEndHere", 1, false, 112}, 12, 112}),
    [](const auto& info) {
      std::string name = info.param.what;
      for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      return name;
    });

TEST_F(FakeTest, OperationsAfterAFailureAreNotIssued) {
  fake::FailCall("WriteBytes", 1, 112);
  TSparseFile writer("C:\\work\\f");
  writer.Write("ab\0\0cd", 6);
  EXPECT_EQ(fake::CountCalls("WriteBytes"), 1);
  EXPECT_EQ(fake::CountCalls("MoveBy"), 0);
}

}  // namespace
