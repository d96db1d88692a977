#include "device/pass_through_records.hpp"

#include <algorithm>

#include "common/byte_order.hpp"

namespace kestrin::passthrough {
namespace {

// Windows runs little-endian on every processor this tool is built for.
// DataBufferOffset / DataBuffer is 4 or 8 bytes wide, after the layout.
void putPointerField(const RecordLayout& layout, std::span<std::uint8_t> record, std::uint64_t value) {
  common::byte_order::putLe32(record.data() + layout.dataBuffer, static_cast<std::uint32_t>(value));
  if (layout.pointerSize == 8) {
    common::byte_order::putLe32(record.data() + layout.dataBuffer + 4, static_cast<std::uint32_t>(value >> 32));
  }
}

// The fields both headers share. DataBufferOffset / DataBuffer is left to the caller.
void putCommonHeader(const RecordLayout& layout, const ScsiRequest& request, std::uint8_t dataIn,
                     std::uint8_t senseInfoLength, std::span<std::uint8_t> record) {
  std::fill(record.begin(), record.end(), std::uint8_t{0});
  std::uint8_t* const base = record.data();
  common::byte_order::putLe16(base + layout.length, static_cast<std::uint16_t>(layout.headerSize));
  record[layout.cdbLength] = request.cdbLength;
  record[layout.senseInfoLength] = senseInfoLength;
  record[layout.dataIn] = dataIn;
  common::byte_order::putLe32(base + layout.dataTransferLength, request.length);
  common::byte_order::putLe32(base + layout.timeOutValue, request.timeoutSeconds);
  common::byte_order::putLe32(base + layout.senseInfoOffset, static_cast<std::uint32_t>(layout.senseOffset));
  std::copy_n(request.cdb.begin(), request.cdbLength, record.begin() + static_cast<std::ptrdiff_t>(layout.cdb));
}

}  // namespace

BuildError buildRequestRecord(const RecordLayout& layout, const ScsiRequest& request, std::span<std::uint8_t> record,
                              IoctlCall& call) {
  if (record.size() < layout.requestRecordSize) return BuildError::RecordTooSmall;
  if (request.cdbLength > kCdbFieldSize) return BuildError::CdbTooLong;
  if (request.direction != DataDirection::In) return BuildError::WrongDirection;
  if (request.length > kDataBufferSize) return BuildError::DataTooLong;

  putCommonHeader(layout, request, kDataIn, 0, record);
  putPointerField(layout, record, layout.dataOffset);
  call.ioControlCode = kIoctlScsiPassThrough;
  call.inputLength = static_cast<std::uint32_t>(layout.headerSize);
  call.outputLength = static_cast<std::uint32_t>(layout.dataOffset + request.length);
  return BuildError::None;
}

BuildError buildDirectRecord(const RecordLayout& layout, const ScsiRequest& request, std::uint64_t dataAddress,
                             std::span<std::uint8_t> record, IoctlCall& call) {
  if (record.size() < layout.directRecordSize) return BuildError::RecordTooSmall;
  if (request.cdbLength > kCdbFieldSize) return BuildError::CdbTooLong;
  if (request.direction != DataDirection::Out) return BuildError::WrongDirection;

  putCommonHeader(layout, request, kDataOut, kDirectSenseInfoLength, record);
  putPointerField(layout, record, dataAddress);
  call.ioControlCode = kIoctlScsiPassThroughDirect;
  call.inputLength = static_cast<std::uint32_t>(layout.directRecordSize);
  call.outputLength = static_cast<std::uint32_t>(layout.directRecordSize);
  return BuildError::None;
}

std::uint32_t transferredLength(const RecordLayout& layout, std::span<const std::uint8_t> record,
                                std::uint32_t requested) {
  if (record.size() < layout.headerSize) return 0;
  const std::uint32_t reported = common::byte_order::getLe32(record.data() + layout.dataTransferLength);
  return std::min({reported, requested, static_cast<std::uint32_t>(kDataBufferSize)});
}

std::span<const std::uint8_t> requestData(const RecordLayout& layout, std::span<const std::uint8_t> record) {
  if (record.size() < layout.dataOffset + kDataBufferSize) return {};
  return record.subspan(layout.dataOffset, kDataBufferSize);
}

}  // namespace kestrin::passthrough
