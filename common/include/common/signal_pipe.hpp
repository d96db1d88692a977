// Signals a program's main loop takes in turn with its other work: the
// handler only writes a byte into a pipe (the self-pipe), and the loop learns
// of the signal when the pipe's reading end becomes readable. The emulator's
// daemon polls it; the station window watches it with a socket notifier.
// Linux.
#pragma once

#include <initializer_list>

namespace common::signal_pipe {

// The reading end of the process's signal pipe (non-blocking,
// close-on-exec), made at the first call; -1 with errno set when it cannot
// be made.
int readEnd();

// Has each signal of `which` write a byte into the pipe (making the pipe first
// when needed). `restart`: system calls that a signal interrupts go on
// (SA_RESTART) rather than fail with EINTR. False when the pipe could not be
// made or a signal not be routed; the others are routed all the same.
bool route(std::initializer_list<int> which, bool restart);

// Reads what the handler has written so far, without waiting.
void drain();

}  // namespace common::signal_pipe
