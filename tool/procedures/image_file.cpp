#include "procedures/image_file.hpp"

#include "procedures/regular_file.hpp"

namespace kestrin {

ImageFile::~ImageFile() {
  if (file_ != nullptr) {
    std::fclose(file_);
  }
}

bool ImageFile::open(const char* path) {
  file_ = openRegularFileToRead(path, size_);
  return file_ != nullptr;
}

bool ImageFile::rewind() {
  if (file_ == nullptr) {
    return false;
  }
  std::clearerr(file_);
  return std::fseek(file_, 0, SEEK_SET) == 0;
}

std::size_t ImageFile::read(std::uint8_t* out, std::size_t n) {
  if (n == 0 || file_ == nullptr) {
    return 0;
  }
  return std::fread(out, 1, n, file_);
}

}  // namespace kestrin
