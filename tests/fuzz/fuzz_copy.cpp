// The whole sparse copy, SparseCopyFile, from a source file to a new destination on the fake
// machine's drive C:, whose allocation unit is 512, 4096, 65536 bytes or 1 MiB and which
// tells where a file's holes are or hides them, with one worker or two. The source is built
// from pieces: bytes of the input, runs of one non-zero byte, sparse patterns, written
// (allocated) zeros and holes, with lengths that end them near 2049-byte blocks, the units
// and the copy's 512 KiB chunks.
//
// Without a failure the copy must succeed, and the destination be as long as the source,
// hold its bytes and be allocated in exactly the units that hold a non-zero byte. With one
// read or write failing, the copy must raise the error of the side that failed and leave a
// destination that is a correct prefix of the source, allocated only in units that hold
// data; a read or write that transfers less than it was asked for, but something, is
// completed by another, and a data-range question or a first length that fails costs
// nothing: the copy must succeed. Either way every file is closed and no handle misused.
//
// Input: a settings byte (bits 0-1 the unit, bit 2 the volume hides holes, bit 3 an older
// destination exists, bits 4-6 the failure, bit 7 with bits 6-7 of the next byte the length
// of a short transfer), a byte whose bits 0-4 number the failing call among those of its
// kind and whose bit 5 asks for two workers, then pieces of the source, one header byte
// each (see SourceBuilder::Step).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "SparseUtils/SparseOperations.h"
#include "failure/Errors.h"
#include "tests/fake/FakePlatform.h"
#include "tests/fuzz/ByteRanges.h"
#include "tests/fuzz/FuzzSupport.h"

// Fresh memory is filled with non-zero bytes, so that bytes the destination writes without
// having set them differ from the zeros they should be.
extern "C" const char* __asan_default_options() {
  return "malloc_fill_byte=190:max_malloc_fill_size=1048576";
}

namespace {

const std::string kSource = "C:\\work\\src";
const std::string kDest = "C:\\work\\dst";
constexpr std::int64_t kKiB = 1024;
constexpr std::int64_t kMiB = 1024 * kKiB;
// Bytes of the source held in memory (its data and written zeros), which the fake copies
// and the destination's writes join to what they touch, and bytes the copy reads, which
// include the holes of a volume that hides them. Holes the copy learns about cost nothing,
// so the file may be far longer.
constexpr std::int64_t kAllocatedLimit = 1 * kMiB;
constexpr std::int64_t kReadLimit = 8 * kMiB;
constexpr std::int64_t kLengthLimit = 64 * kMiB;
constexpr std::int64_t kBlock = 2049;
constexpr platform::ErrorCode kInjectedCode = 112;

// ---- Settings ----

enum class FailureKind { None, Read, Write, ShortRead, ShortWrite, DataRange, FirstLength };

struct Settings {
  std::uint32_t unit = 4096;
  bool answersDataRanges = true;
  bool destinationExists = false;
  FailureKind failure = FailureKind::None;
  std::int64_t failingCall = 1;
  unsigned workers = 1;
  std::uint32_t shortBytes = 0;
};

Settings ReadSettings(FuzzInput& input) {
  const std::uint8_t first = input.Byte();
  const std::uint8_t second = input.Byte();
  Settings settings;
  const std::uint32_t units[] = {512, 4096, 65536, 1 << 20};
  settings.unit = units[first & 3];
  settings.answersDataRanges = (first & 4) == 0;
  settings.destinationExists = (first & 8) != 0;
  const FailureKind failures[] = {FailureKind::None,      FailureKind::None,
                                  FailureKind::Read,      FailureKind::Write,
                                  FailureKind::ShortRead, FailureKind::ShortWrite,
                                  FailureKind::DataRange, FailureKind::FirstLength};
  settings.failure = failures[(first >> 4) & 7];
  settings.failingCall = 1 + (second & 31);
  settings.workers = (second & 32) != 0 ? 2 : 1;
  // A read that transfers nothing means the end of the file, so short reads take 1 or more.
  const std::uint32_t shortBytes[] = {0, 1, 511, 2049, 4096, 65537, 131072, 262143};
  settings.shortBytes = shortBytes[((first >> 7) << 2) | (second >> 6)];
  if (settings.failure == FailureKind::ShortRead) {
    settings.shortBytes = std::max<std::uint32_t>(settings.shortBytes, 1);
  }
  return settings;
}

void ScheduleFailure(const Settings& settings) {
  switch (settings.failure) {
    case FailureKind::None:
      return;
    case FailureKind::Read:
      return fake::FailCall("ReadAt", settings.failingCall, kInjectedCode);
    case FailureKind::Write:
      return fake::FailCall("WriteAt", settings.failingCall, kInjectedCode);
    case FailureKind::ShortRead:
      return fake::ShortenCall("ReadAt", settings.failingCall, settings.shortBytes);
    case FailureKind::ShortWrite:
      return fake::ShortenCall("WriteAt", settings.failingCall, settings.shortBytes);
    case FailureKind::DataRange:
      return fake::FailCall("NextDataRange", settings.failingCall, kInjectedCode);
    case FailureKind::FirstLength:
      return fake::FailCall("SetLength", 1, kInjectedCode);
  }
}

// ---- The source ----

// Builds the source from the pieces the input describes: its allocated data (consecutive
// allocated pieces joined, so the fake holds them as they would lie on disk), its length,
// and the ranges that hold a non-zero byte.
class SourceBuilder {
 public:
  explicit SourceBuilder(const Settings& settings) : settings_(settings) {}

  void Run(FuzzInput& input) {
    while (!input.Empty() && !full_) Step(input);
  }

  std::int64_t Length() const { return length_; }
  const std::vector<fake::DataPiece>& Data() const { return data_; }
  // Ranges that hold every non-zero byte, and zeros only where they fill no unit.
  const Ranges& NonZero() const { return nonZero_; }

 private:
  // One piece: 000xxxxx 1-32 bytes of the input; 001xxxxx a run of one non-zero byte (the
  // next byte); 010xxxxx written zeros; 011xxxxx a hole; 100xxxxx a pattern of zeros with a
  // non-zero byte every so often (the next byte); 101xxxxx bytes of the input up to a
  // boundary; 110xxxxx a hole; 111xxxxx a run of one non-zero byte. All but the first take
  // their length from x and one more byte (see ToBoundary).
  void Step(FuzzInput& input) {
    const std::uint8_t header = input.Byte();
    const std::uint8_t x = header & 31;
    switch (header >> 5) {
      case 0:
        return AddBytes(input.Bytes(1 + x));
      case 1:
      case 7: {
        const std::uint8_t value = input.Byte();
        return AddRepeated(value != 0 ? value : 0x5A, ToBoundary(x, input.Byte()));
      }
      case 2:
        return AddWrittenZeros(ToBoundary(x, input.Byte()));
      case 3:
      case 6:
        return AddHole(ToBoundary(x, input.Byte()));
      case 4: {
        const std::uint8_t shape = input.Byte();
        return AddPattern(shape, ToBoundary(x, input.Byte()));
      }
      default: {
        const std::int64_t length = std::min<std::int64_t>(ToBoundary(x, input.Byte()), 8192);
        std::string bytes = input.Bytes(static_cast<std::size_t>(length));
        bytes.resize(static_cast<std::size_t>(length), static_cast<char>(0xA5));
        return AddBytes(bytes);
      }
    }
  }

  // A length that ends the piece near a boundary of the file: x's bits 0-2 choose the grid
  // (the copy's reads, units, windows), bits 3-4 and the bits 5-7 of `extra` how many grid
  // steps past the next one (at most 3 on the grids of a window's size or more, so that
  // pieces stay a few MiB), the bits 0-4 of `extra` the distance from it, -16 to 15. On
  // grid 0 the length is simply 1-1024.
  std::int64_t ToBoundary(std::uint8_t x, std::uint8_t extra) const {
    const std::int64_t grids[] = {0, 512, kBlock, 4096, 64 * kKiB, 128 * kKiB, 256 * kKiB, kMiB};
    const std::int64_t grid = grids[x & 7];
    if (grid == 0) return 1 + extra + 256 * (x >> 3);
    std::int64_t steps = (x >> 3) & 3;
    if (grid < 256 * kKiB) steps += 4 * (extra >> 5);
    const std::int64_t distance = (extra & 31) - 16;
    std::int64_t end = (length_ / grid + 1 + steps) * grid + distance;
    while (end <= length_) end += grid;
    return end - length_;
  }

  // What a piece costs: nothing (a hole the copy learns about), a read (a hole the volume
  // hides), or memory and a read (allocated bytes).
  enum class Cost { None, Read, Allocated };

  // Shortens a piece to what the limits leave; once they are reached, no piece follows.
  std::int64_t Fit(std::int64_t length, Cost cost) {
    std::int64_t room = kLengthLimit - length_;
    if (cost != Cost::None) room = std::min(room, kReadLimit - read_);
    if (cost == Cost::Allocated) room = std::min(room, kAllocatedLimit - allocated_);
    if (length >= room) full_ = true;
    length = std::max<std::int64_t>(0, std::min(length, room));
    if (cost != Cost::None) read_ += length;
    if (cost == Cost::Allocated) allocated_ += length;
    return length;
  }

  // Appends allocated bytes, joined to the last data when it ends where they begin.
  std::string& Allocate() {
    if (data_.empty() ||
        data_.back().offset + static_cast<std::int64_t>(data_.back().bytes.size()) != length_) {
      data_.push_back({length_, std::string()});
    }
    return data_.back().bytes;
  }

  // Notes [start, end) as holding non-zero bytes. A range is joined to the last one across
  // fewer zeros than the smallest unit: they fill no unit, so the units the ranges touch stay
  // the same, and the ranges stay few.
  void NoteNonZero(std::int64_t start, std::int64_t end) {
    if (!nonZero_.empty() && start - nonZero_.back().end < 512) {
      nonZero_.back().end = end;
    } else {
      nonZero_.push_back({start, end});
    }
  }

  void AddBytes(const std::string& given) {
    const auto length =
        static_cast<std::size_t>(Fit(static_cast<std::int64_t>(given.size()), Cost::Allocated));
    if (length == 0) return;
    Allocate().append(given, 0, length);
    for (std::size_t i = 0; i < length; ++i) {
      const std::int64_t at = length_ + static_cast<std::int64_t>(i);
      if (given[i] != 0) NoteNonZero(at, at + 1);
    }
    length_ += static_cast<std::int64_t>(length);
  }

  void AddRepeated(std::uint8_t value, std::int64_t length) {
    length = Fit(length, Cost::Allocated);
    if (length == 0) return;
    Allocate().append(static_cast<std::size_t>(length), static_cast<char>(value));
    NoteNonZero(length_, length_ + length);
    length_ += length;
  }

  void AddWrittenZeros(std::int64_t length) {
    length = Fit(length, Cost::Allocated);
    if (length == 0) return;
    Allocate().append(static_cast<std::size_t>(length), '\0');
    length_ += length;
  }

  // A hole is read, as zeros, only when the volume hides where it is.
  void AddHole(std::int64_t length) {
    length_ += Fit(length, settings_.answersDataRanges ? Cost::None : Cost::Read);
  }

  // Zeros with the byte 0x80 | shape at every stride-th offset of the piece, the first one
  // included: units with one byte of data between units of zeros.
  void AddPattern(std::uint8_t shape, std::int64_t length) {
    const std::int64_t strides[] = {2, 3, 511, 513, kBlock, 4095, 4097, 64 * kKiB + 1};
    const std::int64_t stride = strides[shape & 7];
    length = Fit(length, Cost::Allocated);
    if (length == 0) return;
    std::string& bytes = Allocate();
    const std::size_t start = bytes.size();
    bytes.append(static_cast<std::size_t>(length), '\0');
    for (std::int64_t i = 0; i < length; i += stride) {
      bytes[start + static_cast<std::size_t>(i)] = static_cast<char>(0x80 | shape);
      NoteNonZero(length_ + i, length_ + i + 1);
    }
    length_ += length;
  }

  const Settings& settings_;
  std::vector<fake::DataPiece> data_;
  Ranges nonZero_;
  std::int64_t length_ = 0;
  std::int64_t read_ = 0;
  std::int64_t allocated_ = 0;
  bool full_ = false;
};

// ---- Checks ----

// True when every range of `inner` lies within one of `outer` (both merged).
bool Covers(const Ranges& outer, const Ranges& inner) {
  return std::all_of(inner.begin(), inner.end(), [&outer](const fake::ByteRange& range) {
    return std::any_of(outer.begin(), outer.end(), [&range](const fake::ByteRange& around) {
      return around.start <= range.start && range.end <= around.end;
    });
  });
}

// The source's bytes in [start, start + count), holes as zeros, into `bytes`.
void ReadSource(const SourceBuilder& source, std::int64_t start, std::size_t count,
                std::string& bytes) {
  bytes.assign(count, '\0');
  const std::int64_t end = start + static_cast<std::int64_t>(count);
  const std::vector<fake::DataPiece>& data = source.Data();
  auto piece = std::upper_bound(
      data.begin(), data.end(), start,
      [](std::int64_t offset, const fake::DataPiece& next) { return offset < next.offset; });
  if (piece != data.begin()) --piece;
  for (; piece != data.end() && piece->offset < end; ++piece) {
    const std::int64_t from = std::max(piece->offset, start);
    const std::int64_t to =
        std::min(piece->offset + static_cast<std::int64_t>(piece->bytes.size()), end);
    if (from < to) {
      bytes.replace(static_cast<std::size_t>(from - start), static_cast<std::size_t>(to - from),
                    piece->bytes, static_cast<std::size_t>(from - piece->offset),
                    static_cast<std::size_t>(to - from));
    }
  }
}

// Every byte of the destination below `length` equals the source's byte at the same offset.
// Outside the source's non-zero bytes and the destination's allocated ranges both read as
// zeros, so the bytes inside either are all that need comparing; they are compared a piece
// at a time, so that no large buffer is needed.
void CheckContent(const SourceBuilder& source, const Ranges& allocated, std::int64_t length) {
  constexpr std::int64_t kPiece = 64 * kKiB;
  Ranges compared = allocated;
  for (const fake::ByteRange& range : source.NonZero()) {
    if (range.start < length) compared.push_back({range.start, std::min(range.end, length)});
  }
  std::string wanted;
  for (const fake::ByteRange& range : Merged(compared)) {
    for (std::int64_t at = range.start; at < range.end; at += kPiece) {
      const auto count = static_cast<std::size_t>(std::min(kPiece, range.end - at));
      const std::string actual = fake::FileBytesAt(kDest, at, count);
      ReadSource(source, at, count, wanted);
      if (actual == wanted) continue;
      std::size_t differs = 0;
      while (differs < actual.size() && differs < wanted.size() &&
             actual[differs] == wanted[differs]) {
        ++differs;
      }
      const std::string_view shownWanted = std::string_view(wanted).substr(differs, 16);
      const std::string_view shownActual = std::string_view(actual).substr(differs, 16);
      FUZZ_CHECK(false, "content differs at offset " +
                            std::to_string(at + static_cast<std::int64_t>(differs)) +
                            "\nsource:      " + Hex(shownWanted) +
                            "\ndestination: " + Hex(shownActual));
    }
  }
}

void CheckClosedCleanly() {
  FUZZ_CHECK(fake::OpenFileCount() == 0, "a file was left open");
  FUZZ_CHECK(fake::Misuses().empty(), "misuse: " + fake::Misuses().front());
}

// Without a failure: the source's length and content, and allocated exactly in the units
// that hold a non-zero byte.
void CheckComplete(const SourceBuilder& source, const std::string& raised, std::uint32_t unit) {
  FUZZ_CHECK(raised.empty(), "the copy raised " + raised);
  FUZZ_CHECK(fake::IsMarkedSparse(kDest), "the destination is not marked sparse");
  const std::int64_t length = fake::FileLength(kDest);
  FUZZ_CHECK(length == source.Length(),
             "length " + std::to_string(length) + " of " + std::to_string(source.Length()));
  const Ranges allocated = fake::AllocatedRanges(kDest);
  CheckContent(source, allocated, length);
  const Ranges actual = UnitsOf(allocated, unit);
  const Ranges wanted = UnitsOf(source.NonZero(), unit);
  FUZZ_CHECK(actual == wanted, "allocated units:" + Describe(actual) + "\nunits with data:" +
                                   Describe(wanted) + "\nallocated bytes:" + Describe(allocated));
}

// After a failure: a correct prefix of the source, allocated only in units that hold data.
void CheckPrefix(const SourceBuilder& source, std::uint32_t unit) {
  const std::int64_t length = fake::FileLength(kDest);
  FUZZ_CHECK(length <= source.Length(),
             "length " + std::to_string(length) + " of " + std::to_string(source.Length()));
  const Ranges allocated = fake::AllocatedRanges(kDest);
  CheckContent(source, allocated, length);
  const Ranges actual = UnitsOf(allocated, unit);
  FUZZ_CHECK(Covers(UnitsOf(source.NonZero(), unit), actual),
             "allocated units:" + Describe(actual) +
                 "\nsource units with data:" + Describe(UnitsOf(source.NonZero(), unit)));
}

// The error the fired failure must raise: "EReadError" for the source's calls,
// "EWriteError" for the destination's, nothing for what the copy absorbs. A read past the
// end, where a second worker looks for more, comes after the end in file order: the end
// stops the copy first.
std::string ExpectedError(const Settings& settings, std::int64_t length) {
  const std::vector<fake::Injection> injections = fake::Injections();
  FUZZ_CHECK(injections.size() == 1, "failures fired: " + std::to_string(injections.size()));
  const std::string& failed = injections.front().text;
  switch (settings.failure) {
    case FailureKind::Read:
      return std::stoll(failed.substr(failed.find(" o=") + 3)) > length ? "" : "EReadError";
    case FailureKind::ShortRead:
      return "";
    case FailureKind::ShortWrite:
      // A write that transfers nothing has found no room.
      return settings.shortBytes == 0 ? "EWriteError" : "";
    case FailureKind::DataRange:
    case FailureKind::FirstLength:
      return "";
    default:
      return "EWriteError";
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  const Settings settings = ReadSettings(input);
  SourceBuilder source(settings);
  source.Run(input);

  fake::Reset();
  fake::AddVolume("C:\\", "NTFS", settings.unit, settings.answersDataRanges);
  fake::SetProcessorCount(settings.workers);
  fake::AddSparseFile(kSource, source.Length(), source.Data());
  if (settings.destinationExists) {
    // Longer than any source, with data far out: all of it must go.
    fake::AddSparseFile(kDest, kLengthLimit + kMiB, {{0, "older"}, {kLengthLimit, "older"}});
  }
  ScheduleFailure(settings);

  std::string raised;
  try {
    FUZZ_CHECK(SparseCopyFile(kSource, kDest, true), "the copy did not start");
  } catch (const Exception& error) {
    raised = error.ClassName();
    FUZZ_CHECK(raised == "EReadError" || raised == "EWriteError", raised + ": " + error.Message());
  } catch (const std::exception& error) {
    FUZZ_CHECK(false, std::string("unexpected exception: ") + error.what());
  }

  CheckClosedCleanly();
  if (fake::UnfiredFailures() > 0 || settings.failure == FailureKind::None) {
    CheckComplete(source, raised, settings.unit);
    return 0;
  }
  const std::string expected = ExpectedError(settings, source.Length());
  FUZZ_CHECK(raised == expected, "raised \"" + raised + "\" for " +
                                     fake::Injections().front().text + ", expected \"" + expected +
                                     "\"");
  if (expected.empty()) {
    CheckComplete(source, raised, settings.unit);
  } else {
    CheckPrefix(source, settings.unit);
  }
  return 0;
}
