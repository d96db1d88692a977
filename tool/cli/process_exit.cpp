#include "cli/process_exit.hpp"

#include <cstdio>
#include <cstdlib>

namespace kestrin {

void EndProcess(int exitCode) {
  std::fflush(stdout);
  std::_Exit(exitCode);
}

}  // namespace kestrin
