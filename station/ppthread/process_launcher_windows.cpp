// Windows form of the tool start: CreateProcessA with the platform's own
// program search (the station's directory first), no console window, high
// priority class, the station's environment and current directory, and a
// STARTUPINFO that redirects nothing.
#include "ppthread/process_launcher_windows.hpp"

#include <cstring>

#include "ppthread/process_launcher.hpp"

namespace station {

#if defined(_WIN64)
static_assert(sizeof(STARTUPINFOA) == 104);
#else
static_assert(sizeof(STARTUPINFOA) == 68);
#endif

STARTUPINFOA ToolStartupInfo() {
  STARTUPINFOA si;
  std::memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  return si;
}

ToolSearch StationToolSearch() { return {}; }

// The search is CreateProcessA's own.
bool StartToolProcess(char* commandLine, ToolProcess& process, const ToolSearch& /*search*/) {
  PROCESS_INFORMATION pi;
  std::memset(&pi, 0, sizeof pi);
  STARTUPINFOA si = ToolStartupInfo();
  if (!CreateProcessA(nullptr, commandLine, nullptr, nullptr, TRUE, kToolCreationFlags, nullptr, nullptr, &si, &pi)) {
    return false;
  }
  process = ToolProcess{};
  process.process = reinterpret_cast<std::intptr_t>(pi.hProcess);
  process.thread = reinterpret_cast<std::intptr_t>(pi.hThread);
  return true;
}

// GetExitCodeProcess answers STILL_ACTIVE also for a process that ended with
// that very code. The process handle tells the two apart: such a run reads
// as kExitCodePreset, a failure, so that no reader waits for a process that
// is gone.
bool GetToolExitCode(ToolProcess& process, std::uint32_t& exitCode) {
  const HANDLE handle = reinterpret_cast<HANDLE>(process.process);
  DWORD code = 0;
  if (!GetExitCodeProcess(handle, &code)) return false;
  if (code == kStillActive && WaitForSingleObject(handle, 0) == WAIT_OBJECT_0) {
    code = kExitCodePreset;
  }
  exitCode = code;
  return true;
}

void CloseToolProcess(ToolProcess& process) {
  if (process.process != 0) CloseHandle(reinterpret_cast<HANDLE>(process.process));
  if (process.thread != 0) CloseHandle(reinterpret_cast<HANDLE>(process.thread));
  process = ToolProcess{};
}

}  // namespace station
