// Ends the process with ExitProcess, right after standard output is flushed.
// A device handle never takes the place of a standard stream here, and a
// closed output gives a failed write, not a signal: the start needs nothing.
#include <windows.h>

#include <cstdio>

#include "cli/process.hpp"

namespace kestrin {

void beginProcess() {}

void endProcess(int exitCode) {
  std::fflush(stdout);
  ExitProcess(static_cast<UINT>(exitCode));
}

}  // namespace kestrin
