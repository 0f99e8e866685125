// Sparse copy and sparse create on the fake platform: every layout comes out byte for byte,
// allocated exactly where a unit holds data, with one worker and with two; every failure
// ends the copy where its bytes stop being right.
#include <algorithm>
#include <string>
#include <vector>

#include "SparseUtils/SparseOperations.h"
#include "failure/Errors.h"
#include "tests/unit/TestSupport.h"

namespace {

constexpr std::int64_t kChunk = 512 << 10;
const std::string kSource = "C:\\work\\src";
const std::string kDest = "C:\\work\\dst";

struct Layout {
  const char* name;
  std::int64_t length;
  std::vector<fake::DataPiece> pieces;  // the rest is zeros
};

// Data with every third byte zero: no zero run is longer than one byte.
std::string Pattern(std::size_t length) {
  std::string bytes(length, '\0');
  for (std::size_t i = 0; i < length; ++i) {
    if (i % 3 != 0) bytes[i] = static_cast<char>('a' + i % 23);
  }
  return bytes;
}

// Every byte value 1-255 on its own among zeros, each in a 4 KiB unit of its own.
std::vector<fake::DataPiece> LoneByteValues() {
  std::vector<fake::DataPiece> pieces;
  for (int value = 1; value < 256; ++value) pieces.push_back({value * 4099, {char(value)}});
  return pieces;
}

std::string ContentOf(const Layout& layout) {
  std::string content(static_cast<std::size_t>(layout.length), '\0');
  for (const fake::DataPiece& piece : layout.pieces) {
    content.replace(static_cast<std::size_t>(piece.offset), piece.bytes.size(), piece.bytes);
  }
  return content;
}

// Pieces on the edges the copy works with: chunks, allocation units, 2049-byte blocks.
const std::vector<Layout> kLayouts = {
    {"empty", 0, {}},
    {"zeros only", 2 * kChunk + 3, {}},
    {"one byte", 1, {{0, "x"}}},
    {"across a chunk edge", kChunk + 10000, {{kChunk - 3000, std::string(6000, 'a')}}},
    {"last and first byte of chunks", kChunk + 1, {{kChunk - 1, "p"}, {kChunk, "q"}}},
    {"exactly one chunk of data", kChunk, {{0, Pattern(kChunk)}}},
    {"every third byte zero", 3 * kChunk + 777, {{0, Pattern(3 * kChunk + 777)}}},
    {"on 2049-byte edges", 2049 * 300, {{2048, "a"}, {2049, "b"}, {4097, "c"}, {2049 * 299, "d"}}},
    {"lone bytes of every value", 256 * 4099, LoneByteValues()},
    {"far apart, zeros at the end",
     3 * kChunk + 9000,
     {{0, "head"}, {2 * kChunk + 5, std::string(70000, 't')}}},
};

// The copy reads no byte of a unit that lies whole in a hole of the source, except at the
// end of the file, where a read finds that end.
void ExpectHolesUnread(const Layout& layout, std::int64_t unit) {
  const std::set<std::int64_t> dataUnits = AllocatedUnits(kSource, unit);
  for (const fake::Call& read : fake::CallsOf("ReadAt")) {
    const std::size_t at = read.text.find(" o=");
    const std::int64_t offset = std::stoll(read.text.substr(at + 3));
    EXPECT_TRUE(offset >= layout.length / unit * unit || dataUnits.count(offset / unit) > 0)
        << read.text;
  }
}

TEST_F(FakeTest, CopyGivesEveryLayoutItsBytesAndAllocatesOnlyUnitsWithData) {
  for (const std::uint32_t unit : {512u, 4096u, 65536u, 1u << 20}) {
    for (const Layout& layout : kLayouts) {
      for (const bool holes : {true, false}) {
        for (const unsigned workers : {1u, 2u}) {
          SCOPED_TRACE(std::string(layout.name) + ", unit " + std::to_string(unit) +
                       (holes ? ", source with holes, " : ", source written whole, ") +
                       std::to_string(workers) + " workers");
          fake::Reset();
          fake::AddVolume("C:\\", "NTFS", unit);
          fake::SetProcessorCount(workers);
          const std::string content = ContentOf(layout);
          if (holes) {
            fake::AddSparseFile(kSource, layout.length, layout.pieces);
          } else {
            fake::AddFile(kSource, content);
          }
          ASSERT_TRUE(SparseCopyFile(kSource, kDest, false));
          EXPECT_TRUE(fake::FileBytes(kDest) == content);
          EXPECT_EQ(AllocatedUnits(kDest, unit), UnitsHoldingData(content, unit));
          if (holes) ExpectHolesUnread(layout, unit);
          EXPECT_EQ(fake::OpenFileCount(), 0);
        }
      }
    }
  }
}

// ---- Failures --------------------------------------------------------------------------

// Where an injected failure stops the copy: the offset of the read or write that failed,
// or the length that could not be set. Ties go to the earlier call.
std::int64_t FailurePosition(const fake::Injection& injection) {
  const std::size_t at = injection.text.find(" o=");
  return std::stoll(injection.text.substr(at + 3));
}

struct FailureCase {
  const char* name;
  std::vector<fake::FailureRule> rules;
  // The error the copy must raise, or "" when it absorbs the failure.
  std::string errorClass;
};

// Data, written zeros and a hole over four chunks, so both workers write and read.
const std::string kMixed = Pattern(kChunk + 5000) + std::string(kChunk, '\0') + "middle" +
                           std::string(kChunk, '\0') + Pattern(9000);

const std::vector<FailureCase> kFailures = {
    {"short reads are read again", {{"ReadAt", 1, true, 0, 1000}}, ""},
    {"short writes are written again", {{"WriteAt", 1, true, 0, 700}}, ""},
    {"data ranges that cannot be told", {{"NextDataRange", 1, true, 1}}, ""},
    {"a length that cannot be set first", {{"SetLength", 1, false, 112}}, ""},
    {"a read that fails", {{"ReadAt", 2, false, 23}}, "EReadError"},
    {"a write that fails", {{"WriteAt", 2, false, 5}}, "EWriteError"},
    {"a write that takes nothing is a full disk", {{"WriteAt", 2, false, 0, 0}}, "EWriteError"},
    {"every read fails", {{"ReadAt", 1, true, 23}}, "EReadError"},
    {"every write from the third fails", {{"WriteAt", 3, true, 112}}, "EWriteError"},
    {"a length that cannot be set at all", {{"SetLength", 1, true, 112}}, "EWriteError"},
    {"the end fails after a write failed",
     {{"SetLength", 1, true, 5}, {"WriteAt", 2, false, 112}},
     "EWriteError"},
};

TEST_F(FakeTest, CopyStopsAtItsFirstFailureInFileOrderAndKeepsOnlyBytesKnownRight) {
  for (const FailureCase& failure : kFailures) {
    for (const unsigned workers : {1u, 2u}) {
      SCOPED_TRACE(std::string(failure.name) + ", " + std::to_string(workers) + " workers");
      fake::Reset();
      fake::SetProcessorCount(workers);
      fake::AddFile(kSource, kMixed);
      for (const fake::FailureRule& rule : failure.rules) fake::Schedule(rule);
      std::string raised;
      std::string message;
      try {
        EXPECT_TRUE(SparseCopyFile(kSource, kDest, false));
      } catch (const Exception& error) {
        raised = error.ClassName();
        message = error.Message();
      }
      ASSERT_EQ(raised, failure.errorClass);
      EXPECT_EQ(fake::OpenFileCount(), 0);
      if (raised.empty()) {
        EXPECT_TRUE(fake::FileBytes(kDest) == kMixed);
        EXPECT_EQ(AllocatedUnits(kDest), UnitsHoldingData(kMixed));
        continue;
      }
      // The first failure in file order decides the error and the copy's end.
      const std::vector<fake::Injection> injected = fake::Injections();
      const auto first = std::min_element(
          injected.begin(), injected.end(),
          [](const auto& a, const auto& b) { return FailurePosition(a) < FailurePosition(b); });
      ASSERT_NE(first, injected.end());
      const std::string code = std::to_string(first->code != 0 ? first->code : 112);
      const std::string verb =
          raised == "EReadError" ? " を読み込めません。" : " に書き込めません。";
      const std::string path = raised == "EReadError" ? kSource : kDest;
      EXPECT_EQ(message, "ファイル " + path + verb + " System error " + code + " ");
      const std::string copied = fake::FileBytes(kDest);
      const bool endSet = fake::CallsOf("SetLength").back().injected == 0;
      if (endSet) {
        EXPECT_EQ(static_cast<std::int64_t>(copied.size()), FailurePosition(*first));
      }
      EXPECT_TRUE(copied == kMixed.substr(0, copied.size()));
    }
  }
}

// ---- Permissions and opening -------------------------------------------------------------

TEST_F(FakeTest, ExistingDestinationIsReplacedOnlyWithPermission) {
  struct Case {
    bool destinationExists;
    bool overwrite;
    bool copied;
  };
  for (const Case& c :
       {Case{false, false, true}, Case{true, false, false}, Case{true, true, true}}) {
    fake::Reset();
    fake::AddFile(kSource, "new");
    if (c.destinationExists) fake::AddFile(kDest, "old data");
    EXPECT_EQ(SparseCopyFile(kSource, kDest, c.overwrite), c.copied);
    EXPECT_EQ(fake::FileBytes(kDest), c.copied ? "new" : "old data");
    EXPECT_EQ(fake::OpenFileCount(), 0);
  }
}

TEST_F(FakeTest, CopyOfAMissingSourceOrAFolderOpensNothing) {
  fake::AddFolder("C:\\work\\folder");
  EXPECT_FALSE(SparseCopyFile("C:\\work\\missing", kDest, true));
  EXPECT_FALSE(SparseCopyFile("C:\\work\\folder", kDest, true));
  EXPECT_EQ(fake::CountCalls("OpenForReading"), 0);
  EXPECT_FALSE(fake::Exists(kDest));
}

TEST_F(FakeTest, DestinationThatCannotBeOpenedIsNotCopied) {
  fake::AddFile("C:\\work\\a", "content");
  EXPECT_FALSE(SparseCopyFile("C:\\work\\a", "C:\\WORK\\A", true));  // itself
  EXPECT_EQ(fake::FileBytes("C:\\work\\a"), "content");
  EXPECT_FALSE(SparseCopyFile("C:\\work\\a", "C:\\work\\no\\such\\dst", true));
  EXPECT_EQ(fake::OpenFileCount(), 0);
}

TEST_F(FakeTest, SourceThatCannotBeOpenedRaisesBeforeTheDestinationIsTouched) {
  fake::AddFile(kSource, "x");
  fake::AddFile(kDest, "keep");
  fake::HoldOpenElsewhere(kSource);
  try {
    SparseCopyFile(kSource, kDest, false);
    FAIL() << "no error raised";
  } catch (const EFOpenError& error) {
    EXPECT_EQ(error.Message(), "ファイル C:\\work\\src は開けません。 System error 32 ");
  }
  EXPECT_EQ(fake::FileBytes(kDest), "keep");
  EXPECT_EQ(fake::CountCalls("CreateTruncated"), 0);
}

// ---- Create ----------------------------------------------------------------------------

TEST_F(FakeTest, CreateMakesAnAllZeroFileWithNothingAllocated) {
  fake::AddFile("C:\\work\\f", "old data");
  for (std::int64_t size : {std::int64_t{1}, std::int64_t{2049}, std::int64_t{1} << 40}) {
    EXPECT_TRUE(CreateSparseFile("C:\\work\\f", size));
    EXPECT_EQ(fake::FileLength("C:\\work\\f"), size);
    EXPECT_EQ(fake::AllocatedBytes("C:\\work\\f"), 0);
  }
  EXPECT_EQ(fake::CountCalls("WriteAt"), 0);
  EXPECT_EQ(fake::OpenFileCount(), 0);
}

TEST_F(FakeTest, CreateRefusesAFolderAndAnUnopenableFile) {
  fake::AddFolder("C:\\work\\dir");
  EXPECT_FALSE(CreateSparseFile("C:\\work\\dir", 10));
  EXPECT_FALSE(CreateSparseFile("C:\\work\\missing\\f", 10));
  EXPECT_EQ(fake::CountCalls("CreateTruncated"), 1);
}

TEST_F(FakeTest, CreateThatCannotSetTheLengthLeavesNoNewFile) {
  fake::FailCallsFrom("SetLength", 1, 112);
  EXPECT_FALSE(CreateSparseFile("C:\\work\\huge", std::int64_t{1} << 50));
  EXPECT_FALSE(fake::Exists("C:\\work\\huge"));
  fake::AddFile("C:\\work\\existing", "x");
  EXPECT_FALSE(CreateSparseFile("C:\\work\\existing", 10));
  EXPECT_TRUE(fake::Exists("C:\\work\\existing"));  // it was there before: left, truncated
  EXPECT_EQ(fake::OpenFileCount(), 0);
}

}  // namespace
