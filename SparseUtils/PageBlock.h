// Memory for blocks of a file, aligned to a page, where the system copies to and from it
// fastest. It comes from the ordinary heap with room to align, so memory freed by one file
// is reused by the next instead of fresh pages being mapped for every file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

class PageBlock {
 public:
  PageBlock() = default;
  explicit PageBlock(std::size_t bytes) : storage_(new std::uint8_t[bytes + kPageBytes - 1]) {
    const auto address = reinterpret_cast<std::uintptr_t>(storage_.get());
    aligned_ = storage_.get() + (-address & (kPageBytes - 1));
  }

  std::uint8_t* get() const { return aligned_; }
  explicit operator bool() const { return aligned_ != nullptr; }

 private:
  static constexpr std::size_t kPageBytes = 4096;

  std::unique_ptr<std::uint8_t[]> storage_;
  std::uint8_t* aligned_ = nullptr;
};
