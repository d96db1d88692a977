#include <cerrno>
#include <climits>
#include <cstring>

#include "device/system_message.hpp"

namespace kestrin {

// strerrordesc_np knows exactly the codes the C library has a text for and
// gives nothing for the others (where strerror would make up "Unknown error N"),
// so an unknown code is a failed look-up, as it is on Windows.
OrSystemError<std::string> systemMessageText(std::uint32_t code) {
  const char* description =
      code > static_cast<std::uint32_t>(INT_MAX) ? nullptr : ::strerrordesc_np(static_cast<int>(code));
  if (description == nullptr) {
    return common::Failure{static_cast<std::uint32_t>(EINVAL)};
  }
  return std::string(description);
}

}  // namespace kestrin
