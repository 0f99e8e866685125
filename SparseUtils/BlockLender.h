// TBlockLender: memory that a reader fills with a file's bytes before they are handed to the
// lender at the same offsets, so the lender finds them where they already lie instead of
// copying them. In a copy, the source reads straight into the destination's window.
#pragma once

#include <cstddef>
#include <cstdint>

class TBlockLender {
 public:
  // Memory for the bytes of the file from `offset` on, with room for `room` of them, or
  // nullptr when none is lent. The lender leaves it untouched until those bytes were
  // handed to it, in order, or Lend is called again.
  virtual std::uint8_t* Lend(std::int64_t offset, std::size_t& room) = 0;

 protected:
  ~TBlockLender() = default;
};
