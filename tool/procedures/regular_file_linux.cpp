// O_NONBLOCK keeps open from waiting for the other end of a FIFO, O_NOFOLLOW
// refuses a symbolic link as the last part of the name (also with O_CREAT),
// and fstat on the opened descriptor decides: only a regular file is kept,
// and only then is it emptied and made blocking again.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "procedures/regular_file.hpp"

namespace kestrin {
namespace {

// Keeps `fd` when it is a regular file: blocking again, emptied when asked,
// and as a stream with `mode`; `size` is its size then. Closes it otherwise.
std::FILE* keepRegular(int fd, const char* mode, bool empty, std::uint64_t& size) {
  if (fd < 0) {
    return nullptr;
  }
  struct stat info {};
  const int flags = ::fcntl(fd, F_GETFL);
  const bool usable = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && flags >= 0 &&
                      ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0 && (!empty || ::ftruncate(fd, 0) == 0);
  std::FILE* stream = usable ? ::fdopen(fd, mode) : nullptr;
  if (stream == nullptr) {
    ::close(fd);
    return nullptr;
  }
  size = empty ? 0 : static_cast<std::uint64_t>(info.st_size);
  return stream;
}

}  // namespace

std::FILE* openRegularFileToRead(const char* path, std::uint64_t& size) {
  return keepRegular(::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC), "rb", false, size);
}

std::FILE* createRegularFileToWrite(const char* path) {
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
  std::uint64_t size = 0;
  return keepRegular(fd, "wb", true, size);
}

}  // namespace kestrin
