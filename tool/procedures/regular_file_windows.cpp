// A name that is a reparse point (a symbolic link or a junction) or a
// directory is refused before it is opened; an opened name that is not a
// plain disk file (a device such as NUL or CON, a pipe) is closed again.
#include <windows.h>
#include <sys/stat.h>

#include "procedures/regular_file.hpp"

namespace kestrin {
namespace {

std::FILE* keepRegular(std::FILE* stream, std::uint64_t& size) {
  if (stream == nullptr) {
    return nullptr;
  }
  struct _stat64 info {};
  if (_fstat64(_fileno(stream), &info) != 0 || (info.st_mode & _S_IFMT) != _S_IFREG) {
    std::fclose(stream);
    return nullptr;
  }
  size = static_cast<std::uint64_t>(info.st_size);
  return stream;
}

}  // namespace

std::FILE* openRegularFileToRead(const char* path, std::uint64_t& size) {
  return keepRegular(std::fopen(path, "rb"), size);
}

std::FILE* createRegularFileToWrite(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
    return nullptr;
  }
  std::uint64_t size = 0;
  return keepRegular(std::fopen(path, "wb"), size);
}

}  // namespace kestrin
