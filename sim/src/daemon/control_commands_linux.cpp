#include "flashsim/control_commands_linux.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <memory>

#include "flashsim/control_server_linux.hpp"

namespace flashsim {
namespace {

using Words = std::vector<std::string>;

std::string runPlug(Server& server, const Words& args, std::string&) {
  const ParsedDevice parsed = parseDeviceArgument(args[0]);
  return parsed.error.empty() ? server.plug(parsed.device) : parsed.error;
}

// Hands a device to the local vhci-hcd driver, plugging it first when its
// letter is not plugged. When the attach fails, the letter is left as it was:
// unplugged again, with its previous device or none.
std::string runAttach(Server& server, const Words& args, std::string&) {
  const ParsedDevice parsed = parseDeviceArgument(args[0]);
  if (!parsed.error.empty()) {
    return parsed.error;
  }
  const char letter = parsed.device.letter;
  const bool plugHere = !server.usbip().offers(letter);
  if (!plugHere && !parsed.device.bareLetter) {
    return std::string("device ") + letter + " is already plugged";
  }
  std::string error;
  const std::shared_ptr<Device> previous = plugHere ? server.device(std::string(1, letter), error) : nullptr;
  error = plugHere ? server.plug(parsed.device) : std::string();
  if (error.empty()) {
    error = server.usbip().attachLocal(letter);
    if (!error.empty() && plugHere) {
      server.withdraw(letter, previous);
    }
  }
  return error;
}

std::string runUnplug(Server& server, const Words& args, std::string&) {
  const char letter = parseLetter(args[0]);
  return letter == 0 ? "expected a drive letter, got '" + args[0] + "'" : server.unplug(letter);
}

std::string runFault(Server& server, const Words& args, std::string&) {
  std::string error;
  const auto device = server.device(args[0], error);
  if (!device) {
    return error;
  }
  Faults faults = device->faults();
  for (std::size_t i = 1; i < args.size(); ++i) {
    error = applyFaultSetting(faults, args[i]);
    if (!error.empty()) {
      return error;
    }
  }
  device->setFaults(faults);
  return {};
}

std::string runTrace(Server& server, const Words& args, std::string& payload) {
  std::string error;
  const auto device = server.device(args[0], error);
  if (device) {
    for (const TraceEntry& e : device->trace()) {
      payload += formatTraceEntry(e) + "\n";
    }
  }
  return error;
}

std::string runBad(Server& server, const Words& args, std::string& payload) {
  std::string error;
  const auto device = server.device(args[0], error);
  if (device) {
    for (std::uint16_t b : device->badBlocks()) {
      payload += std::to_string(b) + "\n";
    }
  }
  return error;
}

std::string runPage(Server& server, const Words& args, std::string& payload) {
  std::string error;
  const auto device = server.device(args[0], error);
  if (!device) {
    return error;
  }
  const std::string& text = args[1];
  const bool digits = !text.empty() && text.size() <= 10 &&
                      std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
  const std::uint64_t page = digits ? std::stoull(text) : 0;
  const auto bytes = digits && page <= 0xFFFFFFFFULL ? device->page(static_cast<std::uint32_t>(page))
                                                     : std::vector<std::uint8_t>{};
  if (bytes.empty()) {
    return "no page '" + text + "' in the array";
  }
  payload.assign(bytes.begin(), bytes.end());
  return {};
}

std::string runTimings(Server& server, const Words& args, std::string& payload) {
  std::string error;
  const auto device = server.device(args[0], error);
  if (!device) {
    return error;
  }
  const auto t = device->blankCheckTimings();
  if (!t) {
    return std::string("device ") + parseLetter(args[0]) + " has not received cmd_bStartBlankCheck";
  }
  payload = std::to_string((*t)[0]) + " " + std::to_string((*t)[1]) + " " + std::to_string((*t)[2]) + " " +
            std::to_string((*t)[3]) + "\n";
  return {};
}

std::string runPid(Server&, const Words&, std::string& payload) {
  payload = std::to_string(::getpid()) + "\n";
  return {};
}

std::string runStop(Server& server, const Words&, std::string&) {
  server.requestStop();
  return {};
}

constexpr std::size_t kAny = static_cast<std::size_t>(-1);

constexpr ControlCommand kCommands[] = {
    {"plug", "DEVICE", 1, 1, runPlug},
    {"attach", "DEVICE", 1, 1, runAttach},
    {"unplug", "LETTER", 1, 1, runUnplug},
    {"fault", "LETTER KEY=VALUE...", 2, kAny, runFault},
    {"trace", "LETTER", 1, 1, runTrace},
    {"bad", "LETTER", 1, 1, runBad},
    {"page", "LETTER PAGE", 2, 2, runPage},
    {"timings", "LETTER", 1, 1, runTimings},
    {"pid", "", 0, 0, runPid},
    {"stop", "", 0, 0, runStop},
};

}  // namespace

std::span<const ControlCommand> controlCommands() { return kCommands; }

const ControlCommand* findControlCommand(std::string_view name) {
  for (const ControlCommand& c : kCommands) {
    if (c.name == name) {
      return &c;
    }
  }
  return nullptr;
}

std::string controlRequestTooLong() {
  return "control request longer than the limit of " + std::to_string(kMaxControlRequest) + " bytes";
}

}  // namespace flashsim
