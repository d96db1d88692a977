#include "device/nand_device.hpp"

#include "common/vendor_opcodes.hpp"

namespace kestrin {
namespace {

constexpr std::uint32_t kPieceSize = 512;          // bytes one request moves to or from the page buffer
constexpr std::uint32_t kFirmwareAreaBytes = 0x400000;  // the last 4 MiB of the NAND

std::uint16_t bigEndian16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

void reportTransportError(ToolContext& ctx, const CommandOutcome& outcome, const char* format) {
  ctx.lastError = outcome.errorCode;
  ctx.console.print(format, static_cast<int>(outcome.errorCode));
}

}  // namespace

bool DecodeGeometry(const std::uint8_t* record, DeviceGeometry& geometry, const char*& why) {
  DeviceGeometry g;
  g.BlockCount = bigEndian16(record);
  g.PagesPerBlock = record[3];
  g.PagesPerBlockShift = record[4];
  g.PageSize = bigEndian16(record + 5);
  g.PageSizeShift = record[7];

  if (g.PageSize == 0 || g.PageSize > kIoBufferSize || g.PageSize % kPieceSize != 0) {
    why = "the page size is not 512, 1024 or 2048 bytes";
    return false;
  }
  if (g.PageSizeShift >= 16 || (1U << g.PageSizeShift) != g.PageSize) {
    why = "the page size shift does not match the page size";
    return false;
  }
  if (g.PagesPerBlock == 0) {
    why = "a block has no pages";
    return false;
  }
  if (g.PagesPerBlockShift >= 8 || (1U << g.PagesPerBlockShift) != g.PagesPerBlock) {
    why = "the pages-per-block shift does not match the pages per block";
    return false;
  }
  // At most 2^11 * 2^7 bytes per block, so the area is at least 16 blocks.
  const std::uint32_t areaBlocks = kFirmwareAreaBytes >> (g.PageSizeShift + g.PagesPerBlockShift);
  if (areaBlocks > g.BlockCount) {
    why = "the NAND is smaller than the 4 MiB firmware area";
    return false;
  }
  g.FirmwareAreaBlocks = static_cast<std::uint16_t>(areaBlocks);
  g.FirmwareStartBlock = static_cast<std::uint16_t>(g.BlockCount - areaBlocks);
  geometry = g;
  why = nullptr;
  return true;
}

bool GetGeometry(ToolContext& ctx) {
  const CommandOutcome outcome = ctx.commands.cmd_bReadXdata(vendor::kGeometryAddress, ctx.ioBuffer.data(), 10);
  if (outcome.transportError()) {
    reportTransportError(ctx, outcome, "Error: %d  ");
    PrintSystemMessage(ctx.console, outcome.errorCode);
    return false;
  }
  const char* why = nullptr;
  if (!DecodeGeometry(ctx.ioBuffer.data(), ctx.geometry, why)) {
    ctx.console.print("Unsupported NAND geometry: %s.\n", why);
    return false;
  }
  return true;
}

bool WritePageBuffer(ToolContext& ctx, const std::uint8_t* bytes) {
  const std::uint32_t pieces = ctx.geometry.PageSize / kPieceSize;
  for (std::uint32_t k = 0; k < pieces; ++k) {
    const auto address = static_cast<std::uint16_t>(vendor::kPageBufferAddress + kPieceSize * k);
    const CommandOutcome written = ctx.commands.cmd_bWriteXdata(address, bytes + kPieceSize * k, kPieceSize);
    if (written.transportError()) {
      reportTransportError(ctx, written, " Error: %d");
      return false;
    }
  }
  return true;
}

bool ReadPageBuffer(ToolContext& ctx, std::uint8_t* bytes) {
  const std::uint32_t pieces = ctx.geometry.PageSize / kPieceSize;
  for (std::uint32_t k = 0; k < pieces; ++k) {
    const auto address = static_cast<std::uint16_t>(vendor::kPageBufferAddress + kPieceSize * k);
    const CommandOutcome piece = ctx.commands.cmd_bReadXdata(address, bytes + kPieceSize * k, kPieceSize);
    if (piece.transportError()) {
      reportTransportError(ctx, piece, " Error: %d");
      return false;
    }
  }
  return true;
}

bool ProgramPageFromHost(ToolContext& ctx, std::uint32_t page, std::uint16_t blockTag, const std::uint8_t* bytes) {
  if (!WritePageBuffer(ctx, bytes)) {
    return false;
  }
  const CommandOutcome programmed = ctx.commands.cmd_bProgramPage(page, blockTag, vendor::kPageBufferAddress);
  switch (programmed.kind) {
    case Outcome::Pass:
      return true;
    case Outcome::TransportError:
      reportTransportError(ctx, programmed, " Error: %d\n");
      return false;
    case Outcome::DeviceFail:
      MarkBlockBad(ctx, static_cast<std::uint16_t>(page >> ctx.geometry.PagesPerBlockShift));
      return false;
  }
  return false;
}

bool ReadPageToHost(ToolContext& ctx, std::uint32_t page, std::uint8_t* bytes) {
  const CommandOutcome read = ctx.commands.cmd_bReadPage(page, vendor::kPageBufferAddress);
  if (read.kind == Outcome::DeviceFail) {
    return false;
  }
  if (read.transportError()) {
    reportTransportError(ctx, read, " Error: %d\n");
    return false;
  }
  return ReadPageBuffer(ctx, bytes);
}

CommandOutcome MarkBlockBad(ToolContext& ctx, std::uint16_t block) {
  const CommandOutcome outcome = ctx.commands.cmd_bMarkBad(ctx.geometry.firstPage(block), vendor::kPageBufferAddress);
  if (outcome.transportError()) {
    reportTransportError(ctx, outcome, " Error: %d");
  }
  return outcome;
}

}  // namespace kestrin
