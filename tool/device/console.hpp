// Everything the tool prints goes to standard output through a Console, so
// that tests can capture it byte for byte. Nothing goes to standard error.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace kestrin {

class Console {
 public:
  // Writes to `stream`, flushed after every print so that a watcher sees progress.
  explicit Console(std::FILE* stream) : stream_(stream) {}
  // Captures into a string (tests).
  Console() = default;

  void print(const char* format, ...) __attribute__((format(printf, 2, 3)));
  const std::string& captured() const { return captured_; }

 private:
  std::FILE* stream_ = nullptr;
  std::string captured_;
};

// The system's text for an error code: "%s\n" with the text, or
// "Format message failed.  Error: %d\n" when the look-up fails.
void PrintSystemMessage(Console& console, std::uint32_t code);

}  // namespace kestrin
