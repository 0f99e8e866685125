// The sparse writer and the file operations below it, driven by a sequence of Write calls
// (and, without a scheduled failure, SetSize calls that may move back) that the input
// describes, onto the fake machine's drive C: with an allocation unit of 512, 4096 or 65536
// bytes. After closing, the file must hold exactly what was written, be as long as the
// position reached, and be allocated in exactly the units that hold a non-zero byte, as with
// one system call per run. With a failure scheduled, the writer must report it and leave a
// file that is a correct prefix of the content. A recording writer checks on the side that
// every call is split into its runs byte for byte.
//
// Input: a settings byte (bits 0-1 the unit, bits 2-4 the largest Write call, bits 5-7 the
// failure), a byte with the failing call's number and a short write's length, then
// operations, one header byte each (see Feeder::Step).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "SparseUtils/SparseFile.h"
#include "tests/fake/FakePlatform.h"
#include "tests/fuzz/ByteRanges.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

const std::string kPath = "C:\\work\\out.bin";
constexpr std::int64_t kMiB = 1 << 20;
constexpr platform::ErrorCode kInjectedCode = 112;

// ---- Settings ----

enum class FailureKind { None, Write, MoveBy, MoveTo, SetEnd, ShortWrite };

struct Settings {
  std::uint32_t unit = 4096;
  std::int64_t callLimit = 0;  // the largest Write call; 0: only explicit ends
  std::int64_t totalLimit = 32 * kMiB;
  FailureKind failure = FailureKind::None;
  std::int64_t failingCall = 1;
  std::uint32_t shortBytes = 0;
};

Settings ReadSettings(FuzzInput& input) {
  const std::uint8_t first = input.Byte();
  const std::uint8_t second = input.Byte();
  Settings settings;
  const std::uint32_t units[] = {512, 4096, 65536, 4096};
  settings.unit = units[first & 3];
  const std::int64_t limits[] = {0, 1, 7, 512, 2049, 4096, 65537, 0};
  settings.callLimit = limits[(first >> 2) & 7];
  if (settings.callLimit > 0)
    settings.totalLimit = std::min(settings.totalLimit, settings.callLimit << 12);
  const FailureKind failures[] = {FailureKind::None,   FailureKind::None,      FailureKind::None,
                                  FailureKind::Write,  FailureKind::MoveBy,    FailureKind::MoveTo,
                                  FailureKind::SetEnd, FailureKind::ShortWrite};
  settings.failure = failures[first >> 5];
  settings.failingCall = 1 + (second & 7);
  settings.shortBytes = (second >> 3) * 97u;
  return settings;
}

void ScheduleFailure(const Settings& settings) {
  switch (settings.failure) {
    case FailureKind::None:
      return;
    case FailureKind::Write:
      return fake::FailCall("WriteBytes", settings.failingCall, kInjectedCode);
    case FailureKind::MoveBy:
      return fake::FailCall("MoveBy", settings.failingCall, kInjectedCode);
    case FailureKind::MoveTo:
      return fake::FailCall("MoveTo", settings.failingCall, kInjectedCode);
    case FailureKind::SetEnd:
      return fake::FailCall("SetEndHere", settings.failingCall, kInjectedCode);
    case FailureKind::ShortWrite:
      return fake::ShortenCall("WriteBytes", settings.failingCall, settings.shortBytes);
  }
}

// ---- The expected file ----

// The file as one system call per run leaves it: the non-zero bytes written, each where the
// last write put it (a zero run moves over what is there), and the length.
class ExpectedFile {
 public:
  using Extents = std::map<std::int64_t, std::string>;

  // Puts the non-zero bytes among `bytes` at `offset`; zeros move over what is there.
  void Write(std::int64_t offset, const std::uint8_t* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count;) {
      if (bytes[i] == 0) {
        ++i;
        continue;
      }
      std::size_t end = i;
      while (end < count && bytes[end] != 0) ++end;
      Put(offset + static_cast<std::int64_t>(i),
          std::string(reinterpret_cast<const char*>(bytes + i), end - i));
      i = end;
    }
  }

  // The non-zero bytes before `length`.
  Extents Before(std::int64_t length) const {
    Extents clipped;
    for (const auto& [offset, bytes] : extents_) {
      if (offset >= length) break;
      clipped[offset] = bytes.substr(0, static_cast<std::size_t>(length - offset));
    }
    return clipped;
  }

  // Replaces whatever lies in [offset, offset + size) by `bytes`, which holds no zero.
  void Put(std::int64_t offset, std::string bytes) {
    const std::int64_t end = offset + static_cast<std::int64_t>(bytes.size());
    auto it = extents_.lower_bound(offset);
    if (it != extents_.begin() && EndOf(*std::prev(it)) > offset) {
      auto& before = *std::prev(it);
      if (EndOf(before) > end) extents_[end] = before.second.substr(end - before.first);
      before.second.resize(static_cast<std::size_t>(offset - before.first));
    }
    for (it = extents_.lower_bound(offset); it != extents_.end() && it->first < end;) {
      if (EndOf(*it) > end) extents_[end] = it->second.substr(end - it->first);
      it = extents_.erase(it);
    }
    extents_[offset] = std::move(bytes);
  }

 private:
  static std::int64_t EndOf(const Extents::value_type& extent) {
    return extent.first + static_cast<std::int64_t>(extent.second.size());
  }

  Extents extents_;
};

// ---- The writer's runs ----

// A run as the writer hands it on: a move over zeros, or a write of the bytes at `data`.
struct RecordedRun {
  bool zero = false;
  std::int64_t length = 0;
  const std::uint8_t* data = nullptr;
};

// A run as the input built it: `length` bytes at `offset` of the call's buffer.
struct ExpectedRun {
  bool zero = false;
  std::int64_t length = 0;
  std::size_t offset = 0;
};

bool SameRuns(const std::vector<RecordedRun>& recorded, const std::vector<ExpectedRun>& expected,
              const std::uint8_t* buffer) {
  if (recorded.size() != expected.size()) return false;
  for (std::size_t i = 0; i < recorded.size(); ++i) {
    const RecordedRun& run = recorded[i];
    const ExpectedRun& wanted = expected[i];
    if (run.zero != wanted.zero || run.length != wanted.length) return false;
    if (!run.zero && run.data != buffer + wanted.offset) return false;
  }
  return true;
}

// File operations that only record what the writer hands them.
class RecordingOps {
 public:
  static constexpr bool kTakesWholeBlocks = false;  // one call per run

  bool Open(const std::string&) { return true; }
  bool MarkSparse() { return true; }
  void MoveForward(std::int64_t distance) { runs.push_back({true, distance, nullptr}); }
  void WriteRun(const std::uint8_t* data, std::uint32_t count) {
    runs.push_back({false, count, data});
  }
  void MoveToOffset(std::int64_t offset) { movedTo.push_back(offset); }
  bool SetEndAndClose() { return true; }
  bool IsOpen() const { return true; }
  platform::ErrorCode Failure() const { return platform::kErrorSuccess; }

  std::vector<RecordedRun> runs;
  std::vector<std::int64_t> movedTo;
};

// ---- Feeding the writers ----

// Builds Write calls from the operations of the input and hands each call to the writer
// under test, to a recording writer and to the expected file.
class Feeder {
 public:
  // `buffer` holds the pending call; it is kept from one input to the next, so that large
  // calls do not map fresh memory every time.
  Feeder(const Settings& settings, TSparseFile& writer, std::vector<std::uint8_t>& buffer)
      : settings_(settings), writer_(writer), call_(buffer) {
    call_.clear();
  }

  void Run(FuzzInput& input) {
    while (!input.Empty() && total_ < settings_.totalLimit) Step(input);
    EndCall();
  }

  std::int64_t Position() const { return position_; }
  std::int64_t Total() const { return total_; }
  bool SetSizeCalled() const { return setSizeCalled_; }
  // The furthest position reached; beyond the final one when the file was cut short.
  std::int64_t Furthest() const { return furthest_; }
  const ExpectedFile& Expected() const { return expected_; }

 private:
  // One operation: 00xxxxxx a zero run of 1-64 bytes; 01xxxxxx a zero run of 1-65536 bytes
  // times 2^(x & 7); 10xxxxxx 1-64 bytes taken from the input as they are; 1100xxxx ends
  // the Write call; 1101xxxx a data run of one byte value, 1-65536 bytes times 2^(x & 3);
  // 1110xxxx a Write call with a count of 0 or -1; 1111xxxx SetSize(n * 4^(x & 15)).
  void Step(FuzzInput& input) {
    const std::uint8_t header = input.Byte();
    switch (header >> 6) {
      case 0:
        return AddZeros(1 + (header & 63));
      case 1:
        return AddZeros(static_cast<std::int64_t>(input.Word16() + 1) << (header & 7));
      case 2:
        return AddBytes(input.Bytes(1 + (header & 63)));
    }
    switch ((header >> 4) & 3) {
      case 0:
        return EndCall();
      case 1: {
        const std::int64_t length = static_cast<std::int64_t>(input.Word16() + 1) << (header & 3);
        return AddRepeated(static_cast<std::uint8_t>(input.Byte() | 1), length);
      }
      case 2:
        return EmptyCall((header & 1) ? -1 : 0);
      default:
        return SetSize(static_cast<std::int64_t>(input.Word16()) << (2 * (header & 15)));
    }
  }

  std::int64_t Room() const {
    const std::int64_t total = settings_.totalLimit - total_;
    if (settings_.callLimit == 0) return total;
    return std::min(total, settings_.callLimit - static_cast<std::int64_t>(call_.size()));
  }

  // Appends bytes to the pending call, ending calls where the limit says.
  template <class AppendPiece>
  void Add(std::int64_t length, AppendPiece appendPiece) {
    while (length > 0 && total_ < settings_.totalLimit) {
      const std::int64_t piece = std::min(length, Room());
      appendPiece(static_cast<std::size_t>(piece));
      total_ += piece;
      length -= piece;
      if (settings_.callLimit > 0 &&
          static_cast<std::int64_t>(call_.size()) == settings_.callLimit) {
        EndCall();
      }
    }
  }

  // The pending call's runs grow with every piece: a piece of the kind of the last run
  // lengthens it.
  void AppendRun(bool zero, std::size_t length) {
    if (!runs_.empty() && runs_.back().zero == zero) {
      runs_.back().length += static_cast<std::int64_t>(length);
    } else {
      runs_.push_back({zero, static_cast<std::int64_t>(length), call_.size()});
    }
  }

  // Where the next byte of the pending call lands in the file.
  std::int64_t NextOffset() const { return position_ + static_cast<std::int64_t>(call_.size()); }

  void AddZeros(std::int64_t length) {
    Add(length, [this](std::size_t piece) {
      AppendRun(true, piece);
      call_.resize(call_.size() + piece, 0);
    });
  }

  void AddRepeated(std::uint8_t value, std::int64_t length) {
    Add(length, [this, value](std::size_t piece) {
      expected_.Put(NextOffset(), std::string(piece, static_cast<char>(value)));
      AppendRun(false, piece);
      call_.resize(call_.size() + piece, value);
    });
  }

  void AddBytes(const std::string& bytes) {
    std::size_t at = 0;
    Add(static_cast<std::int64_t>(bytes.size()), [this, &bytes, &at](std::size_t piece) {
      const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data()) + at;
      expected_.Write(NextOffset(), data, piece);
      for (std::size_t i = 0; i < piece; ++i) {
        AppendRun(data[i] == 0, 1);
        call_.push_back(data[i]);
      }
      at += piece;
    });
  }

  void EndCall() {
    if (call_.empty()) return;
    const std::int32_t count = static_cast<std::int32_t>(call_.size());
    writer_.Write(call_.data(), count);
    recorder_.File().runs.clear();
    recorder_.Write(call_.data(), count);
    FUZZ_CHECK(SameRuns(recorder_.File().runs, runs_, call_.data()),
               "call of " + std::to_string(count) + " bytes");
    position_ += count;
    furthest_ = std::max(furthest_, position_);
    call_.clear();
    runs_.clear();
  }

  void EmptyCall(std::int32_t count) {
    EndCall();
    const std::uint8_t byte = 0x41;
    writer_.Write(&byte, count);
    recorder_.File().runs.clear();
    recorder_.Write(&byte, count);
    FUZZ_CHECK(recorder_.File().runs.empty(), "count " + std::to_string(count));
  }

  // Moves the position; only without a scheduled failure, whose outcome would then depend
  // on what was overwritten.
  void SetSize(std::int64_t size) {
    if (settings_.failure != FailureKind::None) return;
    EndCall();
    FUZZ_CHECK(writer_.SetSize(size) == (size > 0), "size " + std::to_string(size));
    FUZZ_CHECK(recorder_.SetSize(size) == (size > 0), "size " + std::to_string(size));
    if (size <= 0) return;
    FUZZ_CHECK(recorder_.File().movedTo.back() == size, "size " + std::to_string(size));
    setSizeCalled_ = true;
    position_ = size;
    furthest_ = std::max(furthest_, position_);
  }

  const Settings& settings_;
  TSparseFile& writer_;
  TSparseFileWith<RecordingOps> recorder_{kPath};
  ExpectedFile expected_;
  std::vector<std::uint8_t>& call_;
  std::vector<ExpectedRun> runs_;
  std::int64_t position_ = 0;
  std::int64_t total_ = 0;
  bool setSizeCalled_ = false;
  std::int64_t furthest_ = 0;
};

// ---- Checks ----

Ranges RangesOf(const ExpectedFile::Extents& extents) {
  Ranges ranges;
  for (const auto& [offset, bytes] : extents) {
    ranges.push_back({offset, offset + static_cast<std::int64_t>(bytes.size())});
  }
  return ranges;
}

std::string ExpectedBytes(const ExpectedFile::Extents& extents, const fake::ByteRange& range) {
  std::string bytes(static_cast<std::size_t>(range.end - range.start), '\0');
  for (const auto& [offset, data] : extents) {
    const std::int64_t from = std::max(offset, range.start);
    const std::int64_t to = std::min(offset + static_cast<std::int64_t>(data.size()), range.end);
    if (from < to) {
      bytes.replace(static_cast<std::size_t>(from - range.start),
                    static_cast<std::size_t>(to - from), data,
                    static_cast<std::size_t>(from - offset), static_cast<std::size_t>(to - from));
    }
  }
  return bytes;
}

// Outside the expected data and the file's allocated ranges both read as zeros, so the
// bytes inside either are all that need comparing.
void CheckContent(const ExpectedFile::Extents& expected, const Ranges& allocated) {
  Ranges compared = RangesOf(expected);
  compared.insert(compared.end(), allocated.begin(), allocated.end());
  for (const fake::ByteRange& range : Merged(compared)) {
    const std::string actual =
        fake::FileBytesAt(kPath, range.start, static_cast<std::size_t>(range.end - range.start));
    const std::string wanted = ExpectedBytes(expected, range);
    if (actual == wanted) continue;
    std::size_t differs = 0;
    while (differs < actual.size() && differs < wanted.size() &&
           actual[differs] == wanted[differs]) {
      ++differs;
    }
    FUZZ_CHECK(false, "content differs at offset " +
                          std::to_string(range.start + static_cast<std::int64_t>(differs)));
  }
}

// The unit ranges less the unit numbered `skipped`.
Ranges Without(const Ranges& units, std::int64_t skipped) {
  Ranges kept;
  for (const fake::ByteRange& range : units) {
    if (skipped < range.start || skipped >= range.end) {
      kept.push_back(range);
      continue;
    }
    if (range.start < skipped) kept.push_back({range.start, skipped});
    if (skipped + 1 < range.end) kept.push_back({skipped + 1, range.end});
  }
  return kept;
}

// `skipped`: a unit whose allocation is not compared, or -1.
void CheckAllocation(const ExpectedFile::Extents& expected, const Ranges& allocated,
                     std::int64_t unit, std::int64_t skipped) {
  const Ranges wanted = Without(UnitsOf(RangesOf(expected), unit), skipped);
  const Ranges actual = Without(UnitsOf(allocated, unit), skipped);
  FUZZ_CHECK(actual == wanted, "allocated units:" + Describe(actual) + "\nunits with data:" +
                                   Describe(wanted) + "\nallocated bytes:" + Describe(allocated));
}

void CheckClosedCleanly() {
  FUZZ_CHECK(fake::OpenFileCount() == 0, "a file was left open");
  FUZZ_CHECK(fake::Misuses().empty(), "misuse: " + fake::Misuses().front());
  FUZZ_CHECK(fake::IsMarkedSparse(kPath), "the file is not marked sparse");
}

// Without a failure: all of the content, the full length and the literal loop's allocation.
void CheckComplete(const Feeder& feeder, bool closed, platform::ErrorCode failure,
                   std::uint32_t unit) {
  FUZZ_CHECK(closed && failure == platform::kErrorSuccess,
             "the writer reports failure " + std::to_string(failure));
  const std::int64_t length = fake::FileLength(kPath);
  FUZZ_CHECK(length == feeder.Position(), "length " + std::to_string(length) + ", position " +
                                              std::to_string(feeder.Position()));
  if (!feeder.SetSizeCalled())
    FUZZ_CHECK(length == feeder.Total(), "length " + std::to_string(length));
  const ExpectedFile::Extents expected = feeder.Expected().Before(length);
  const Ranges allocated = fake::AllocatedRanges(kPath);
  CheckContent(expected, allocated);
  // A file cut short by a move back keeps the whole unit where it ends if that unit was
  // written whole before; the allocation of that one unit is not compared.
  const bool cutInUnit = feeder.Furthest() > length && length % unit != 0;
  CheckAllocation(expected, allocated, unit, cutInUnit ? length / unit : -1);
}

// After a failure: reported, and the file a correct prefix of the content.
void CheckFailed(const Feeder& feeder, bool closed, platform::ErrorCode failure, FailureKind kind) {
  FUZZ_CHECK(!closed, "the writer does not report the failure");
  FUZZ_CHECK(failure != platform::kErrorSuccess, "no failure code");
  if (kind != FailureKind::ShortWrite) {
    FUZZ_CHECK(failure == kInjectedCode, "failure code " + std::to_string(failure));
  }
  const std::int64_t length = fake::FileLength(kPath);
  FUZZ_CHECK(length <= feeder.Total(),
             "length " + std::to_string(length) + " of " + std::to_string(feeder.Total()));
  CheckContent(feeder.Expected().Before(length), fake::AllocatedRanges(kPath));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  const Settings settings = ReadSettings(input);
  fake::Reset();
  fake::AddVolume("C:\\", "NTFS", settings.unit);

  TSparseFile writer(kPath);
  FUZZ_CHECK(writer.IsOpen() && writer.IsSparse(), "the file did not open");
  ScheduleFailure(settings);
  static std::vector<std::uint8_t> buffer;
  Feeder feeder(settings, writer, buffer);
  feeder.Run(input);
  const bool closed = writer.Close();
  const platform::ErrorCode failure = writer.Failure();
  FUZZ_CHECK(writer.Close() == closed, "a second Close answers differently");

  CheckClosedCleanly();
  const bool failed = settings.failure != FailureKind::None && fake::UnfiredFailures() == 0;
  // A short write may be completed by writing the rest; then nothing failed.
  const bool completed = settings.failure == FailureKind::ShortWrite && closed;
  if (failed && !completed) {
    CheckFailed(feeder, closed, failure, settings.failure);
  } else {
    CheckComplete(feeder, closed, failure, settings.unit);
  }
  return 0;
}
