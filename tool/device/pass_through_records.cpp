#include "device/pass_through_records.hpp"

#include <algorithm>

namespace kestrin::passthrough {
namespace {

// Windows runs little-endian on every processor this tool is built for.
void PutLittleEndian(std::span<std::uint8_t> record, std::size_t offset, std::uint64_t value, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i) {
    record[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

std::uint32_t GetLittleEndian32(std::span<const std::uint8_t> record, std::size_t offset) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    value |= static_cast<std::uint32_t>(record[offset + i]) << (8 * i);
  }
  return value;
}

// The fields both headers share. DataBufferOffset / DataBuffer is left to the caller.
void PutCommonHeader(const RecordLayout& layout, const ScsiRequest& request, std::uint8_t dataIn,
                     std::uint8_t senseInfoLength, std::span<std::uint8_t> record) {
  std::fill(record.begin(), record.end(), std::uint8_t{0});
  PutLittleEndian(record, layout.length, layout.headerSize, 2);
  record[layout.cdbLength] = request.cdbLength;
  record[layout.senseInfoLength] = senseInfoLength;
  record[layout.dataIn] = dataIn;
  PutLittleEndian(record, layout.dataTransferLength, request.length, 4);
  PutLittleEndian(record, layout.timeOutValue, request.timeoutSeconds, 4);
  PutLittleEndian(record, layout.senseInfoOffset, layout.senseOffset, 4);
  std::copy_n(request.cdb.begin(), request.cdbLength, record.begin() + static_cast<std::ptrdiff_t>(layout.cdb));
}

}  // namespace

BuildError BuildRequestRecord(const RecordLayout& layout, const ScsiRequest& request,
                              std::span<std::uint8_t> record, IoctlCall& call) {
  if (record.size() < layout.requestRecordSize) return BuildError::RecordTooSmall;
  if (request.cdbLength > kCdbFieldSize) return BuildError::CdbTooLong;
  if (request.direction != DataDirection::In) return BuildError::WrongDirection;
  if (request.length > kDataBufferSize) return BuildError::DataTooLong;

  PutCommonHeader(layout, request, kDataIn, 0, record);
  PutLittleEndian(record, layout.dataBuffer, layout.dataOffset, layout.pointerSize);
  call.ioControlCode = kIoctlScsiPassThrough;
  call.inputLength = static_cast<std::uint32_t>(layout.headerSize);
  call.outputLength = static_cast<std::uint32_t>(layout.dataOffset + request.length);
  return BuildError::None;
}

BuildError BuildDirectRecord(const RecordLayout& layout, const ScsiRequest& request,
                             std::uint64_t dataAddress, std::span<std::uint8_t> record, IoctlCall& call) {
  if (record.size() < layout.directRecordSize) return BuildError::RecordTooSmall;
  if (request.cdbLength > kCdbFieldSize) return BuildError::CdbTooLong;
  if (request.direction != DataDirection::Out) return BuildError::WrongDirection;

  PutCommonHeader(layout, request, kDataOut, kDirectSenseInfoLength, record);
  PutLittleEndian(record, layout.dataBuffer, dataAddress, layout.pointerSize);
  call.ioControlCode = kIoctlScsiPassThroughDirect;
  call.inputLength = static_cast<std::uint32_t>(layout.directRecordSize);
  call.outputLength = static_cast<std::uint32_t>(layout.directRecordSize);
  return BuildError::None;
}

std::uint32_t TransferredLength(const RecordLayout& layout, std::span<const std::uint8_t> record,
                                std::uint32_t requested) {
  if (record.size() < layout.headerSize) return 0;
  const std::uint32_t reported = GetLittleEndian32(record, layout.dataTransferLength);
  return std::min({reported, requested, static_cast<std::uint32_t>(kDataBufferSize)});
}

std::span<const std::uint8_t> RequestData(const RecordLayout& layout, std::span<const std::uint8_t> record) {
  if (record.size() < layout.dataOffset + kDataBufferSize) return {};
  return record.subspan(layout.dataOffset, kDataBufferSize);
}

}  // namespace kestrin::passthrough
