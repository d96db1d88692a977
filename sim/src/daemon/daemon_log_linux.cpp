#include "daemon/daemon_log_linux.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace flashsim {

void logLine(const char* format, ...) {
  char line[512] = "flashsim: ";
  const std::size_t prefix = std::strlen(line);
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(line + prefix, sizeof line - prefix - 1, format, args);
  va_end(args);
  std::size_t size = prefix + std::min<std::size_t>(n < 0 ? 0 : static_cast<std::size_t>(n), sizeof line - prefix - 2);
  line[size++] = '\n';
  [[maybe_unused]] const ssize_t written = ::write(2, line, size);
}

}  // namespace flashsim
