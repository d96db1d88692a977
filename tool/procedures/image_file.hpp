// One firmware image file, read as raw bytes and streamed page by page.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>

namespace kestrin {

class ImageFile {
 public:
  // Opens the file and takes its size (seek to the end, read the position,
  // seek back to the start). False when it cannot be opened or measured.
  bool open(const char* path);
  std::uint64_t size() const { return size_; }
  bool rewind();
  // Reads up to n bytes; returns how many arrived (fewer only at the end of
  // the file or on a read error).
  std::size_t read(std::uint8_t* out, std::size_t n);
  // Reads exactly n bytes; false when fewer arrive.
  bool readExactly(std::uint8_t* out, std::size_t n) { return read(out, n) == n; }

 private:
  std::ifstream stream_;
  std::uint64_t size_ = 0;
};

}  // namespace kestrin
