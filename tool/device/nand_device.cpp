#include "device/nand_device.hpp"

#include "common/byte_order.hpp"
#include "common/vendor_opcodes.hpp"

namespace kestrin {
namespace {

constexpr std::uint32_t kPieceSize = 512;               // bytes one request moves to or from the page buffer
constexpr std::uint32_t kFirmwareAreaBytes = 0x400000;  // the last 4 MiB of the NAND

}  // namespace

common::Result<DeviceGeometry> decodeGeometry(const std::uint8_t* record) {
  DeviceGeometry g;
  g.BlockCount = common::byte_order::getBe16(record);
  g.PagesPerBlock = record[3];
  g.PagesPerBlockShift = record[4];
  g.PageSize = common::byte_order::getBe16(record + 5);
  g.PageSizeShift = record[7];

  if (g.PageSize == 0 || g.PageSize > kMaxPageSize || g.PageSize % kPieceSize != 0) {
    return common::Failure{"the page size is not 512, 1024 or 2048 bytes"};
  }
  if (g.PageSizeShift >= 16 || (1U << g.PageSizeShift) != g.PageSize) {
    return common::Failure{"the page size shift does not match the page size"};
  }
  if (g.PagesPerBlock == 0) {
    return common::Failure{"a block has no pages"};
  }
  if (g.PagesPerBlockShift >= 8 || (1U << g.PagesPerBlockShift) != g.PagesPerBlock) {
    return common::Failure{"the pages-per-block shift does not match the pages per block"};
  }
  // At most 2^11 * 2^7 bytes per block, so the area is at least 16 blocks.
  const std::uint32_t areaBlocks = kFirmwareAreaBytes >> (g.PageSizeShift + g.PagesPerBlockShift);
  if (areaBlocks > g.BlockCount) {
    return common::Failure{"the NAND is smaller than the 4 MiB firmware area"};
  }
  g.FirmwareAreaBlocks = static_cast<std::uint16_t>(areaBlocks);
  g.FirmwareStartBlock = static_cast<std::uint16_t>(g.BlockCount - areaBlocks);
  return g;
}

bool GetGeometry(VendorCommands& commands, FailureReport& failures, std::uint8_t* buffer, DeviceGeometry& geometry) {
  const CommandOutcome outcome = commands.cmd_bReadXdata(common::vendor_opcodes::kGeometryAddress, buffer, 10);
  if (outcome.transportError()) {
    failures.report(outcome, FailureForm::WithSystemText);
    return false;
  }
  const common::Result<DeviceGeometry> decoded = decodeGeometry(buffer);
  if (!decoded) {
    failures.console().print("Unsupported NAND geometry: %s.\n", decoded.error().c_str());
    return false;
  }
  geometry = *decoded;
  return true;
}

// Moves the page in 512-byte pieces with `piece`(address, offset).
template <typename Piece>
bool transferPage(const NandAccess& nand, Piece piece) {
  const std::uint32_t pieces = nand.geometry.PageSize / kPieceSize;
  for (std::uint32_t k = 0; k < pieces; ++k) {
    const auto address = static_cast<std::uint16_t>(common::vendor_opcodes::kPageBufferAddress + kPieceSize * k);
    const CommandOutcome moved = piece(address, kPieceSize * k);
    if (moved.transportError()) {
      nand.failures.report(moved, FailureForm::Inline);
      return false;
    }
  }
  return true;
}

bool writePageBuffer(const NandAccess& nand, const std::uint8_t* bytes) {
  return transferPage(nand, [&](std::uint16_t address, std::uint32_t offset) {
    return nand.commands.cmd_bWriteXdata(address, bytes + offset, kPieceSize);
  });
}

bool readPageBuffer(const NandAccess& nand, std::uint8_t* bytes) {
  return transferPage(nand, [&](std::uint16_t address, std::uint32_t offset) {
    return nand.commands.cmd_bReadXdata(address, bytes + offset, kPieceSize);
  });
}

bool ProgramPageFromHost(const NandAccess& nand, std::uint32_t page, std::uint16_t blockTag,
                         const std::uint8_t* bytes) {
  if (!writePageBuffer(nand, bytes)) {
    return false;
  }
  const CommandOutcome programmed =
      nand.commands.cmd_bProgramPage(page, blockTag, common::vendor_opcodes::kPageBufferAddress);
  switch (programmed.kind) {
    case Outcome::Pass:
      return true;
    case Outcome::TransportError:
      nand.failures.report(programmed, FailureForm::EndOfLine);
      return false;
    case Outcome::DeviceFail:
      MarkBlockBad(nand, static_cast<std::uint16_t>(page >> nand.geometry.PagesPerBlockShift));
      return false;
  }
  return false;
}

bool ReadPageToHost(const NandAccess& nand, std::uint32_t page, std::uint8_t* bytes) {
  const CommandOutcome read = nand.commands.cmd_bReadPage(page, common::vendor_opcodes::kPageBufferAddress);
  if (read.kind == Outcome::DeviceFail) {
    return false;
  }
  if (read.transportError()) {
    nand.failures.report(read, FailureForm::EndOfLine);
    return false;
  }
  return readPageBuffer(nand, bytes);
}

CommandOutcome MarkBlockBad(const NandAccess& nand, std::uint16_t block) {
  const CommandOutcome outcome =
      nand.commands.cmd_bMarkBad(nand.geometry.firstPage(block), common::vendor_opcodes::kPageBufferAddress);
  if (outcome.transportError()) {
    nand.failures.report(outcome, FailureForm::Inline);
  }
  return outcome;
}

}  // namespace kestrin
