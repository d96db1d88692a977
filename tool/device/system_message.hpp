// The platform's text for a system error code (strerror-style here,
// FormatMessageA on Windows).
#pragma once

#include <cstdint>
#include <string>

#include "device/system_error_code.hpp"

namespace kestrin {

// The text (no trailing line break), or the look-up's own error code.
OrSystemError<std::string> systemMessageText(std::uint32_t code);

}  // namespace kestrin
