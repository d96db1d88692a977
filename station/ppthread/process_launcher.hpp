// Starting one run of the command tool as a child process and reading its
// exit code. The three functions follow the platform's process calls
// (CreateProcessA, GetExitCodeProcess, CloseHandle); one implementation per
// platform: process_launcher_windows.cpp and process_launcher_linux.cpp.
//
// Program name. The command lines are written for the station's home
// platform ("kestrin.exe E: bchkp"). On Linux a first word ending in ".exe"
// names the program without that suffix ("kestrin"); the rest of the line is
// passed unchanged, split on blanks and tabs (no shell, no quoting).
//
// Where the program is looked for on Linux: a ToolSearch, which for the
// station is the directory of its own executable first, then the absolute
// directories of PATH. The current directory is never searched (an empty or
// relative PATH entry is skipped). A first word holding a '/' must be an
// absolute path to the program.
#pragma once

#include <cstdint>
#include <string>

namespace station {

// The exit code read while the process is still running (STILL_ACTIVE).
inline constexpr std::uint32_t kStillActive = 259;

// The exit code before the first reading; the tool never ends with it.
inline constexpr std::uint32_t kExitCodePreset = 16777215;

// One started run. Windows: the process and thread handles of the
// PROCESS_INFORMATION record. Linux: `process` is the child's pid, `thread`
// is unused, and `ended`/`exitCode` keep the status once the child is reaped.
struct ToolProcess {
  std::intptr_t process = 0;
  std::intptr_t thread = 0;
  bool ended = false;
  std::uint32_t exitCode = 0;
};

// Where the program is looked for (Linux; on Windows the platform's own
// search applies): `ownDirectory` first, unless empty, then the absolute
// directories of `pathList`, a list in the form of PATH.
struct ToolSearch {
  std::string ownDirectory;
  std::string pathList;
};

// The station's own search: the directory of its executable, and PATH as it
// is at the call.
ToolSearch StationToolSearch();

// Starts the program that the first word of `commandLine` names, found by
// `search`, without a console window (Linux: standard input, output and
// error on the null device, nothing captured) and at raised priority where
// the system allows it (normal priority otherwise). `commandLine` is a
// writable NUL-terminated buffer, as the Windows call requires. False when
// the program cannot be started; then nothing needs closing.
bool StartToolProcess(char* commandLine, ToolProcess& process, const ToolSearch& search);

// Reads the exit code: kStillActive while the process runs, its final code
// afterwards. Linux: a child ended by a signal reads 128 + the signal number
// (never 0 or 2). Windows: a process that ended with 259 itself reads as
// kExitCodePreset, never as still running. False when the code cannot be
// read; `exitCode` is then left as it was.
bool GetToolExitCode(ToolProcess& process, std::uint32_t& exitCode);

// Releases the run's handles. Never stops the process; on Linux a child that
// has not yet ended is reaped in the background when it ends.
void CloseToolProcess(ToolProcess& process);

#if !defined(_WIN32)
// Linux: where StartToolProcess finds `name` (after the ".exe" mapping);
// empty when it is nowhere to be found.
std::string FindToolProgram(const std::string& name, const ToolSearch& search);
#endif

}  // namespace station
