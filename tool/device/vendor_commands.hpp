// The vendor SCSI command set of the flash controller, and the two standard
// commands the tool sends, each with its exact CDB bytes, direction, length
// and time-out.
#pragma once

#include <cstdint>

#include "device/scsi_transport.hpp"

namespace kestrin {

enum class Outcome { Pass, DeviceFail, TransportError };

struct CommandOutcome {
  Outcome kind = Outcome::TransportError;
  std::uint32_t errorCode = 0;  // the system error code of a TransportError
  bool pass() const { return kind == Outcome::Pass; }
  bool transportError() const { return kind == Outcome::TransportError; }
};

class VendorCommands {
 public:
  explicit VendorCommands(ScsiTransport& transport) : transport_(transport) {}

  // Memory commands and cmd_bStartup: Pass or TransportError. A completed
  // read delivers the bytes the device sent (the transport's count of what
  // arrived); every other byte of `out`, and all of it after a request that
  // did not complete, keeps what it held before.
  CommandOutcome cmd_bReadXdata(std::uint16_t address, std::uint8_t* out, std::uint16_t n);
  CommandOutcome cmd_bWriteXdata(std::uint16_t address, const std::uint8_t* in, std::uint32_t n);
  CommandOutcome cmd_bReadCode(std::uint16_t address, std::uint8_t* out, std::uint16_t n);
  CommandOutcome cmd_bStartup(std::uint16_t first, std::uint16_t second);

  // Status commands: Pass when bit 0 of the returned status byte is 1; a
  // completed request that brought no byte is a DeviceFail.
  CommandOutcome cmd_bMove();
  CommandOutcome cmd_bEraseBlock(std::uint16_t block);
  CommandOutcome cmd_bProgramPage(std::uint32_t page, std::uint16_t blockTag, std::uint16_t bufferAddress);
  CommandOutcome cmd_bReadPage(std::uint32_t page, std::uint16_t bufferAddress);
  CommandOutcome cmd_bBlockStatus(std::uint32_t firstPage);
  CommandOutcome cmd_bMarkBad(std::uint32_t firstPage, std::uint16_t bufferAddress);
  CommandOutcome cmd_bStartBlankCheck(std::uint8_t t1, std::uint8_t t2, std::uint8_t t3, std::uint8_t t4);
  CommandOutcome cmd_bPollBlankCheck();

  // INQUIRY: Pass when completed with the supported 8-byte header, DeviceFail
  // when completed with another header. `out` receives the 36 bytes.
  CommandOutcome cmd_bInquiry(std::uint8_t* out36);
  // READ CAPACITY (6-byte CDB): Pass or TransportError; the two big-endian values.
  CommandOutcome cmd_bReadCapacity(std::uint32_t& lastBlockAddress, std::uint32_t& blockLength);

 private:
  ScsiTransport& transport_;
};

}  // namespace kestrin
