// The system's own text for an error code, from its message table in the
// default language, into an 80-character buffer.
#include <windows.h>

#include "device/system_message.hpp"

namespace kestrin {

OrSystemError<std::string> systemMessageText(std::uint32_t code) {
  char buffer[80];
  // The message table's texts may hold insertion sequences such as %1; with
  // no arguments to give, they are left as they stand instead of being
  // filled from whatever memory follows.
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                      MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer, sizeof buffer, nullptr);
  if (length == 0) {
    return common::Failure{static_cast<std::uint32_t>(GetLastError())};
  }
  std::string text(buffer, length);
  // The table's texts end in "\r\n"; the caller adds its own line end.
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
    text.pop_back();
  }
  return text;
}

}  // namespace kestrin
