// The tool's failures below the command line carry the system's error code
// (errno here, GetLastError on Windows), not a text: the tool prints the
// number, and the system's text for it where its output asks for one.
#pragma once

#include <cstdint>

#include "common/result.hpp"

namespace kestrin {

// A value, or the system error code of the step that failed.
template <class T>
using OrSystemError = common::Result<T, std::uint32_t>;

}  // namespace kestrin
