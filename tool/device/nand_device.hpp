// The NAND geometry read from the controller, and the composite page
// operations that the long commands build on.
#pragma once

#include <array>
#include <cstdint>

#include "device/console.hpp"
#include "device/vendor_commands.hpp"

namespace kestrin {

struct DeviceGeometry {
  std::uint16_t BlockCount = 0;
  std::uint8_t PagesPerBlock = 0;
  std::uint8_t PagesPerBlockShift = 0;
  std::uint16_t PageSize = 0;
  std::uint8_t PageSizeShift = 0;
  std::uint16_t FirmwareAreaBlocks = 0;  // blocks that hold the last 4 MiB
  std::uint16_t FirmwareStartBlock = 0;  // BlockCount - FirmwareAreaBlocks

  std::uint32_t firstPage(std::uint16_t block) const {
    return static_cast<std::uint32_t>(block) << PagesPerBlockShift;
  }
};

inline constexpr std::size_t kIoBufferSize = 2048;

// Process-wide state of one run: the device, the console, the last system
// error code, the 2048-byte I/O buffer and the geometry once read.
struct ToolContext {
  VendorCommands& commands;
  Console& console;
  std::uint32_t lastError = 0;
  std::array<std::uint8_t, kIoBufferSize> ioBuffer{};
  DeviceGeometry geometry{};
};

// Decodes the 10-byte geometry record. Returns false (and leaves `why` with a
// one-line reason) for a geometry the tool cannot work with.
bool DecodeGeometry(const std::uint8_t* record, DeviceGeometry& geometry, const char*& why);

// Reads and decodes the geometry into ctx.geometry, printing the failure.
bool GetGeometry(ToolContext& ctx);
// Transfers of one page (PageSize bytes) between host memory and the
// controller's page buffer, in 512-byte pieces. A piece that does not
// complete prints " Error: %d" (no line end) and fails the transfer.
bool WritePageBuffer(ToolContext& ctx, const std::uint8_t* bytes);
bool ReadPageBuffer(ToolContext& ctx, std::uint8_t* bytes);

bool ProgramPageFromHost(ToolContext& ctx, std::uint32_t page, std::uint16_t blockTag, const std::uint8_t* bytes);
bool ReadPageToHost(ToolContext& ctx, std::uint32_t page, std::uint8_t* bytes);
CommandOutcome MarkBlockBad(ToolContext& ctx, std::uint16_t block);

}  // namespace kestrin
