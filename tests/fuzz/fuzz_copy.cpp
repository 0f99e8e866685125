// The whole sparse copy on the fake machine, from a source the input lays out in runs of data,
// written zeros and holes, with units of 512 bytes to 1 MiB, hidden holes, one or two workers,
// reads, writes or lengths that fail or fall short, and interrupts. It checks what every copy
// must hold: no write extends the file and the length never runs ahead of a chunk whose data
// was read, the length reaches the source's only with the last byte, written after all others
// (or with the final length, set after every write), no unit of a hole is read, only units with
// data are allocated, the failure first in file order decides the error (a read past the end comes
// after the end), the copy ends where it struck with only right bytes, and an interrupted copy is
// cut to right bytes. The seeds put runs on 2049-byte, unit and chunk edges, every byte alone in a
// unit, each failure.
//
// Input: a byte of settings (bits 0-1 the unit, bit 2 hidden holes, bit 3 two workers, bit 4
// an interrupt before the transfer bits 5-7 count), a byte for the failures (bits 0-2 which, see
// kFailures; bits 3-7 from which call), then three bytes per run: its step (bits 0-1: 1, 2049,
// 4096 or 65536 bytes; bit 2: a hole), its length in steps, its byte (0: written zeros).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "SparseUtils/SparseOperations.h"
#include "failure/Errors.h"
#include "tests/fake/Fake.h"

namespace {

void Check(bool holds) {
  if (!holds) std::abort();
}

std::int64_t OffsetOf(const std::string& call) {
  return std::stoll(call.substr(call.find("o=") + 2));
}
std::int64_t EndOf(const std::string& call) {
  return OffsetOf(call) + std::stoll(call.substr(call.find("n=") + 2));
}
bool IsCallOf(const std::string& call, const char* kind) { return call.find(kind) == 0; }

// clang-format off
const std::vector<fake::TRule> kFailures[] = {
    {}, {{"ReadAt", 0, 23, false, 0}}, {{"WriteAt", 0, 5, false, 0}},
    {{"WriteAt", 0, 0, false, 0}},                                    // nothing written: full
    {{"ReadAt", 0, 0, true, 4099}}, {{"WriteAt", 0, 0, true, 4099}},  // read or written short
    {{"SetLength", 0, 112, false, 0}},                                // a step, or the end
    {{"SetLength", 1, 5, true, 0}, {"WriteAt", 0, 112, false, 0}}};   // the end after a write
// clang-format on

// The error the failures must raise, as "EReadError 23"; "" for none. `stop` is where the
// copy must end when its end could be set.
std::string Expected(std::int64_t length, std::int64_t& stop) {
  std::string expected;
  stop = length;
  for (const std::string& call : fake::machine.calls) {
    if (call.back() != '!') continue;
    const fake::TRule& rule =
        *std::find_if(fake::machine.rules.begin(), fake::machine.rules.end(),
                      [&](auto& r) { return IsCallOf(call, r.kind.c_str()); });
    const bool read = IsCallOf(call, "ReadAt");
    if ((read || IsCallOf(call, "WriteAt")) && rule.shortBytes == 0 &&
        (expected.empty() || OffsetOf(call) < stop) && (!read || OffsetOf(call) <= length)) {
      stop = OffsetOf(call);
      expected =
          (read ? "EReadError " : "EWriteError ") + std::to_string(rule.code ? rule.code : 112);
    }
  }
  return expected;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::int64_t steps[] = {1, 2049, 4096, 65536}, units[] = {512, 4096, 65536, 1 << 20};
  const std::int64_t unit = units[data[0] & 3];
  std::string content;
  std::vector<fake::TDataPiece> pieces;
  for (std::size_t at = 2; at + 2 < size && content.size() < (4 << 20); at += 3) {
    const std::int64_t start = std::int64_t(content.size());
    content.append(steps[data[at] & 3] * data[at + 1], (data[at] & 4) ? '\0' : char(data[at + 2]));
    if ((data[at] & 4) == 0) pieces.push_back({start, content.substr(start)});
  }
  const std::int64_t length = std::int64_t(content.size());
  fake::Reset();
  fake::AddVolume("C:\\", true, unit);
  fake::machine.processors = data[0] & 8 ? 2 : 1;
  fake::AddSparseFile("C:\\src", length, pieces);
  fake::machine.rules = kFailures[data[1] & 7];
  for (fake::TRule& rule : fake::machine.rules) rule.nth = std::max(rule.nth, 1 + (data[1] >> 3));
  if (data[0] & 4) fake::Fail("NextDataRange", 1, 1, true);
  TCopyWatch watch;
  std::atomic<int> transfers{0};
  if (data[0] & 16) {
    fake::machine.beforeTransfer = [&](std::int64_t) {
      if (transfers++ != data[0] >> 5) return;
      fake::Interrupt();  // and the workers see it before their next piece
      while (!watch.Interrupted()) std::this_thread::yield();
    };
  }
  std::string raised;
  fake::machine.interruptHandler = [](void* context) {
    static_cast<TCopyWatch*>(context)->Interrupt();
  };
  fake::machine.interruptContext = &watch;
  try {
    Check(SparseCopyFile("C:\\src", "C:\\dst", std::nullopt, watch));
  } catch (const Exception& error) {
    const std::string& message = error.Message();
    raised = error.ClassName() +
             (" " + std::to_string(std::stoi(message.substr(message.rfind("error ") + 6))));
  }
  const bool interrupted = transfers > data[0] >> 5;
  try {  // the process ends once the interrupt's handler returns
    if (interrupted) platform::AwaitProcessEnd();
  } catch (const fake::TProcessEnded&) {
  }
  Check(fake::OpenHandles() == 0);
  const std::string copied = fake::FileBytes("C:\\dst");
  const std::set<std::int64_t> allocated = fake::AllocatedUnits("C:\\dst", unit);
  for (const std::int64_t u : allocated) {  // only units with data; all of them when copied
    Check(content.find_first_not_of('\0', u * unit) < std::size_t((u + 1) * unit));
  }
  const std::set<std::int64_t> sourceUnits = fake::AllocatedUnits("C:\\src", unit);
  const std::vector<std::string>& calls = fake::machine.calls;
  std::string lastLength = "SetLength o=0";  // the length set last, " !" when that failed
  bool writtenSince = false;                 // a write came after it
  // The source's last byte, held back by the write that ends there, and how far a write goes
  // before it would extend the file: that byte's write starts at the length the steps set.
  const auto isLastByte = [&](const std::string& c) {
    return IsCallOf(c, "WriteAt") && OffsetOf(c) == length - 1 && EndOf(c) == length;
  };
  const auto reach = [&](const std::string& c) { return isLastByte(c) ? OffsetOf(c) : EndOf(c); };
  for (std::size_t at = 0; at < calls.size(); ++at) {
    const std::string& call = calls[at];
    const bool writesFollow = std::any_of(calls.begin() + at + 1, calls.end(),
                                          [](auto& c) { return IsCallOf(c, "WriteAt"); });
    // The length grows right before a write, a step of 4 MiB past its end at most, and never to
    // the source's length while writes are to come.
    Check(!IsCallOf(call, "SetLength") || !writesFollow ||
          (OffsetOf(call) < length &&
           std::any_of(calls.begin() + at, calls.end(), [&](const std::string& later) {
             return IsCallOf(later, "WriteAt") && reach(later) <= OffsetOf(call) &&
                    reach(later) >= OffsetOf(call) - (4 << 20);
           })));
    if (IsCallOf(call, "SetLength")) lastLength = call;
    writtenSince = IsCallOf(call, "WriteAt") || (writtenSince && !IsCallOf(call, "SetLength"));
    // No write extends the file, where the length could be set, and the one that ends it comes
    // last; a read starts in a unit with data, or where the end is.
    Check(!IsCallOf(call, "WriteAt") || lastLength.back() == '!' ||
          reach(call) <= OffsetOf(lastLength));
    Check(!isLastByte(call) || lastLength.back() == '!' || !writesFollow);
    Check(!IsCallOf(call, "ReadAt") || (data[0] & 4) || OffsetOf(call) >= length / unit * unit ||
          sourceUnits.count(OffsetOf(call) / unit));
  }
  std::int64_t stop;
  std::string expected = Expected(length, stop);
  const bool endFailed = !writtenSince && lastLength.back() == '!';  // the final length failed
  if (expected.empty() && endFailed)
    expected = "EWriteError " + std::to_string(fake::machine.rules[0].code);
  // The last byte goes in only once every other is, where the steps held it back.
  const bool stepsEnded = std::any_of(calls.begin(), calls.end(), [](const std::string& c) {
    return IsCallOf(c, "SetLength") && c.back() == '!';
  });
  const bool lastByteIn = std::any_of(calls.begin(), calls.end(), [&](const std::string& c) {
    return isLastByte(c) && c.back() != '!';
  });
  if (interrupted) {  // cut to bytes known to be right, shorter unless complete, if it could be
    Check(lastLength.back() == '!' || (content.compare(0, copied.size(), copied) == 0 &&
                                       (copied.size() < std::size_t(length) || copied == content)));
    Check(!lastByteIn || stepsEnded || copied == content);
    return 0;
  }
  Check(raised == expected);
  Check(!lastByteIn || stepsEnded || stop == length);
  // Where the end could not be set, the copy keeps the length it had; the error says so.
  const std::size_t right = std::min<std::size_t>(copied.size(), endFailed ? stop : length);
  Check(copied.size() <= std::size_t(length) && copied.compare(0, right, content, 0, right) == 0);
  Check(!raised.empty() || copied == content);
  Check(endFailed || std::int64_t(copied.size()) == stop);
  return 0;
}
