// One run of kestrin: refuse an unusable command line, open the device, the
// start-up probes, then the command that the keyword names. The caller ends
// the process with the returned exit code (0, 1, or 2 for bchkp only).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string_view>

#include "device/console.hpp"
#include "device/scsi_transport.hpp"

namespace kestrin {

// Opens the named device (openDevice in the program).
using DeviceOpener = std::function<OrSystemError<std::unique_ptr<ScsiTransport>>(std::string_view name)>;

// `args` are the arguments after the program name. The device, once opened,
// is closed again before this returns, on every path.
int runKestrin(std::span<const char* const> args, Console& console, const DeviceOpener& open);

// The banner a run without arguments prints, with this build's date and time.
void printBanner(Console& console);

}  // namespace kestrin
