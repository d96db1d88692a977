// The control commands: what `flashsim plug`, `fault`, `trace` ... ask of the
// daemon serving DIR, through DIR/.flashsim-control. The command line and the
// daemon both go by the table here.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.hpp"

namespace flashsim {

inline constexpr const char* kControlName = ".flashsim-control";

// The most bytes a control request may have, its line feed included.
inline constexpr std::size_t kMaxControlRequest = 65536;
std::string controlRequestTooLong();  // the error text for a longer one

class Server;

// One control command: its word, its arguments as the usage shows them
// after "--dir DIR", how many it takes, and what the daemon does with them
// (the output bytes).
struct ControlCommand {
  std::string_view name;
  std::string_view arguments;
  std::size_t minArguments;
  std::size_t maxArguments;
  common::Result<std::string> (*run)(Server& server, const std::vector<std::string>& arguments);
};

// Every control command, in the order the usage lists them.
std::span<const ControlCommand> controlCommands();
const ControlCommand* findControlCommand(std::string_view name);

}  // namespace flashsim
