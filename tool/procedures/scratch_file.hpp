// "ZANQTMPV.VAR": the one-byte progress file of the long commands, in the
// current directory. Created with the byte 2 when a command starts, its byte
// rewritten in place as the work advances, closed when the command succeeds.
// Every write is flushed at once so that another program reading the file
// sees the current value; the file is opened without denying others access.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>

namespace kestrin {

inline constexpr const char* kScratchFileName = "ZANQTMPV.VAR";

class ScratchFile {
 public:
  // Sees every byte that reaches the file, in order (a test seam). Set it
  // before a command runs; an empty function removes it.
  using Observer = std::function<void(std::uint8_t)>;
  static void setObserver(Observer observer);

  ScratchFile() = default;
  ~ScratchFile();  // a file still open is closed with what has reached it
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  // Creates or truncates the file and writes `initial`. When the file cannot
  // be created (the name taken by a directory, a symbolic link, a FIFO or
  // anything else but a regular file, or no right to create it) the command
  // goes on without progress reports: every later call does nothing.
  void create(std::uint8_t initial = 2);
  // Writes `value` over the byte at offset 0 through the same stream.
  void rewrite(std::uint8_t value);
  // Closes the stream (a command that succeeded).
  void close();

  bool isOpen() const { return file_ != nullptr; }

 private:
  void put(std::uint8_t value);

  std::FILE* file_ = nullptr;
};

}  // namespace kestrin
