// One firmware image file, read as raw bytes and streamed page by page.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace kestrin {

class ImageFile {
 public:
  ImageFile() = default;
  ~ImageFile();
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;

  // Opens the file and takes its size. False when it cannot be opened or is
  // not a regular file (a directory, a FIFO, a device), so that nothing of
  // unknown or endless length is ever read.
  bool open(const char* path);
  std::uint64_t size() const { return size_; }
  bool rewind();
  // Reads up to n bytes; returns how many arrived (fewer only at the end of
  // the file or on a read error).
  std::size_t read(std::uint8_t* out, std::size_t n);
  // Reads exactly n bytes; false when fewer arrive.
  bool readExactly(std::uint8_t* out, std::size_t n) { return read(out, n) == n; }

 private:
  std::FILE* file_ = nullptr;
  std::uint64_t size_ = 0;
};

}  // namespace kestrin
