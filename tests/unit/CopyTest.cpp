// The sparse copy and create: every failure ends the copy where its bytes stop being right,
// with one worker and with two. (The copy's layouts are the fuzz target's seeds.)
#include <algorithm>
#include <future>
#include <thread>

#include "SparseUtils/SparseOperations.h"
#include "tests/unit/Support.h"

namespace {

constexpr std::int64_t kChunk = 512 << 10;
const std::string kSource = "C:\\work\\src", kDest = "C:\\work\\dst";

// Data with every third byte zero: no zero run is longer than one byte.
std::string Pattern(std::size_t length) {
  std::string bytes(length, '\0');
  for (std::size_t i = 0; i < length; ++i) bytes[i] = i % 3 ? char('a' + i % 23) : '\0';
  return bytes;
}

std::int64_t OffsetOf(const std::string& call) {
  return std::stoll(call.substr(call.find("o=") + 2));
}

struct FailureCase {
  std::vector<fake::Rule> failures;
  std::string raised;  // "" when the copy absorbs the failures
  platform::ErrorCode code;
};

TEST_F(FakeTest, CopyStopsAtItsFirstFailureInFileOrderAndKeepsOnlyBytesKnownRight) {
  // Data, written zeros and a hole over several chunks, so both workers read and write.
  const std::string content = Pattern(kChunk + 5000) + std::string(kChunk, '\0') + "middle" +
                              std::string(kChunk, '\0') + Pattern(9000);
  // clang-format off
  const FailureCase cases[] = {
      {{{"ReadAt", 1, 0, true, 1000}}, "", 0},          // short reads are read again
      {{{"WriteAt", 1, 0, true, 700}}, "", 0},          // short writes are written again
      {{{"NextDataRange", 1, 1, true, 0}}, "", 0},      // the file system cannot tell its ranges
      {{{"SetLength", 1, 112, false, 0}}, "", 0},       // the length cannot be set first
      {{{"ReadAt", 2, 23, false, 0}}, "EReadError", 23},
      {{{"WriteAt", 2, 5, false, 0}}, "EWriteError", 5},
      {{{"WriteAt", 2, 0, false, 0}}, "EWriteError", 112},  // nothing written: a full disk
      {{{"ReadAt", 1, 23, true, 0}}, "EReadError", 23},
      {{{"WriteAt", 3, 112, true, 0}}, "EWriteError", 112},
      {{{"SetLength", 1, 112, true, 0}}, "EWriteError", 112},
      {{{"SetLength", 1, 5, true, 0}, {"WriteAt", 2, 112, false, 0}}, "EWriteError", 112}};
  // clang-format on
  for (const FailureCase& failure : cases) {
    for (const unsigned workers : {1u, 2u}) {
      SCOPED_TRACE(::testing::Message()
                   << failure.failures[0].kind << " " << failure.code << ", workers " << workers);
      fake::Reset();
      fake::machine.processors = workers;
      fake::machine.rules = failure.failures;
      fake::AddFile(kSource, content);
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
      EXPECT_TRUE(copied == content.substr(0, copied.size()));
      if (raised.empty()) {
        EXPECT_TRUE(copied == content);
        EXPECT_EQ(fake::AllocatedUnits(kDest), fake::UnitsHoldingData(content, 4096));
        continue;
      }
      const bool read = raised == "EReadError";
      EXPECT_EQ(message, "ファイル " + (read ? kSource : kDest) +
                             (read ? " を読み込めません。" : " に書き込めません。") +
                             " System error " + std::to_string(failure.code) + " ");
      // The copy ends where the failure first in file order struck, if its end could be set.
      const std::vector<std::string>& injected = fake::machine.injected;
      const auto first = std::min_element(injected.begin(), injected.end(), [](auto& a, auto& b) {
        return OffsetOf(a) < OffsetOf(b);
      });
      const bool endSet = injected.back().find("SetLength") != 0;
      EXPECT_TRUE(!endSet || std::int64_t(copied.size()) == OffsetOf(*first));
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

TEST_F(FakeTest, CreateMakesAnAllZeroFileAndRemovesOnlyOneItMadeWhenTheLengthFails) {
  fake::AddFile("C:\\work\\f", "old data");
  for (const std::int64_t size : {std::int64_t{1}, std::int64_t{2049}, std::int64_t{1} << 40}) {
    EXPECT_TRUE(CreateSparseFile("C:\\work\\f", size));
    EXPECT_EQ(fake::FileLength("C:\\work\\f"), size);
    EXPECT_TRUE(fake::AllocatedUnits("C:\\work\\f").empty());
  }
  fake::Fail("SetLength", 1, 112, true);
  EXPECT_FALSE(CreateSparseFile("C:\\work\\new", 10));
  EXPECT_EQ(fake::FileBytes("C:\\work\\new"), "(none)");
  EXPECT_FALSE(CreateSparseFile("C:\\work\\f", 10));
  EXPECT_EQ(fake::FileBytes("C:\\work\\f"), "");
  EXPECT_EQ(fake::OpenHandles(), 0);
}

}  // namespace
