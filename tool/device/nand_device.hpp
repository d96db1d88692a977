// The NAND geometry read from the controller, and the composite page
// operations that the long commands build on.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/result.hpp"
#include "device/failure_report.hpp"
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

  std::uint32_t firstPage(std::uint16_t block) const { return static_cast<std::uint32_t>(block) << PagesPerBlockShift; }
};

// The largest page the tool handles: every page buffer of a run holds this much.
inline constexpr std::size_t kMaxPageSize = 2048;

// What the page operations need of a run: the device's commands, where a
// request that did not complete is reported, and the geometry once read.
struct NandAccess {
  VendorCommands& commands;
  FailureReport& failures;
  const DeviceGeometry& geometry;
};

// Decodes the 10-byte geometry record; a one-line reason for a geometry the
// tool cannot work with.
common::Result<DeviceGeometry> decodeGeometry(const std::uint8_t* record);

// Reads the geometry record into `buffer` (at least 10 bytes) and decodes it
// into `geometry`, printing the failure.
bool GetGeometry(VendorCommands& commands, FailureReport& failures, std::uint8_t* buffer, DeviceGeometry& geometry);
// Transfers of one page (PageSize bytes) between host memory and the
// controller's page buffer, in 512-byte pieces. A piece that does not
// complete prints " Error: %d" (no line end) and fails the transfer.
bool writePageBuffer(const NandAccess& nand, const std::uint8_t* bytes);
bool readPageBuffer(const NandAccess& nand, std::uint8_t* bytes);

bool ProgramPageFromHost(const NandAccess& nand, std::uint32_t page, std::uint16_t blockTag, const std::uint8_t* bytes);
bool ReadPageToHost(const NandAccess& nand, std::uint32_t page, std::uint8_t* bytes);
CommandOutcome MarkBlockBad(const NandAccess& nand, std::uint16_t block);

}  // namespace kestrin
