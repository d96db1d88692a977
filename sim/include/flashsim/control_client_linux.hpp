// The command line's end of the control socket: one request, one answer.
#pragma once

#include <string>
#include <vector>

#include "common/result.hpp"

namespace flashsim {

// Sends one control command (its word and arguments) to the daemon serving
// `dir`: the output bytes of its answer.
common::Result<std::string> sendControl(const std::string& dir, const std::vector<std::string>& words);

}  // namespace flashsim
