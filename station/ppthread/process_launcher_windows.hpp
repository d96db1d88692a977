// The records of a tool start on Windows, shared by the launcher and its
// check program (station/ppthread/windows).
#pragma once

#include <windows.h>

namespace station {

// CREATE_NO_WINDOW | HIGH_PRIORITY_CLASS: the console tool gets no console
// window and runs in the high priority class.
inline constexpr DWORD kToolCreationFlags = CREATE_NO_WINDOW | HIGH_PRIORITY_CLASS;
static_assert(kToolCreationFlags == 0x08000080);

// The STARTUPINFO of every run: all zero but its size field, so the tool
// gets the default window and standard handles, nothing redirected. The
// record is 68 bytes on the 32-bit station.
STARTUPINFOA ToolStartupInfo();

}  // namespace station
