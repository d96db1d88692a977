#include "flashsim/control_commands_linux.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <memory>

#include "flashsim/control_server_linux.hpp"

namespace flashsim {
namespace {

using common::Failure;
using common::Result;
using Words = std::vector<std::string>;
using Payload = Result<std::string>;

Payload runPlug(Server& server, const Words& args) {
  const Result<DeviceArgument> device = parseDeviceArgument(args[0]);
  if (!device) {
    return Failure{device.error()};
  }
  if (const Result<void> plugged = server.plug(*device); !plugged) {
    return Failure{plugged.error()};
  }
  return std::string();
}

// Hands a device to the local vhci-hcd driver, plugging it first when its
// letter is not plugged. When the attach fails, the letter is left as it was:
// unplugged again, with its previous device or none.
Payload runAttach(Server& server, const Words& args) {
  const Result<DeviceArgument> device = parseDeviceArgument(args[0]);
  if (!device) {
    return Failure{device.error()};
  }
  const char letter = device->letter;
  const bool plugHere = !server.usbip().offers(letter);
  if (!plugHere && !device->bareLetter) {
    return Failure{std::string("device ") + letter + " is already plugged"};
  }
  std::shared_ptr<Device> previous;
  if (plugHere) {
    if (Result<std::shared_ptr<Device>> before = server.device(std::string(1, letter))) {
      previous = std::move(before).value();
    }
    if (const Result<void> plugged = server.plug(*device); !plugged) {
      return Failure{plugged.error()};
    }
  }
  if (const Result<void> attached = server.usbip().attachLocal(letter); !attached) {
    if (plugHere) {
      server.withdraw(letter, previous);
    }
    return Failure{attached.error()};
  }
  return std::string();
}

Payload runUnplug(Server& server, const Words& args) {
  const char letter = parseLetter(args[0]);
  if (letter == 0) {
    return Failure{"expected a drive letter, got '" + args[0] + "'"};
  }
  if (const Result<void> unplugged = server.unplug(letter); !unplugged) {
    return Failure{unplugged.error()};
  }
  return std::string();
}

Payload runFault(Server& server, const Words& args) {
  const Result<std::shared_ptr<Device>> device = server.device(args[0]);
  if (!device) {
    return Failure{device.error()};
  }
  Faults faults = (*device)->faults();
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (const Result<void> applied = applyFaultSetting(faults, args[i]); !applied) {
      return Failure{applied.error()};
    }
  }
  (*device)->setFaults(faults);
  return std::string();
}

Payload runTrace(Server& server, const Words& args) {
  const Result<std::shared_ptr<Device>> device = server.device(args[0]);
  if (!device) {
    return Failure{device.error()};
  }
  std::string payload;
  for (const TraceEntry& e : (*device)->trace()) {
    payload += formatTraceEntry(e) + "\n";
  }
  return payload;
}

Payload runBad(Server& server, const Words& args) {
  const Result<std::shared_ptr<Device>> device = server.device(args[0]);
  if (!device) {
    return Failure{device.error()};
  }
  std::string payload;
  for (std::uint16_t b : (*device)->badBlocks()) {
    payload += std::to_string(b) + "\n";
  }
  return payload;
}

Payload runPage(Server& server, const Words& args) {
  const Result<std::shared_ptr<Device>> device = server.device(args[0]);
  if (!device) {
    return Failure{device.error()};
  }
  const std::string& text = args[1];
  const bool digits = !text.empty() && text.size() <= 10 &&
                      std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
  const std::uint64_t page = digits ? std::stoull(text) : 0;
  const auto bytes =
      digits && page <= 0xFFFFFFFFULL ? (*device)->page(static_cast<std::uint32_t>(page)) : std::vector<std::uint8_t>{};
  if (bytes.empty()) {
    return Failure{"no page '" + text + "' in the array"};
  }
  return std::string(bytes.begin(), bytes.end());
}

Payload runTimings(Server& server, const Words& args) {
  const Result<std::shared_ptr<Device>> device = server.device(args[0]);
  if (!device) {
    return Failure{device.error()};
  }
  const auto t = (*device)->blankCheckTimings();
  if (!t) {
    return Failure{std::string("device ") + parseLetter(args[0]) + " has not received cmd_bStartBlankCheck"};
  }
  return std::to_string((*t)[0]) + " " + std::to_string((*t)[1]) + " " + std::to_string((*t)[2]) + " " +
         std::to_string((*t)[3]) + "\n";
}

Payload runPid(Server&, const Words&) { return std::to_string(::getpid()) + "\n"; }

Payload runStop(Server& server, const Words&) {
  server.requestStop();
  return std::string();
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
