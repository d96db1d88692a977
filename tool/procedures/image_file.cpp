#include "procedures/image_file.hpp"

namespace kestrin {

bool ImageFile::open(const char* path) {
  stream_.open(path, std::ios::in | std::ios::binary);
  if (!stream_.is_open()) {
    return false;
  }
  stream_.seekg(0, std::ios::end);
  const std::streamoff end = stream_.tellg();
  if (!stream_ || end < 0) {
    return false;  // not something that can be measured (a directory, a pipe)
  }
  size_ = static_cast<std::uint64_t>(end);
  return rewind();
}

bool ImageFile::rewind() {
  stream_.clear();
  stream_.seekg(0, std::ios::beg);
  return static_cast<bool>(stream_);
}

std::size_t ImageFile::read(std::uint8_t* out, std::size_t n) {
  if (n == 0 || !stream_) {
    return 0;
  }
  stream_.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(n));
  return static_cast<std::size_t>(stream_.gcount());
}

}  // namespace kestrin
