// Finding the ends of zero runs and data runs a machine word (or a pair of them) at a time.
#pragma once

#include <cstdint>
#include <cstring>

namespace zero_scan {

using Word = std::uint64_t;
constexpr Word kLowBits = 0x0101010101010101ull;
constexpr Word kHighBits = 0x8080808080808080ull;

inline Word LoadWord(const std::uint8_t* at) {
  Word word;
  std::memcpy(&word, at, sizeof word);
  return word;
}

// Non-zero when one of the word's bytes is zero.
inline Word ZeroBytesMask(Word word) { return (word - kLowBits) & ~word & kHighBits; }

constexpr std::ptrdiff_t kBlock = 8 * sizeof(Word);

// Two words side by side, ORed in one instruction where the processor has vector registers.
typedef Word WordPair __attribute__((vector_size(2 * sizeof(Word))));

// The bytes of a 64-byte block ORed together: zero when all of them are.
inline Word OrOfBlock(const std::uint8_t* at) {
  WordPair a, b, c, d;
  std::memcpy(&a, at, sizeof a);
  std::memcpy(&b, at + 16, sizeof b);
  std::memcpy(&c, at + 32, sizeof c);
  std::memcpy(&d, at + 48, sizeof d);
  const WordPair both = (a | b) | (c | d);
  return both[0] | both[1];
}

// Non-zero when one of the block's 64 bytes is zero.
inline Word ZeroBytesMaskOfBlock(const std::uint8_t* at) {
  Word mask = 0;
  for (int i = 0; i < 8; ++i) mask |= ZeroBytesMask(LoadWord(at + 8 * i));
  return mask;
}

}  // namespace zero_scan

// Zero bytes to hand out for the holes of a file. FindNonZero knows them without looking.
inline constexpr std::uint8_t kZeroBlock[4096] = {};

inline bool LiesInZeroBlock(const std::uint8_t* from, const std::uint8_t* end) {
  const auto first = reinterpret_cast<std::uintptr_t>(kZeroBlock);
  return reinterpret_cast<std::uintptr_t>(from) >= first &&
         reinterpret_cast<std::uintptr_t>(end) <= first + sizeof kZeroBlock;
}

// The first byte in [from, end) that is not zero, or `end`.
inline const std::uint8_t* FindNonZero(const std::uint8_t* from, const std::uint8_t* end) {
  using namespace zero_scan;
  if (LiesInZeroBlock(from, end)) return end;
  while (end - from >= kBlock && OrOfBlock(from) == 0) from += kBlock;
  while (end - from >= static_cast<std::ptrdiff_t>(sizeof(Word)) && LoadWord(from) == 0) {
    from += sizeof(Word);
  }
  while (from < end && *from == 0) ++from;
  return from;
}

// The first zero byte in [from, end), or `end`.
inline const std::uint8_t* FindZero(const std::uint8_t* from, const std::uint8_t* end) {
  using namespace zero_scan;
  while (end - from >= kBlock && ZeroBytesMaskOfBlock(from) == 0) from += kBlock;
  while (end - from >= static_cast<std::ptrdiff_t>(sizeof(Word)) &&
         ZeroBytesMask(LoadWord(from)) == 0) {
    from += sizeof(Word);
  }
  while (from < end && *from != 0) ++from;
  return from;
}

// Splits [at, end) into its runs, in order: `zeroRun(length)` for each run of zero bytes,
// `dataRun(start, length)` for each run of other bytes.
template <class ZeroRun, class DataRun>
void SplitIntoRuns(const std::uint8_t* at, const std::uint8_t* const end, ZeroRun zeroRun,
                   DataRun dataRun) {
  while (at < end) {
    if (*at == 0) {
      const std::uint8_t* const runEnd = FindNonZero(at, end);
      zeroRun(runEnd - at);
      at = runEnd;
    } else {
      const std::uint8_t* const runEnd = FindZero(at, end);
      dataRun(at, static_cast<std::uint32_t>(runEnd - at));
      at = runEnd;
    }
  }
}
