// Opening the files the tool names itself or is given by name, as plain
// files only. The tool runs with full rights in a working directory that
// others may write to: a name may be a symbolic link, a FIFO, a device or a
// directory. regular_file_linux.cpp and regular_file_windows.cpp are the two
// forms.
#pragma once

#include <cstdint>
#include <cstdio>

namespace kestrin {

// Opens an existing regular file for reading raw bytes and gives its size;
// nullptr for anything else (missing, a directory, a FIFO, a device,
// unreadable). Never waits on a FIFO while opening it.
std::FILE* openRegularFileToRead(const char* path, std::uint64_t& size);

// Creates a regular file for writing raw bytes, or empties an existing one;
// nullptr when the name is taken by anything but a regular file, a symbolic
// link included (dangling or not: it is never followed, so nothing is created
// or emptied at its target), or when the file cannot be created. Never waits
// on a FIFO.
std::FILE* createRegularFileToWrite(const char* path);

}  // namespace kestrin
