// What the fuzz targets share: a check that stops the run with a message, a reader over the
// fuzzer's bytes, and the fake machine's double-byte rule written out on its own.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

// Prints what went wrong and aborts, so libFuzzer keeps the input as a crash.
[[noreturn]] inline void FuzzFail(const char* file, int line, const char* condition,
                                  const std::string& detail) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n%s\n", file, line, condition, detail.c_str());
  std::fflush(stderr);
  std::abort();
}

#define FUZZ_CHECK(condition, detail)                                   \
  do {                                                                  \
    if (!(condition)) FuzzFail(__FILE__, __LINE__, #condition, detail); \
  } while (false)

// Bytes as hex pairs, for the messages of failed checks.
inline std::string Hex(std::string_view bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned char byte : bytes) {
    if (!text.empty()) text += ' ';
    text += kDigits[byte >> 4];
    text += kDigits[byte & 15];
  }
  return text;
}

// Reads the fuzzer's input front to back; past its end every read gives zeros.
class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::size_t Remaining() const { return size_ - at_; }
  bool Empty() const { return at_ == size_; }

  std::uint8_t Byte() { return Empty() ? 0 : data_[at_++]; }

  std::uint16_t Word16() {
    const std::uint16_t low = Byte();
    return static_cast<std::uint16_t>(low | (Byte() << 8));
  }

  // Up to `count` bytes, fewer at the end of the input.
  std::string Bytes(std::size_t count) {
    count = std::min(count, Remaining());
    std::string bytes(reinterpret_cast<const char*>(data_ + at_), count);
    at_ += count;
    return bytes;
  }

  std::string Rest() { return Bytes(Remaining()); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// The fake's code page 932: lead bytes 0x81-0x9F and 0xE0-0xFC. A lead byte takes the next
// byte, whatever it is, as its second byte; a lead byte at the very end stands alone.
inline bool IsLeadByte932(unsigned char byte) {
  return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

inline std::size_t CharLengthAt(std::string_view text, std::size_t at, bool doubleByte) {
  const bool lead = doubleByte && IsLeadByte932(static_cast<unsigned char>(text[at]));
  return lead && at + 1 < text.size() ? 2 : 1;
}

// True when the last character of `text` is the single byte `byte` (not a second byte).
inline bool EndsWithCharacter(std::string_view text, char byte, bool doubleByte) {
  std::size_t at = 0;
  std::size_t last = std::string_view::npos;
  while (at < text.size()) {
    last = at;
    at += CharLengthAt(text, at, doubleByte);
  }
  return last != std::string_view::npos && last + 1 == text.size() && text[last] == byte;
}

// True when `byte` occurs in `text` as a character of its own.
inline bool ContainsCharacter(std::string_view text, char byte, bool doubleByte) {
  for (std::size_t at = 0; at < text.size(); at += CharLengthAt(text, at, doubleByte)) {
    if (text[at] == byte && CharLengthAt(text, at, doubleByte) == 1) return true;
  }
  return false;
}

// True when the last character of `text` is a lead byte left without its second byte.
inline bool EndsWithLoneLeadByte(std::string_view text, bool doubleByte) {
  if (text.empty() || !doubleByte) return false;
  std::size_t at = 0;
  std::size_t last = 0;
  while (at < text.size()) {
    last = at;
    at += CharLengthAt(text, at, doubleByte);
  }
  return last + 1 == text.size() && IsLeadByte932(static_cast<unsigned char>(text[last]));
}
