// The NAND array of one device: pages that erase to all 0xFF and program by
// clearing bits. Only pages that are not erased are held, and a page of one
// repeated byte holds no page bytes, so a device that is mostly erased or
// programmed with one value costs little memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace flashsim {

class NandStore {
 public:
  // pagesPerBlock and pageSize: powers of two.
  NandStore(std::uint16_t blockCount, std::uint16_t pagesPerBlock, std::uint16_t pageSize);

  std::uint32_t pageCount() const { return static_cast<std::uint32_t>(blocks_.size()) << pageShift_; }
  std::uint16_t blockOf(std::uint32_t page) const { return static_cast<std::uint16_t>(page >> pageShift_); }
  std::uint32_t pageShift() const { return pageShift_; }  // log2 of pages per block

  // Page and block numbers within the array. read copies pageSize bytes to dst.
  void read(std::uint32_t page, std::uint8_t* dst) const;
  void erase(std::uint16_t block);
  // The page becomes the AND of what it held and `src` (pageSize bytes).
  void program(std::uint32_t page, const std::uint8_t* src);

  std::size_t storedPages() const { return storedPages_; }  // pages not erased
  std::size_t storedBytes() const { return storedBytes_; }  // page bytes held

 private:
  // One page. Without bytes, every byte of the page is `fill`.
  struct PageSlot {
    std::unique_ptr<std::uint8_t[]> bytes;
    std::uint8_t fill = 0xFF;
  };
  const PageSlot* slot(std::uint32_t page) const;

  const std::size_t pageSize_;
  const std::uint32_t pageShift_;
  // One entry per block; empty when the whole block is erased.
  std::vector<std::unique_ptr<PageSlot[]>> blocks_;
  std::size_t storedPages_ = 0;
  std::size_t storedBytes_ = 0;
  std::vector<std::uint8_t> scratch_;  // a page, kept to spare an allocation per program
};

}  // namespace flashsim
