// Windows form of the tool start: CreateProcessA with the platform's own
// program search (the station's directory first), no console window, high
// priority class, the station's environment and current directory, and a
// STARTUPINFO that redirects nothing.
#include "ppthread/process_launcher.hpp"

#include <windows.h>

#include <cstring>

namespace station {

namespace {
constexpr DWORD kCreationFlags = 0x08000080;  // CREATE_NO_WINDOW | HIGH_PRIORITY_CLASS
}  // namespace

ToolSearch StationToolSearch() { return {}; }

// The search is CreateProcessA's own.
bool StartToolProcess(char* commandLine, ToolProcess& process, const ToolSearch& /*search*/) {
  PROCESS_INFORMATION pi;
  STARTUPINFOA si;
  std::memset(&pi, 0, sizeof pi);
  std::memset(&si, 0, sizeof si);
  si.cb = sizeof si;  // the record's size: 68 on the 32-bit station
  if (!CreateProcessA(nullptr, commandLine, nullptr, nullptr, TRUE, kCreationFlags, nullptr, nullptr,
                      &si, &pi)) {
    return false;
  }
  process = ToolProcess{};
  process.process = reinterpret_cast<std::intptr_t>(pi.hProcess);
  process.thread = reinterpret_cast<std::intptr_t>(pi.hThread);
  return true;
}

bool GetToolExitCode(ToolProcess& process, std::uint32_t& exitCode) {
  DWORD code = 0;
  if (!GetExitCodeProcess(reinterpret_cast<HANDLE>(process.process), &code)) return false;
  exitCode = code;
  return true;
}

void CloseToolProcess(ToolProcess& process) {
  if (process.process != 0) CloseHandle(reinterpret_cast<HANDLE>(process.process));
  if (process.thread != 0) CloseHandle(reinterpret_cast<HANDLE>(process.thread));
  process = ToolProcess{};
}

}  // namespace station
