// How the tool tells a request that did not complete. Every caller prints it
// in one of three fixed forms, and its system error code becomes the run's
// last system error.
#pragma once

#include <cstdint>

#include "device/console.hpp"
#include "device/vendor_commands.hpp"

namespace kestrin {

enum class FailureForm {
  Inline,          // " Error: %d": the line goes on (a block's line, a page transfer)
  EndOfLine,       // " Error: %d\n"
  WithSystemText,  // "Error: %d  ", then the system's text for the code and a line end
};

class FailureReport {
 public:
  explicit FailureReport(Console& console) : console_(console) {}

  // Prints the failed request's code in `form` and keeps the code.
  void report(const CommandOutcome& failed, FailureForm form);
  // Keeps the code of a failed request that prints nothing of its own.
  void keep(const CommandOutcome& failed) { lastError_ = failed.errorCode; }

  // The code of the last request that did not complete; 0 before any.
  std::uint32_t lastError() const { return lastError_; }
  Console& console() { return console_; }

 private:
  Console& console_;
  std::uint32_t lastError_ = 0;
};

}  // namespace kestrin
