#include "device/vendor_commands.hpp"

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

constexpr std::uint8_t lo(std::uint32_t v) { return static_cast<std::uint8_t>(v); }
constexpr std::uint8_t hi(std::uint32_t v) { return static_cast<std::uint8_t>(v >> 8); }

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

// Bytes 2-5 of a page-addressed CDB, low byte first.
void putPage(ScsiRequest& request, std::uint32_t page) {
  byteorder::putLe32(request.cdb.data() + 2, page);
}

CommandOutcome passOrTransportError(const TransportStatus& status) {
  if (status.completed) {
    return {Outcome::Pass, 0};
  }
  return {Outcome::TransportError, status.errorCode};
}

// A data-in request through the record: the device's bytes land in a
// staging area of at most one record's data, of which `length` bytes go to
// `out` whether or not the request completed. The staging area starts as a
// copy of `out`, so bytes the device never sent keep what the caller put
// there: a read-back that fills its buffer with the opposite of the expected
// pattern cannot be passed by a device that returns nothing.
TransportStatus readThroughRecord(ScsiTransport& transport, ScsiRequest request,
                                  std::uint8_t* out, std::uint32_t length) {
  if (length > kRecordDataSize || (out == nullptr && length > 0)) {
    if (out != nullptr) {
      std::memset(out, 0, length);
    }
    return {false, kInvalidRequest};
  }
  std::array<std::uint8_t, kRecordDataSize> staging{};
  if (length > 0) {
    std::memcpy(staging.data(), out, length);
  }
  request.direction = DataDirection::In;
  request.data = staging.data();
  request.length = length;
  const TransportStatus status = transport.execute(request);
  if (length > 0) {
    std::memcpy(out, staging.data(), length);
  }
  return status;
}

// A status command: one status byte in, bit 0 set means success. A device
// that sends no byte leaves it 0.
CommandOutcome statusCommand(ScsiTransport& transport, const ScsiRequest& request) {
  std::uint8_t status = 0;
  const TransportStatus result = readThroughRecord(transport, request, &status, 1);
  if (!result.completed) {
    return {Outcome::TransportError, result.errorCode};
  }
  return {(status & 0x01) != 0 ? Outcome::Pass : Outcome::DeviceFail, 0};
}

constexpr std::array<std::uint8_t, 8> kSupportedInquiryHeader = {0x00, 0x80, 0x02, 0x02,
                                                                   0x1F, 0x00, 0x00, 0x00};

}  // namespace

CommandOutcome VendorCommands::cmd_bReadXdata(std::uint16_t address, std::uint8_t* out, std::uint16_t n) {
  const ScsiRequest request = makeRequest(6, {vendor::kOpRead, vendor::kSubReadXdata, lo(address), hi(address)});
  return passOrTransportError(readThroughRecord(transport_, request, out, n));
}

CommandOutcome VendorCommands::cmd_bWriteXdata(std::uint16_t address, const std::uint8_t* in, std::uint32_t n) {
  if (in == nullptr && n > 0) {
    return {Outcome::TransportError, kInvalidRequest};
  }
  ScsiRequest request = makeRequest(6, {vendor::kOpWrite, vendor::kSubWriteXdata, lo(address), hi(address)});
  // The transport only reads the bytes of a data-out request; a private copy
  // keeps the caller's const promise without a cast.
  std::vector<std::uint8_t> bytes(in, in + n);
  request.direction = DataDirection::Out;
  request.data = bytes.data();
  request.length = n;
  return passOrTransportError(transport_.execute(request));
}

CommandOutcome VendorCommands::cmd_bReadCode(std::uint16_t address, std::uint8_t* out, std::uint16_t n) {
  const ScsiRequest request = makeRequest(6, {vendor::kOpRead, vendor::kSubReadCode, lo(address), hi(address)});
  return passOrTransportError(readThroughRecord(transport_, request, out, n));
}

CommandOutcome VendorCommands::cmd_bStartup(std::uint16_t first, std::uint16_t second) {
  const ScsiRequest request =
      makeRequest(6, {vendor::kOpRead, vendor::kSubStartup, lo(first), hi(first), lo(second), hi(second)});
  std::uint8_t ignored = 0;
  return passOrTransportError(readThroughRecord(transport_, request, &ignored, 1));
}

CommandOutcome VendorCommands::cmd_bMove() {
  ScsiRequest request = makeRequest(6, {vendor::kOpRead, vendor::kSubMove});
  request.timeoutSeconds = kMoveTimeout;
  return statusCommand(transport_, request);
}

CommandOutcome VendorCommands::cmd_bEraseBlock(std::uint16_t block) {
  return statusCommand(transport_, makeRequest(6, {vendor::kOpRead, vendor::kSubEraseBlock, lo(block), hi(block)}));
}

CommandOutcome VendorCommands::cmd_bProgramPage(std::uint32_t page, std::uint16_t blockTag,
                                                std::uint16_t bufferAddress) {
  ScsiRequest request = makeRequest(10, {vendor::kOpRead, vendor::kSubProgramPage});
  putPage(request, page);
  request.cdb[6] = lo(blockTag);
  request.cdb[7] = hi(blockTag);
  request.cdb[8] = lo(bufferAddress);
  request.cdb[9] = hi(bufferAddress);
  return statusCommand(transport_, request);
}

CommandOutcome VendorCommands::cmd_bReadPage(std::uint32_t page, std::uint16_t bufferAddress) {
  ScsiRequest request = makeRequest(10, {vendor::kOpRead, vendor::kSubReadPage});
  putPage(request, page);
  request.cdb[6] = lo(bufferAddress);
  request.cdb[7] = hi(bufferAddress);
  return statusCommand(transport_, request);
}

CommandOutcome VendorCommands::cmd_bBlockStatus(std::uint32_t firstPage) {
  ScsiRequest request = makeRequest(6, {vendor::kOpRead, vendor::kSubBlockStatus});
  putPage(request, firstPage);
  return statusCommand(transport_, request);
}

CommandOutcome VendorCommands::cmd_bMarkBad(std::uint32_t firstPage, std::uint16_t bufferAddress) {
  ScsiRequest request = makeRequest(10, {vendor::kOpRead, vendor::kSubMarkBad});
  putPage(request, firstPage);
  request.cdb[6] = lo(bufferAddress);
  request.cdb[7] = hi(bufferAddress);
  return statusCommand(transport_, request);
}

CommandOutcome VendorCommands::cmd_bStartBlankCheck(std::uint8_t t1, std::uint8_t t2, std::uint8_t t3,
                                                    std::uint8_t t4) {
  return statusCommand(transport_,
                       makeRequest(6, {vendor::kOpRead, vendor::kSubStartBlankCheck, t1, t2, t3, t4}));
}

CommandOutcome VendorCommands::cmd_bPollBlankCheck() {
  return statusCommand(transport_, makeRequest(6, {vendor::kOpRead, vendor::kSubPollBlankCheck}));
}

CommandOutcome VendorCommands::cmd_bInquiry(std::uint8_t* out36) {
  // The allocation-length byte stays 0; the transfer length alone asks for 36 bytes.
  const ScsiRequest request = makeRequest(6, {vendor::kOpInquiry});
  std::array<std::uint8_t, 36> answer{};
  const TransportStatus status = readThroughRecord(transport_, request, answer.data(), answer.size());
  if (out36 != nullptr) {
    std::memcpy(out36, answer.data(), answer.size());
  }
  if (!status.completed) {
    return {Outcome::TransportError, status.errorCode};
  }
  const bool supported = std::memcmp(answer.data(), kSupportedInquiryHeader.data(), kSupportedInquiryHeader.size()) == 0;
  return {supported ? Outcome::Pass : Outcome::DeviceFail, 0};
}

CommandOutcome VendorCommands::cmd_bReadCapacity(std::uint32_t& lastBlockAddress, std::uint32_t& blockLength) {
  const ScsiRequest request = makeRequest(6, {vendor::kOpReadCapacity});
  std::array<std::uint8_t, 8> answer{};
  const TransportStatus status = readThroughRecord(transport_, request, answer.data(), answer.size());
  auto bigEndian = [&answer](std::size_t at) {
    return (static_cast<std::uint32_t>(answer[at]) << 24) | (static_cast<std::uint32_t>(answer[at + 1]) << 16) |
           (static_cast<std::uint32_t>(answer[at + 2]) << 8) | static_cast<std::uint32_t>(answer[at + 3]);
  };
  lastBlockAddress = bigEndian(0);
  blockLength = bigEndian(4);
  return passOrTransportError(status);
}

}  // namespace kestrin
