// The whole sparse copy on the fake machine, from a source the input lays out: runs of data,
// written zeros, lone bytes and holes, with lengths that end them near 2049-byte blocks,
// units and the copy's chunks; units of 512 bytes to 1 MiB, a volume that hides its holes,
// one worker or two, and one read or write that fails or is cut short. Without a failure
// the copy holds the source's bytes and is allocated exactly in the units that hold data;
// with one it holds a prefix of them, allocated only there.
//
// Input: a byte of settings (bits 0-1 the unit, bit 2 hidden holes, bit 3 two workers), a
// byte choosing the failure (bits 0-1: none, a read, a write, a write cut short; bits 2-7
// which call), then two bytes per run (see Run).
#include <cstdlib>

#include "SparseUtils/SparseOperations.h"
#include "failure/Errors.h"
#include "tests/fake/Fake.h"

namespace {

void Check(bool holds) {
  if (!holds) std::abort();
}

// Run: bits 0-5 of the first byte times a step (bits 6-7: 1, 2049, 4096 or 65536 bytes),
// plus 0-3 bytes; the second byte's value fills it: 0 written zeros, 1 a hole, 2 one byte of
// data in zeros, any other that byte.
void AddRun(std::uint8_t size, std::uint8_t value, std::string& content,
            std::vector<fake::DataPiece>& pieces) {
  const std::size_t steps[] = {1, 2049, 4096, 65536};
  const std::size_t length = (size & 63) * steps[size >> 6] + value % 4;
  const std::int64_t at = std::int64_t(content.size());
  content.append(length, value > 2 ? char(value) : '\0');
  if (value == 2 && length > 0) content[at + length / 2] = 'x';
  if (value != 1) pieces.push_back({at, content.substr(at)});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint32_t sizes[] = {512, 4096, 65536, 1 << 20};
  const std::uint32_t unit = sizes[data[0] & 3];
  std::string content;
  std::vector<fake::DataPiece> pieces;
  for (std::size_t at = 2; at + 1 < size && content.size() < (3 << 20); at += 2) {
    AddRun(data[at], data[at + 1], content, pieces);
  }
  fake::Reset();
  fake::AddVolume("C:\\", "NTFS", unit, (data[0] & 4) == 0);
  fake::machine.processors = data[0] & 8 ? 2 : 1;
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
  const std::set<std::int64_t> units = fake::AllocatedUnits("C:\\dst", unit);
  if (raised) {
    Check(copied == content.substr(0, copied.size()));
    const std::set<std::int64_t> dataUnits = fake::UnitsHoldingData(content, unit);
    for (const std::int64_t allocated : units) Check(dataUnits.count(allocated) > 0);
  } else {
    Check(copied == content && units == fake::UnitsHoldingData(content, unit));
  }
  return 0;
}
