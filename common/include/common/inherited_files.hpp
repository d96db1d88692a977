// A process started by another (the emulator's daemon after its fork, the
// command tool between the station's fork and exec) must not keep the
// descriptors its parent had open: a parent reading a pipe to its end would
// wait for ever, and the child would hold sockets and files it has no use for.
#pragma once

namespace common::inherited_files {

// Closes every descriptor from `lowest` up, except `keep` (-1: none).
// Async-signal-safe: callable in a child between fork and exec.
void closeFrom(int lowest, int keep = -1);

}  // namespace common::inherited_files
