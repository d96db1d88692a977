// The command line's end of the control socket: one request, one answer.
#pragma once

#include <string>
#include <vector>

namespace flashsim {

// Sends one control command (its word and arguments) to the daemon serving
// `dir`. On success returns true with the payload; else false with the
// error text.
bool sendControl(const std::string& dir, const std::vector<std::string>& words, std::string& payload,
                 std::string& error);

}  // namespace flashsim
