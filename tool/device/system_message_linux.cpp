#include "device/system_message.hpp"

#include <cerrno>
#include <climits>
#include <cstring>

namespace kestrin {

// strerrordesc_np knows exactly the codes the C library has a text for and
// gives nothing for the others (where strerror would make up "Unknown error N"),
// so an unknown code is a failed look-up, as it is on Windows.
bool systemMessageText(std::uint32_t code, std::string& text, std::uint32_t& lookupError) {
  if (code > static_cast<std::uint32_t>(INT_MAX)) {
    lookupError = EINVAL;
    return false;
  }
  const char* description = ::strerrordesc_np(static_cast<int>(code));
  if (description == nullptr) {
    lookupError = EINVAL;
    return false;
  }
  text = description;
  return true;
}

}  // namespace kestrin
