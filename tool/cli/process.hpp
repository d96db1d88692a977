// The start and the end of the kestrin process. process_linux.cpp and
// process_windows.cpp are the two forms.
#pragma once

namespace kestrin {

// Before anything is opened: standard input, output and error are open (on
// the null device where they were closed), so that no device connection can
// take their place and receive console text; and a closed output does not end
// the process (SIGPIPE is ignored: the write fails and the run goes on).
void beginProcess();

// Flushes standard output, then ends the process with `exitCode` at once,
// right after the device was closed, with no further clean-up.
[[noreturn]] void endProcess(int exitCode);

}  // namespace kestrin
