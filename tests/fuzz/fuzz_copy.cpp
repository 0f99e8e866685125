// The whole sparse copy on the fake machine, from a source the input lays out in runs of
// data, written zeros and holes; with units of 512 bytes to 1 MiB, a volume that hides its
// holes, one worker or two, and one read or write that fails or is cut short. Without a
// failure the copy holds the source's bytes and is allocated exactly in the units that hold
// data, and no unit of a hole is read; after one it holds a prefix of them, allocated only
// there. Its seeds, replayed on every build, lay out data, zeros and holes on the edges of
// 2049-byte blocks, units and chunks, and every byte value alone in a unit.
//
// Input: a byte of settings (bits 0-1 the unit, bit 2 hidden holes, bit 3 two workers), a
// byte for the failure (bits 0-1: none, a read, a write, a write cut short; bits 2-7 which
// call), then three bytes per run: its step (bits 0-1: 1, 2049, 4096 or 65536 bytes; bit 2:
// a hole), how many steps long it is, and the byte it is filled with (0: written zeros).
#include <cstdlib>

#include "SparseUtils/SparseOperations.h"
#include "failure/Errors.h"
#include "tests/fake/Fake.h"

namespace {

void Check(bool holds) {
  if (!holds) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::int64_t steps[] = {1, 2049, 4096, 65536}, units[] = {512, 4096, 65536, 1 << 20};
  const std::int64_t unit = units[data[0] & 3];
  std::string content;
  std::vector<fake::DataPiece> pieces;
  for (std::size_t at = 2; at + 2 < size && content.size() < (4 << 20); at += 3) {
    const std::int64_t start = std::int64_t(content.size());
    content.append(steps[data[at] & 3] * data[at + 1], (data[at] & 4) ? '\0' : char(data[at + 2]));
    if ((data[at] & 4) == 0) pieces.push_back({start, content.substr(start)});
  }
  fake::Reset();
  fake::AddVolume("C:\\", "NTFS", unit);
  fake::machine.processors = data[0] & 8 ? 2 : 1;
  if (data[0] & 4) fake::Fail("NextDataRange", 1, 1, true);
  fake::AddSparseFile("C:\\src", std::int64_t(content.size()), pieces);
  const char* kinds[] = {"", "ReadAt", "WriteAt", "WriteAt"};
  fake::Fail(kinds[data[1] & 3], 1 + (data[1] >> 2), (data[1] & 3) == 3 ? 0 : 5, false, 7);
  bool raised = false;
  try {
    Check(SparseCopyFile("C:\\src", "C:\\dst", false));
  } catch (const Exception&) {
    raised = true;
  }
  Check(fake::OpenHandles() == 0);
  const std::string copied = fake::FileBytes("C:\\dst");
  const std::set<std::int64_t> allocated = fake::AllocatedUnits("C:\\dst", unit);
  const std::set<std::int64_t> dataUnits = fake::UnitsHoldingData(content, unit);
  Check(copied == content.substr(0, copied.size()));
  for (const std::int64_t allocatedUnit : allocated) Check(dataUnits.count(allocatedUnit) > 0);
  Check(raised || (copied == content && allocated == dataUnits));
  // A read starts in a unit that holds data, or at the end of the file, where it finds the end.
  const std::set<std::int64_t> sourceUnits = fake::AllocatedUnits("C:\\src", unit);
  for (const std::string& read : fake::Calls("ReadAt")) {
    const std::int64_t offset = std::stoll(read.substr(read.find("o=") + 2));
    Check((data[0] & 4) || sourceUnits.count(offset / unit) ||
          offset >= std::int64_t(content.size()) / unit * unit);
  }
  return 0;
}
