// Ends the process with ExitProcess, right after standard output is flushed.
#include <windows.h>

#include <cstdio>

#include "cli/process_exit.hpp"

namespace kestrin {

void EndProcess(int exitCode) {
  std::fflush(stdout);
  ExitProcess(static_cast<UINT>(exitCode));
}

}  // namespace kestrin
