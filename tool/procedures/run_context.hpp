// One run of kestrin as its commands see it: the device's commands, the
// console, the report of requests that did not complete (which keeps the
// run's last system error), the 2048-byte I/O buffer and the geometry once
// read. The long commands here and the command line's short ones work on it;
// the device layer is handed only the parts it needs.
#pragma once

#include <array>
#include <cstdint>

#include "device/console.hpp"
#include "device/failure_report.hpp"
#include "device/nand_device.hpp"
#include "device/vendor_commands.hpp"

namespace kestrin {

inline constexpr std::size_t kIoBufferSize = kMaxPageSize;

struct RunContext {
  RunContext(VendorCommands& deviceCommands, Console& out) : commands(deviceCommands), console(out), failures(out) {}
  RunContext(const RunContext&) = delete;
  RunContext& operator=(const RunContext&) = delete;

  VendorCommands& commands;
  Console& console;
  FailureReport failures;
  std::array<std::uint8_t, kIoBufferSize> ioBuffer{};
  DeviceGeometry geometry{};

  // The page operations' view of this run.
  NandAccess nand() { return {commands, failures, geometry}; }
  // Reads the geometry afresh through the I/O buffer; false after printing why.
  bool readGeometry() { return GetGeometry(commands, failures, ioBuffer.data(), geometry); }
};

}  // namespace kestrin
