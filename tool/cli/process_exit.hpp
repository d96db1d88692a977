// Ending the process with a run's exit code right after the device is
// closed, with no further clean-up. process_exit.cpp is the portable form;
// a Windows build may supply process_exit_windows.cpp (ExitProcess) instead.
#pragma once

namespace kestrin {

// Flushes standard output, then ends the process with `exitCode` at once.
[[noreturn]] void EndProcess(int exitCode);

}  // namespace kestrin
