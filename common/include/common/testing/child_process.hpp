// Programs run from a test as child processes: a run waited for, with its
// standard output, standard error and exit code captured; or a program left
// running, its output in a file.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace common::test {

struct ProcessResult {
  bool exited = false;    // ended by itself (not killed by a signal)
  int exitCode = -1;      // when exited
  int signal = 0;         // when killed by a signal
  bool timedOut = false;  // killed by runProcess after the time limit
  std::string out;
  std::string err;
  std::chrono::milliseconds elapsed{0};
};

// Variables added to the test's own environment, or replacing its entries.
using Environment = std::vector<std::pair<std::string, std::string>>;

// What the child's standard output is.
enum class StandardOutput {
  Captured,    // a pipe read into ProcessResult::out
  Closed,      // descriptor 1 is not open
  BrokenPipe,  // a pipe whose reading end is already closed
};

// Runs argv[0] (a path) with the arguments and the environment `env` adds,
// in `workingDir` (empty: ours), standard input on /dev/null, and waits at
// most `limit` before killing it. A daemon the program leaves behind does
// not hold the wait. Throws std::runtime_error when no child can be made.
ProcessResult runProcess(const std::vector<std::string>& argv, const Environment& env = {},
                         std::chrono::milliseconds limit = std::chrono::seconds(60), const std::string& workingDir = {},
                         StandardOutput output = StandardOutput::Captured);

// Starts argv[0] (a path) with the arguments and the environment `env` adds,
// standard input on /dev/null, standard output and error into the file
// `outputPath` (made or emptied; /dev/null when empty), and returns at once:
// the child's process id, -1 when it could not be started. The caller waits
// for it.
pid_t startProcess(const std::vector<std::string>& argv, const Environment& env = {},
                   const std::string& outputPath = {});

// Sends SIGTERM to `pid` and waits up to `limit` for it to end, then kills
// it. Returns its status as waitpid gives it, -1 when it was not our child.
int terminateProcess(pid_t pid, std::chrono::milliseconds limit = std::chrono::seconds(10));

// Splits text into lines (without their line ends).
std::vector<std::string> splitLines(const std::string& text);

}  // namespace common::test
