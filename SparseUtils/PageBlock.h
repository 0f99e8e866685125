// Memory for blocks of a file, aligned to a page, where the system copies to and from it
// fastest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

namespace page_block {

constexpr std::align_val_t kAlignment{4096};

struct Deleter {
  void operator()(std::uint8_t* block) const { ::operator delete[](block, kAlignment); }
};

}  // namespace page_block

using PageBlock = std::unique_ptr<std::uint8_t[], page_block::Deleter>;

inline PageBlock NewPageBlock(std::size_t bytes) {
  return PageBlock(static_cast<std::uint8_t*>(::operator new[](bytes, page_block::kAlignment)));
}
