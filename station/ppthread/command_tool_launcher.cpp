#include "ppthread/command_tool_launcher.hpp"

#include <chrono>
#include <cstdio>
#include <thread>

#include "common/tool_contract.hpp"
#include "ppthread/process_launcher.hpp"

namespace station {
namespace {

void Pause(const ToolRuns& runs, std::uint32_t ms) {
  if (runs.pause) {
    runs.pause(ms);
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
}

bool Start(char* commandLine, ToolProcess& run, const ToolRuns& runs) {
  return StartToolProcess(commandLine, run, runs.search ? *runs.search : StationToolSearch());
}

// Reads the run's exit code until it is no longer "still active". A reading
// that fails ends the wait with the code as it stands (kStillActive counts as
// a failure then), so a lost child can never keep the caller waiting.
std::uint32_t WaitForExitCode(ToolProcess& run, std::uint32_t readingPauseMs, const ToolRuns& runs) {
  std::uint32_t code = kExitCodePreset;
  if (!GetToolExitCode(run, code)) return code;
  while (code == kStillActive) {
    Pause(runs, readingPauseMs);
    if (!GetToolExitCode(run, code)) break;
  }
  return code;
}

// One probe or set-up run from start to end.
bool RunToEnd(char* commandLine, const ToolRuns& runs) {
  ToolProcess run;
  if (!Start(commandLine, run, runs)) return false;
  const std::uint32_t code = WaitForExitCode(run, kRunReadingPauseMs, runs);
  CloseToolProcess(run);
  return code == static_cast<std::uint32_t>(common::tool_contract::kExitSuccess);
}

}  // namespace

bool ProbeDrive(const std::string& drive, const ToolRuns& runs) {
  char commandLine[common::tool_contract::kCommandLineSize];
  std::snprintf(commandLine, sizeof commandLine, common::tool_contract::kProbeTemplate, drive.c_str());
  return RunToEnd(commandLine, runs);
}

bool StartBlankCheck(const std::string& drive, std::int32_t timing1, std::int32_t timing2, std::int32_t timing3,
                     std::int32_t timing4, const ToolRuns& runs) {
  char commandLine[common::tool_contract::kCommandLineSize];
  std::snprintf(commandLine, sizeof commandLine, common::tool_contract::kStartBlankCheckTemplate, drive.c_str(),
                static_cast<int>(timing1), static_cast<int>(timing2), static_cast<int>(timing3),
                static_cast<int>(timing4));
  return RunToEnd(commandLine, runs);
}

bool WaitBlankCheck(const std::string& drive, const std::function<bool()>& cancelRequested,
                    const std::function<void(int)>& setBarPosition, const ToolRuns& runs) {
  char commandLine[common::tool_contract::kCommandLineSize];
  std::snprintf(commandLine, sizeof commandLine, common::tool_contract::kPollBlankCheckTemplate, drive.c_str());
  int step = 0;
  if (setBarPosition) setBarPosition(0);
  for (;;) {
    ToolProcess run;
    if (!Start(commandLine, run, runs)) return false;
    const std::uint32_t code = WaitForExitCode(run, kPollRunReadingPauseMs, runs);
    CloseToolProcess(run);
    if (code == static_cast<std::uint32_t>(common::tool_contract::kExitSuccess)) return true;
    if (code != static_cast<std::uint32_t>(common::tool_contract::kExitStillChecking)) return false;
    step = (step + 4) % 100;
    if (setBarPosition) setBarPosition(step);
    if (cancelRequested && cancelRequested()) return false;
    Pause(runs, kPollPauseMs);
  }
}

}  // namespace station
