// The sparse copy and create: every layout comes out byte for byte, allocated exactly where a
// unit holds data, with one worker and with two; every failure ends the copy where its bytes
// stop being right.
#include <algorithm>
#include <future>
#include <thread>

#include "SparseUtils/SparseOperations.h"
#include "failure/Errors.h"
#include "tests/unit/Support.h"

namespace {

constexpr std::int64_t kChunk = 512 << 10;
const std::string kSource = "C:\\work\\src", kDest = "C:\\work\\dst";

struct Layout {
  const char* name;
  std::int64_t length;
  std::vector<fake::DataPiece> pieces;  // the rest is zeros
};

// Data with every third byte zero: no zero run is longer than one byte.
std::string Pattern(std::size_t length) {
  std::string bytes(length, '\0');
  for (std::size_t i = 0; i < length; ++i) bytes[i] = i % 3 ? char('a' + i % 23) : '\0';
  return bytes;
}

// Every byte value 1-255 on its own among zeros, in units of their own.
std::vector<fake::DataPiece> LoneBytes() {
  std::vector<fake::DataPiece> pieces;
  for (int value = 1; value < 256; ++value) pieces.push_back({value * 4099, {char(value)}});
  return pieces;
}

std::string ContentOf(const Layout& layout) {
  std::string content(static_cast<std::size_t>(layout.length), '\0');
  for (const auto& [offset, bytes] : layout.pieces) content.replace(offset, bytes.size(), bytes);
  return content;
}

std::int64_t OffsetOf(const std::string& call) {
  return std::stoll(call.substr(call.find("o=") + 2));
}

// Pieces on the edges the copy works with: chunks, allocation units, 2049-byte blocks.
const std::vector<Layout> kLayouts = {
    {"empty", 0, {}},
    {"zeros only", 2 * kChunk + 3, {}},
    {"across a chunk edge", kChunk + 10000, {{kChunk - 3000, std::string(6000, 'a')}}},
    {"last and first byte of chunks", kChunk + 1, {{kChunk - 1, "p"}, {kChunk, "q"}}},
    {"one chunk of data", kChunk, {{0, Pattern(kChunk)}}},
    {"every third byte zero", 3 * kChunk + 777, {{0, Pattern(3 * kChunk + 777)}}},
    {"2049-byte edges", 2049 * 300, {{2048, "a"}, {2049, "b"}, {4097, "c"}, {2049 * 299, "d"}}},
    {"lone bytes of every value", 256 * 4099, LoneBytes()},
    {"far apart, zeros at the end",
     3 * kChunk + 9000,
     {{0, "h"}, {2 * kChunk + 5, Pattern(70000)}}},
};

TEST_F(FakeTest, CopyGivesEveryLayoutItsBytesAndAllocatesOnlyUnitsWithData) {
  for (const std::uint32_t unit : {512u, 4096u, 65536u, 1u << 20}) {
    for (const Layout& layout : kLayouts) {
      for (const bool holes : {true, false}) {
        for (const unsigned workers : {1u, 2u}) {
          SCOPED_TRACE(::testing::Message() << layout.name << ", unit " << unit << ", holes "
                                            << holes << ", workers " << workers);
          fake::Reset();
          fake::AddVolume("C:\\", "NTFS", unit);
          fake::machine.processors = workers;
          const std::string content = ContentOf(layout);
          holes ? fake::AddSparseFile(kSource, layout.length, layout.pieces)
                : fake::AddFile(kSource, content);
          ASSERT_TRUE(SparseCopyFile(kSource, kDest, false));
          EXPECT_TRUE(fake::FileBytes(kDest) == content);
          EXPECT_EQ(fake::AllocatedUnits(kDest, unit), fake::UnitsHoldingData(content, unit));
          // No unit of a hole is read, but at the end of the file, where a read finds the end.
          for (const std::string& read : fake::Calls("ReadAt")) {
            const std::int64_t at = OffsetOf(read);
            EXPECT_TRUE(!holes || at >= layout.length / unit * unit ||
                        fake::AllocatedUnits(kSource, unit).count(at / unit))
                << read;
          }
          EXPECT_EQ(fake::OpenHandles(), 0);
        }
      }
    }
  }
}

struct FailureCase {
  const char* name;
  std::vector<std::tuple<const char*, int, platform::ErrorCode, bool, std::uint32_t>> failures;
  const char* raised;  // "" when the copy absorbs the failures
};

// Data, written zeros and a hole over several chunks, so both workers read and write.
const std::string kMixed = Pattern(kChunk + 5000) + std::string(kChunk, '\0') + "middle" +
                           std::string(kChunk, '\0') + Pattern(9000);

const FailureCase kFailures[] = {
    {"short reads are read again", {{"ReadAt", 1, 0, true, 1000}}, ""},
    {"short writes are written again", {{"WriteAt", 1, 0, true, 700}}, ""},
    {"data ranges that cannot be told", {{"NextDataRange", 1, 1, true, 0}}, ""},
    {"a length that cannot be set first", {{"SetLength", 1, 112, false, 0}}, ""},
    {"a read that fails", {{"ReadAt", 2, 23, false, 0}}, "EReadError"},
    {"a write that fails", {{"WriteAt", 2, 5, false, 0}}, "EWriteError"},
    {"a write that takes nothing is a full disk", {{"WriteAt", 2, 0, false, 0}}, "EWriteError"},
    {"every read fails", {{"ReadAt", 1, 23, true, 0}}, "EReadError"},
    {"every write from the third fails", {{"WriteAt", 3, 112, true, 0}}, "EWriteError"},
    {"no length can be set", {{"SetLength", 1, 112, true, 0}}, "EWriteError"},
    {"the end fails after a write",
     {{"SetLength", 1, 5, true, 0}, {"WriteAt", 2, 112, false, 0}},
     "EWriteError"},
};

TEST_F(FakeTest, CopyStopsAtItsFirstFailureInFileOrderAndKeepsOnlyBytesKnownRight) {
  for (const FailureCase& failure : kFailures) {
    for (const unsigned workers : {1u, 2u}) {
      SCOPED_TRACE(::testing::Message() << failure.name << ", workers " << workers);
      fake::Reset();
      fake::machine.processors = workers;
      fake::AddFile(kSource, kMixed);
      for (const auto& [kind, nth, code, later, bytes] : failure.failures) {
        fake::Fail(kind, nth, code, later, bytes);
      }
      std::string raised, message;
      try {
        EXPECT_TRUE(SparseCopyFile(kSource, kDest, false));
      } catch (const Exception& error) {
        raised = error.ClassName();
        message = error.Message();
      }
      ASSERT_EQ(raised, failure.raised);
      EXPECT_EQ(fake::OpenHandles(), 0);
      const std::string copied = fake::FileBytes(kDest);
      if (raised.empty()) {
        EXPECT_TRUE(copied == kMixed);
        EXPECT_EQ(fake::AllocatedUnits(kDest), fake::UnitsHoldingData(kMixed, 4096));
        continue;
      }
      // The failure first in file order (the earlier call on a tie) decides.
      const std::vector<std::string> injected = fake::machine.injected;
      const std::string first =
          *std::min_element(injected.begin(), injected.end(),
                            [](const auto& a, const auto& b) { return OffsetOf(a) < OffsetOf(b); });
      const auto rule =
          std::find_if(failure.failures.begin(), failure.failures.end(),
                       [&](const auto& f) { return first.find(std::get<0>(f)) == 0; });
      const bool read = raised == "EReadError";
      EXPECT_EQ(message, "ファイル " + (read ? kSource : kDest) +
                             (read ? " を読み込めません。" : " に書き込めません。") +
                             " System error " +
                             std::to_string(std::get<2>(*rule) ? std::get<2>(*rule) : 112) + " ");
      if (fake::machine.injected.back().find("SetLength") != 0) {
        EXPECT_EQ(std::int64_t(copied.size()), OffsetOf(first));
      }
      EXPECT_TRUE(copied == kMixed.substr(0, copied.size()));
    }
  }
}

// Two workers that both fail: the failure first in file order is kept, though it comes first.
TEST_F(FakeTest, TheFailureFirstInFileOrderIsKeptWhicheverWorkerComesLast) {
  fake::machine.processors = 2;
  fake::AddFile(kSource, Pattern(3 * kChunk));
  fake::Fail("ReadAt", 1, 23, true);
  std::promise<void> started;
  std::shared_future<void> second = started.get_future().share();
  fake::machine.beforeTransfer = [&](std::int64_t offset) {
    if (offset == 0) {  // the first worker waits for the second to begin, which then waits
      second.wait_for(std::chrono::seconds(5));
    } else if (offset == kChunk) {
      started.set_value();
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  };
  EXPECT_THROW(SparseCopyFile(kSource, kDest, false), EReadError);
  EXPECT_EQ(fake::FileLength(kDest), 0);
}

TEST_F(FakeTest, CopyReplacesOnlyWithPermissionAndRaisesForASourceItCannotOpen) {
  fake::AddFile(kSource, "new");
  fake::AddFolder("C:\\work\\dir");
  EXPECT_FALSE(SparseCopyFile("C:\\work\\dir", kDest, true));  // not a file: nothing opened
  EXPECT_TRUE(fake::Calls("OpenForReading").empty());
  fake::AddFile(kDest, "old data");
  EXPECT_FALSE(SparseCopyFile(kSource, kDest, false));
  EXPECT_EQ(fake::FileBytes(kDest), "old data");
  EXPECT_TRUE(SparseCopyFile(kSource, kDest, true));
  EXPECT_EQ(fake::FileBytes(kDest), "new");
  EXPECT_FALSE(SparseCopyFile(kSource, "C:\\work\\no\\dst", true));  // cannot be opened
  fake::Fail("OpenForReading", 1, 32);
  EXPECT_THROW(SparseCopyFile(kSource, "C:\\work\\x", true), EFOpenError);
  EXPECT_FALSE(fake::Exists("C:\\work\\x"));
  EXPECT_EQ(fake::OpenHandles(), 0);
}

TEST_F(FakeTest, CreateMakesAnAllZeroFileAndRemovesOnlyOneItMadeWhenTheLengthFails) {
  fake::AddFile("C:\\work\\f", "old data");
  for (const std::int64_t size : {std::int64_t{1}, std::int64_t{2049}, std::int64_t{1} << 40}) {
    EXPECT_TRUE(CreateSparseFile("C:\\work\\f", size));
    EXPECT_EQ(fake::FileLength("C:\\work\\f"), size);
    EXPECT_TRUE(fake::AllocatedUnits("C:\\work\\f").empty());
  }
  EXPECT_FALSE(CreateSparseFile("C:\\work", 10));
  fake::Fail("SetLength", 1, 112, true);
  EXPECT_FALSE(CreateSparseFile("C:\\work\\new", 10));
  EXPECT_FALSE(fake::Exists("C:\\work\\new"));
  EXPECT_FALSE(CreateSparseFile("C:\\work\\f", 10));
  EXPECT_TRUE(fake::Exists("C:\\work\\f"));
  EXPECT_EQ(fake::OpenHandles(), 0);
}

}  // namespace
