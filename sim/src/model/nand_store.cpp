#include "model/nand_store.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

namespace flashsim {

NandStore::NandStore(std::uint16_t blockCount, std::uint16_t pagesPerBlock, std::uint16_t pageSize)
    : pageSize_(pageSize),
      pageShift_(static_cast<std::uint32_t>(std::countr_zero(pagesPerBlock))),
      blocks_(blockCount) {}

const NandStore::PageSlot* NandStore::slot(std::uint32_t page) const {
  const auto& block = blocks_[page >> pageShift_];
  return block ? &block[page & ((1U << pageShift_) - 1)] : nullptr;
}

void NandStore::read(std::uint32_t page, std::uint8_t* dst) const {
  const PageSlot* s = slot(page);
  if (s == nullptr) {
    std::memset(dst, 0xFF, pageSize_);
  } else if (s->bytes) {
    std::memcpy(dst, s->bytes.get(), pageSize_);
  } else {
    std::memset(dst, s->fill, pageSize_);
  }
}

void NandStore::erase(std::uint16_t block) {
  auto& pages = blocks_[block];
  if (!pages) {
    return;
  }
  for (std::uint32_t i = 0; i < (1U << pageShift_); ++i) {
    if (pages[i].bytes) {
      storedBytes_ -= pageSize_;
    }
    if (pages[i].bytes || pages[i].fill != 0xFF) {
      --storedPages_;
    }
  }
  pages.reset();
}

void NandStore::program(std::uint32_t page, const std::uint8_t* src) {
  auto& pages = blocks_[page >> pageShift_];
  if (!pages) {
    pages = std::make_unique<PageSlot[]>(1U << pageShift_);
  }
  PageSlot& s = pages[page & ((1U << pageShift_) - 1)];
  const bool wasStored = s.bytes || s.fill != 0xFF;
  std::vector<std::uint8_t>& result = scratch_;
  result.resize(pageSize_);
  read(page, result.data());
  for (std::size_t i = 0; i < pageSize_; ++i) {
    result[i] &= src[i];
  }
  const bool uniform = std::all_of(result.begin(), result.end(), [&](std::uint8_t b) { return b == result[0]; });
  if (s.bytes) {
    storedBytes_ -= pageSize_;
  }
  if (uniform) {
    s.bytes.reset();
    s.fill = result[0];
  } else {
    if (!s.bytes) {
      s.bytes = std::make_unique<std::uint8_t[]>(pageSize_);
    }
    std::memcpy(s.bytes.get(), result.data(), pageSize_);
    storedBytes_ += pageSize_;
  }
  const bool isStored = s.bytes || s.fill != 0xFF;
  if (isStored && !wasStored) {
    ++storedPages_;
  } else if (!isStored && wasStored) {
    --storedPages_;
  }
}

}  // namespace flashsim
