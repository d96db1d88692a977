#include "device/console.hpp"

#include <cstdarg>
#include <vector>

#include "device/system_message.hpp"

namespace kestrin {

void Console::print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  if (stream_ != nullptr) {
    std::vfprintf(stream_, format, args);
    std::fflush(stream_);
  } else {
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (needed > 0) {
      std::vector<char> text(static_cast<std::size_t>(needed) + 1);
      std::vsnprintf(text.data(), text.size(), format, args);
      captured_.append(text.data(), static_cast<std::size_t>(needed));
    }
  }
  va_end(args);
}

void PrintSystemMessage(Console& console, std::uint32_t code) {
  const OrSystemError<std::string> text = systemMessageText(code);
  if (text) {
    console.print("%s\n", text->c_str());
  } else {
    console.print("Format message failed.  Error: %d\n", static_cast<int>(text.error()));
  }
}

}  // namespace kestrin
