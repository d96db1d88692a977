#include "device/vendor_commands.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "common/byte_order.hpp"
#include "common/vendor_opcodes.hpp"

namespace kestrin {
namespace {

// The longest transfer one request record carries.
constexpr std::uint32_t kRecordDataSize = 512;
constexpr std::uint32_t kDefaultTimeout = 20;
constexpr std::uint32_t kMoveTimeout = 60;

// The system error code given back for a request the tool refuses to build.
#if defined(_WIN32)
constexpr std::uint32_t kInvalidRequest = 87;  // ERROR_INVALID_PARAMETER
#else
constexpr std::uint32_t kInvalidRequest = EINVAL;
#endif

ScsiRequest makeRequest(std::uint8_t cdbLength, std::initializer_list<std::uint8_t> bytes) {
  ScsiRequest request;
  request.cdbLength = cdbLength;
  std::size_t i = 0;
  for (const std::uint8_t b : bytes) {
    request.cdb[i++] = b;
  }
  request.timeoutSeconds = kDefaultTimeout;
  return request;
}

// A 16-bit CDB field at `offset`, low byte first.
ScsiRequest& put16(ScsiRequest& request, std::size_t offset, std::uint16_t value) {
  common::byte_order::putLe16(request.cdb.data() + offset, value);
  return request;
}

// A request whose CDB bytes 2-3 carry one 16-bit value (an address, a block).
ScsiRequest wordRequest(std::uint8_t op, std::uint8_t sub, std::uint16_t value) {
  ScsiRequest request = makeRequest(6, {op, sub});
  return put16(request, 2, value);
}

// Bytes 2-5 of a page-addressed CDB, low byte first.
void putPage(ScsiRequest& request, std::uint32_t page) { common::byte_order::putLe32(request.cdb.data() + 2, page); }

CommandOutcome passOrTransportError(const TransportStatus& status) {
  if (status.completed) {
    return {Outcome::Pass, 0};
  }
  return {Outcome::TransportError, status.errorCode};
}

// A data-in request through the record: the device's bytes land in a
// staging area of at most one record's data, and only the bytes the device
// sent for a completed request go on to `out`. Bytes the device never sent
// keep what the caller put there: a read-back that fills its buffer with the
// opposite of the expected pattern cannot be passed by a device that returns
// nothing. Gives the transport's status with the count of bytes that arrived.
TransportStatus readThroughRecord(ScsiTransport& transport, ScsiRequest request, std::uint8_t* out,
                                  std::uint32_t length) {
  if (length > kRecordDataSize || (out == nullptr && length > 0)) {
    if (out != nullptr) {
      std::memset(out, 0, length);
    }
    return {false, kInvalidRequest};
  }
  std::array<std::uint8_t, kRecordDataSize> staging;
  std::memset(staging.data(), 0, length);  // the device sees a zeroed buffer, as through the record
  request.direction = DataDirection::In;
  request.data = staging.data();
  request.length = length;
  TransportStatus status = transport.execute(request);
  status.received = status.completed ? std::min(status.received, length) : 0;
  if (status.received > 0) {
    std::memcpy(out, staging.data(), status.received);
  }
  return status;
}

// A status command: one status byte in, bit 0 set means success. A device
// that completes the request without sending its byte fails it.
CommandOutcome statusCommand(ScsiTransport& transport, const ScsiRequest& request) {
  std::uint8_t status = 0;
  const TransportStatus result = readThroughRecord(transport, request, &status, 1);
  if (!result.completed) {
    return {Outcome::TransportError, result.errorCode};
  }
  const bool passed = result.received == 1 && (status & 0x01) != 0;
  return {passed ? Outcome::Pass : Outcome::DeviceFail, 0};
}

constexpr std::array<std::uint8_t, 8> kSupportedInquiryHeader = {0x00, 0x80, 0x02, 0x02, 0x1F, 0x00, 0x00, 0x00};

}  // namespace

CommandOutcome VendorCommands::cmd_bReadXdata(std::uint16_t address, std::uint8_t* out, std::uint16_t n) {
  const ScsiRequest request =
      wordRequest(common::vendor_opcodes::kOpRead, common::vendor_opcodes::kSubReadXdata, address);
  return passOrTransportError(readThroughRecord(transport_, request, out, n));
}

CommandOutcome VendorCommands::cmd_bWriteXdata(std::uint16_t address, const std::uint8_t* in, std::uint32_t n) {
  if (in == nullptr && n > 0) {
    return {Outcome::TransportError, kInvalidRequest};
  }
  ScsiRequest request = wordRequest(common::vendor_opcodes::kOpWrite, common::vendor_opcodes::kSubWriteXdata, address);
  // The transport only reads the bytes of a data-out request; a private copy
  // keeps the caller's const promise without a cast.
  std::vector<std::uint8_t> bytes(in, in + n);
  request.direction = DataDirection::Out;
  request.data = bytes.data();
  request.length = n;
  return passOrTransportError(transport_.execute(request));
}

CommandOutcome VendorCommands::cmd_bReadCode(std::uint16_t address, std::uint8_t* out, std::uint16_t n) {
  const ScsiRequest request =
      wordRequest(common::vendor_opcodes::kOpRead, common::vendor_opcodes::kSubReadCode, address);
  return passOrTransportError(readThroughRecord(transport_, request, out, n));
}

CommandOutcome VendorCommands::cmd_bStartup(std::uint16_t first, std::uint16_t second) {
  ScsiRequest request = wordRequest(common::vendor_opcodes::kOpRead, common::vendor_opcodes::kSubStartup, first);
  put16(request, 4, second);
  std::uint8_t ignored = 0;
  return passOrTransportError(readThroughRecord(transport_, request, &ignored, 1));
}

CommandOutcome VendorCommands::cmd_bMove() {
  ScsiRequest request = makeRequest(6, {common::vendor_opcodes::kOpRead, common::vendor_opcodes::kSubMove});
  request.timeoutSeconds = kMoveTimeout;
  return statusCommand(transport_, request);
}

CommandOutcome VendorCommands::cmd_bEraseBlock(std::uint16_t block) {
  return statusCommand(transport_,
                       wordRequest(common::vendor_opcodes::kOpRead, common::vendor_opcodes::kSubEraseBlock, block));
}

CommandOutcome VendorCommands::cmd_bProgramPage(std::uint32_t page, std::uint16_t blockTag,
                                                std::uint16_t bufferAddress) {
  ScsiRequest request = makeRequest(10, {common::vendor_opcodes::kOpRead, common::vendor_opcodes::kSubProgramPage});
  putPage(request, page);
  put16(request, 6, blockTag);
  put16(request, 8, bufferAddress);
  return statusCommand(transport_, request);
}

CommandOutcome VendorCommands::cmd_bReadPage(std::uint32_t page, std::uint16_t bufferAddress) {
  ScsiRequest request = makeRequest(10, {common::vendor_opcodes::kOpRead, common::vendor_opcodes::kSubReadPage});
  putPage(request, page);
  put16(request, 6, bufferAddress);
  return statusCommand(transport_, request);
}

CommandOutcome VendorCommands::cmd_bBlockStatus(std::uint32_t firstPage) {
  ScsiRequest request = makeRequest(6, {common::vendor_opcodes::kOpRead, common::vendor_opcodes::kSubBlockStatus});
  putPage(request, firstPage);
  return statusCommand(transport_, request);
}

CommandOutcome VendorCommands::cmd_bMarkBad(std::uint32_t firstPage, std::uint16_t bufferAddress) {
  ScsiRequest request = makeRequest(10, {common::vendor_opcodes::kOpRead, common::vendor_opcodes::kSubMarkBad});
  putPage(request, firstPage);
  put16(request, 6, bufferAddress);
  return statusCommand(transport_, request);
}

CommandOutcome VendorCommands::cmd_bStartBlankCheck(std::uint8_t t1, std::uint8_t t2, std::uint8_t t3,
                                                    std::uint8_t t4) {
  return statusCommand(transport_, makeRequest(6, {common::vendor_opcodes::kOpRead,
                                                   common::vendor_opcodes::kSubStartBlankCheck, t1, t2, t3, t4}));
}

CommandOutcome VendorCommands::cmd_bPollBlankCheck() {
  return statusCommand(transport_,
                       makeRequest(6, {common::vendor_opcodes::kOpRead, common::vendor_opcodes::kSubPollBlankCheck}));
}

CommandOutcome VendorCommands::cmd_bInquiry(std::uint8_t* out36) {
  // The allocation-length byte stays 0; the transfer length alone asks for 36 bytes.
  const ScsiRequest request = makeRequest(6, {common::vendor_opcodes::kOpInquiry});
  std::array<std::uint8_t, 36> answer{};
  const TransportStatus status = readThroughRecord(transport_, request, answer.data(), answer.size());
  if (out36 != nullptr) {
    std::memcpy(out36, answer.data(), answer.size());
  }
  if (!status.completed) {
    return {Outcome::TransportError, status.errorCode};
  }
  const bool supported =
      std::memcmp(answer.data(), kSupportedInquiryHeader.data(), kSupportedInquiryHeader.size()) == 0;
  return {supported ? Outcome::Pass : Outcome::DeviceFail, 0};
}

CommandOutcome VendorCommands::cmd_bReadCapacity(std::uint32_t& lastBlockAddress, std::uint32_t& blockLength) {
  const ScsiRequest request = makeRequest(6, {common::vendor_opcodes::kOpReadCapacity});
  std::array<std::uint8_t, 8> answer{};
  const TransportStatus status = readThroughRecord(transport_, request, answer.data(), answer.size());
  lastBlockAddress = common::byte_order::getBe32(answer.data());
  blockLength = common::byte_order::getBe32(answer.data() + 4);
  return passOrTransportError(status);
}

}  // namespace kestrin
