// The platform's text for a system error code (strerror-style here,
// FormatMessageA on Windows).
#pragma once

#include <cstdint>
#include <string>

namespace kestrin {

// True with the text in `text` (no trailing line break), or false with the
// look-up's own error code in `lookupError`.
bool systemMessageText(std::uint32_t code, std::string& text, std::uint32_t& lookupError);

}  // namespace kestrin
