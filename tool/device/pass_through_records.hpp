// The two records that carry a request through the Windows SCSI pass-through,
// built and read back as plain bytes so that every offset and value can be
// checked on any host.
//
// Request record (IOCTL_SCSI_PASS_THROUGH, every command that reads):
//   SCSI_PASS_THROUGH header, 4 filler bytes, 32-byte sense buffer,
//   512-byte data buffer.
// Direct record (IOCTL_SCSI_PASS_THROUGH_DIRECT, the one command that sends
// data): SCSI_PASS_THROUGH_DIRECT header, 4 filler bytes, 32-byte sense
// buffer; the data stays in the caller's memory.
//
// Both headers have the same fields in the same order; only the width of the
// fifth 32/64-bit field differs (DataBufferOffset is a ULONG_PTR, DataBuffer
// a pointer). The 32-bit layout: header 44 bytes, sense at 48, data at 80,
// request record 592 bytes, direct record 80 bytes. The 64-bit layout follows
// from the same fields with 8-byte pointers: header 56 bytes, sense at 60,
// data at 92, records 608 and 96 bytes (rounded to the header's alignment).
// tool/windows/layout_check.cpp holds these against the system headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "device/scsi_transport.hpp"

namespace kestrin::passthrough {

inline constexpr std::uint32_t kIoctlScsiPassThrough = 0x4D004;
inline constexpr std::uint32_t kIoctlScsiPassThroughDirect = 0x4D014;
inline constexpr std::uint8_t kDataOut = 0;  // SCSI_IOCTL_DATA_OUT
inline constexpr std::uint8_t kDataIn = 1;   // SCSI_IOCTL_DATA_IN

inline constexpr std::size_t kFillerSize = 4;
inline constexpr std::size_t kSenseBufferSize = 32;
inline constexpr std::size_t kDataBufferSize = 512;  // most a request record carries
inline constexpr std::size_t kCdbFieldSize = 16;
// SenseInfoLength of the direct record; the request record asks for none.
inline constexpr std::uint8_t kDirectSenseInfoLength = 24;

// Field offsets of SCSI_PASS_THROUGH / SCSI_PASS_THROUGH_DIRECT and where the
// parts of the two records lie, for one pointer width.
struct RecordLayout {
  std::size_t pointerSize;  // width of DataBufferOffset / DataBuffer
  std::size_t alignment;    // of the header structure

  std::size_t length;  // USHORT Length
  std::size_t scsiStatus;
  std::size_t pathId;
  std::size_t targetId;
  std::size_t lun;
  std::size_t cdbLength;
  std::size_t senseInfoLength;
  std::size_t dataIn;
  std::size_t dataTransferLength;  // ULONG
  std::size_t timeOutValue;        // ULONG
  std::size_t dataBuffer;          // DataBufferOffset or DataBuffer
  std::size_t senseInfoOffset;     // ULONG
  std::size_t cdb;                 // UCHAR[16]
  std::size_t headerSize;          // sizeof the header structure

  std::size_t fillerOffset;
  std::size_t senseOffset;
  std::size_t dataOffset;         // request record only
  std::size_t requestRecordSize;  // the whole request record
  std::size_t directRecordSize;   // the whole direct record
};

// Lays the fields out as the C compiler does: each at the next multiple of its
// own alignment, the structure rounded up to its largest alignment.
constexpr RecordLayout makeLayout(std::size_t pointerSize) {
  auto place = [](std::size_t& at, std::size_t size, std::size_t align) {
    at = (at + align - 1) / align * align;
    const std::size_t offset = at;
    at += size;
    return offset;
  };
  auto roundUp = [](std::size_t value, std::size_t align) { return (value + align - 1) / align * align; };

  RecordLayout l{};
  l.pointerSize = pointerSize;
  l.alignment = pointerSize > 4 ? pointerSize : 4;
  std::size_t at = 0;
  l.length = place(at, 2, 2);
  l.scsiStatus = place(at, 1, 1);
  l.pathId = place(at, 1, 1);
  l.targetId = place(at, 1, 1);
  l.lun = place(at, 1, 1);
  l.cdbLength = place(at, 1, 1);
  l.senseInfoLength = place(at, 1, 1);
  l.dataIn = place(at, 1, 1);
  l.dataTransferLength = place(at, 4, 4);
  l.timeOutValue = place(at, 4, 4);
  l.dataBuffer = place(at, pointerSize, pointerSize);
  l.senseInfoOffset = place(at, 4, 4);
  l.cdb = place(at, kCdbFieldSize, 1);
  l.headerSize = roundUp(at, l.alignment);

  // header, ULONG filler, UCHAR sense[32] (, UCHAR data[512])
  l.fillerOffset = l.headerSize;
  l.senseOffset = l.fillerOffset + kFillerSize;
  l.dataOffset = l.senseOffset + kSenseBufferSize;
  l.requestRecordSize = roundUp(l.dataOffset + kDataBufferSize, l.alignment);
  l.directRecordSize = roundUp(l.senseOffset + kSenseBufferSize, l.alignment);
  return l;
}

inline constexpr RecordLayout kLayout32 = makeLayout(4);
inline constexpr RecordLayout kLayout64 = makeLayout(8);
// The layout of the process this code runs in.
inline constexpr RecordLayout kNativeLayout = makeLayout(sizeof(void*));

// Room for either record in either layout.
inline constexpr std::size_t kMaxRequestRecordSize = kLayout64.requestRecordSize;
inline constexpr std::size_t kMaxDirectRecordSize = kLayout64.directRecordSize;

// What DeviceIoControl is given besides the record itself.
struct IoctlCall {
  std::uint32_t ioControlCode = 0;
  std::uint32_t inputLength = 0;
  std::uint32_t outputLength = 0;
};

// Why a request cannot go into a record.
enum class BuildError {
  None,
  RecordTooSmall,  // the byte span is shorter than the record
  CdbTooLong,      // more than 16 CDB bytes
  DataTooLong,     // a request record carries at most 512 bytes
  WrongDirection,  // request record: data in; direct record: data out
};

// Zero-fills the request record and writes its header for a data-in request
// (Length, CdbLength, DataIn 1, DataTransferLength, TimeOutValue,
// DataBufferOffset, SenseInfoOffset and the CDB; every other byte 0). The
// input buffer is the header alone, the output buffer the record up to the
// end of the requested data.
BuildError buildRequestRecord(const RecordLayout& layout, const ScsiRequest& request, std::span<std::uint8_t> record,
                              IoctlCall& call);

// Zero-fills the direct record and writes its header for a data-out request;
// `dataAddress` is the address of the caller's bytes as the system sees it.
// Input and output buffer are both the whole record.
BuildError buildDirectRecord(const RecordLayout& layout, const ScsiRequest& request, std::uint64_t dataAddress,
                             std::span<std::uint8_t> record, IoctlCall& call);

// After a completed request: the DataTransferLength the system wrote back
// (the bytes actually moved), never more than what was asked nor than the
// record's data buffer holds.
std::uint32_t transferredLength(const RecordLayout& layout, std::span<const std::uint8_t> record,
                                std::uint32_t requested);

// The data buffer of a request record.
std::span<const std::uint8_t> requestData(const RecordLayout& layout, std::span<const std::uint8_t> record);

}  // namespace kestrin::passthrough
