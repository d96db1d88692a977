#include <sys/syscall.h>
#include <unistd.h>

#include <climits>

#include "common/inherited_files.hpp"

namespace common::inherited_files {
namespace {

void closeRange(unsigned first, unsigned last) {
  if (first > last || ::syscall(SYS_close_range, first, last, 0) == 0) {
    return;
  }
  // A kernel without close_range: each descriptor the process may have.
  const long open = ::sysconf(_SC_OPEN_MAX);
  const unsigned end = open > 0 && open <= INT_MAX ? static_cast<unsigned>(open) : 1024U;
  for (unsigned fd = first; fd < end && fd <= last; ++fd) {
    ::close(static_cast<int>(fd));
  }
}

}  // namespace

void closeFrom(int lowest, int keep) {
  const auto first = static_cast<unsigned>(lowest < 0 ? 0 : lowest);
  if (keep < lowest) {
    closeRange(first, ~0U);
    return;
  }
  if (keep > lowest) {
    closeRange(first, static_cast<unsigned>(keep) - 1);
  }
  closeRange(static_cast<unsigned>(keep) + 1, ~0U);
}

}  // namespace common::inherited_files
