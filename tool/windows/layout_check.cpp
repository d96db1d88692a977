// Holds the pass-through record layouts of device/pass_through_records.hpp
// against the system headers' own SCSI_PASS_THROUGH and
// SCSI_PASS_THROUGH_DIRECT. The static_asserts fail the build of either
// bitness on any difference; the program then builds sample records with the
// portable byte builder and reads them back through the structures, so that
// field placement and byte order are checked together where it can run.
#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "device/pass_through_records.hpp"

namespace pt = kestrin::passthrough;

// The records as C structures: header, ULONG filler, sense, data.
struct RequestRecord {
  SCSI_PASS_THROUGH spt;
  ULONG Filler;
  UCHAR ucSenseBuf[32];
  UCHAR ucDataBuf[512];
};
struct DirectRecord {
  SCSI_PASS_THROUGH_DIRECT sptd;
  ULONG Filler;
  UCHAR ucSenseBuf[32];
};

#define CHECK_HEADER(Type, L, bufferField)                                     \
  static_assert(sizeof(Type) == (L).headerSize);                               \
  static_assert(alignof(Type) == (L).alignment);                               \
  static_assert(offsetof(Type, Length) == (L).length);                         \
  static_assert(offsetof(Type, ScsiStatus) == (L).scsiStatus);                 \
  static_assert(offsetof(Type, PathId) == (L).pathId);                         \
  static_assert(offsetof(Type, TargetId) == (L).targetId);                     \
  static_assert(offsetof(Type, Lun) == (L).lun);                               \
  static_assert(offsetof(Type, CdbLength) == (L).cdbLength);                   \
  static_assert(offsetof(Type, SenseInfoLength) == (L).senseInfoLength);       \
  static_assert(offsetof(Type, DataIn) == (L).dataIn);                         \
  static_assert(offsetof(Type, DataTransferLength) == (L).dataTransferLength); \
  static_assert(offsetof(Type, TimeOutValue) == (L).timeOutValue);             \
  static_assert(offsetof(Type, bufferField) == (L).dataBuffer);                \
  static_assert(sizeof(Type::bufferField) == (L).pointerSize);                 \
  static_assert(offsetof(Type, SenseInfoOffset) == (L).senseInfoOffset);       \
  static_assert(offsetof(Type, Cdb) == (L).cdb);                               \
  static_assert(sizeof(Type::Cdb) == pt::kCdbFieldSize)

constexpr const pt::RecordLayout& kNative = pt::kNativeLayout;

CHECK_HEADER(SCSI_PASS_THROUGH, kNative, DataBufferOffset);
CHECK_HEADER(SCSI_PASS_THROUGH_DIRECT, kNative, DataBuffer);

static_assert(offsetof(RequestRecord, Filler) == kNative.fillerOffset);
static_assert(offsetof(RequestRecord, ucSenseBuf) == kNative.senseOffset);
static_assert(offsetof(RequestRecord, ucDataBuf) == kNative.dataOffset);
static_assert(sizeof(RequestRecord) == kNative.requestRecordSize);
static_assert(offsetof(DirectRecord, Filler) == kNative.fillerOffset);
static_assert(offsetof(DirectRecord, ucSenseBuf) == kNative.senseOffset);
static_assert(sizeof(DirectRecord) == kNative.directRecordSize);

static_assert(IOCTL_SCSI_PASS_THROUGH == pt::kIoctlScsiPassThrough);
static_assert(IOCTL_SCSI_PASS_THROUGH_DIRECT == pt::kIoctlScsiPassThroughDirect);
static_assert(SCSI_IOCTL_DATA_IN == pt::kDataIn);
static_assert(SCSI_IOCTL_DATA_OUT == pt::kDataOut);

#if defined(_WIN64)
// The 64-bit build also has the 32-bit request header, which is what a 32-bit
// build sends. (Its SCSI_PASS_THROUGH_DIRECT32 declares DataBuffer as a plain
// 64-bit pointer, so the 32-bit direct header is checked by the 32-bit build.)
CHECK_HEADER(SCSI_PASS_THROUGH32, pt::kLayout32, DataBufferOffset);
static_assert(kNative.headerSize == 56 && kNative.senseOffset == 60 && kNative.dataOffset == 92);
#else
static_assert(kNative.headerSize == 44 && kNative.senseOffset == 48 && kNative.dataOffset == 80 &&
              kNative.requestRecordSize == 592 && kNative.directRecordSize == 80);
#endif

namespace {

int failures = 0;

void expect(bool ok, const char* what) {
  if (!ok) {
    std::printf("MISMATCH: %s\n", what);
    ++failures;
  }
}

void checkRequestRecord() {
  kestrin::ScsiRequest request;
  request.cdb = {0xEF, 0x12, 0x03, 0x02, 0x00, 0x00, 0x07, 0x00, 0x90, 0x1A};
  request.cdbLength = 10;
  request.direction = kestrin::DataDirection::In;
  request.length = 300;
  request.timeoutSeconds = 60;
  unsigned char bytes[sizeof(RequestRecord)];
  pt::IoctlCall call;
  expect(pt::buildRequestRecord(kNative, request, bytes, call) == pt::BuildError::None, "request record builds");
  RequestRecord r;
  std::memcpy(&r, bytes, sizeof r);
  expect(r.spt.Length == sizeof(SCSI_PASS_THROUGH), "request Length");
  expect(r.spt.ScsiStatus == 0 && r.spt.PathId == 0 && r.spt.TargetId == 0 && r.spt.Lun == 0, "request zero ids");
  expect(r.spt.CdbLength == 10, "request CdbLength");
  expect(r.spt.SenseInfoLength == 0, "request SenseInfoLength");
  expect(r.spt.DataIn == SCSI_IOCTL_DATA_IN, "request DataIn");
  expect(r.spt.DataTransferLength == 300, "request DataTransferLength");
  expect(r.spt.TimeOutValue == 60, "request TimeOutValue");
  expect(r.spt.DataBufferOffset == offsetof(RequestRecord, ucDataBuf), "request DataBufferOffset");
  expect(r.spt.SenseInfoOffset == offsetof(RequestRecord, ucSenseBuf), "request SenseInfoOffset");
  expect(std::memcmp(r.spt.Cdb, request.cdb.data(), 16) == 0, "request Cdb");
  expect(call.ioControlCode == IOCTL_SCSI_PASS_THROUGH, "request IOCTL code");
  expect(call.inputLength == sizeof(SCSI_PASS_THROUGH), "request input length");
  expect(call.outputLength == offsetof(RequestRecord, ucDataBuf) + 300, "request output length");
}

void checkDirectRecord() {
  static const unsigned char payload[5] = {1, 2, 3, 4, 5};
  kestrin::ScsiRequest request;
  request.cdb = {0xEE, 0x02, 0x90, 0x1A};
  request.cdbLength = 6;
  request.direction = kestrin::DataDirection::Out;
  request.length = sizeof payload;
  request.timeoutSeconds = 20;
  unsigned char bytes[sizeof(DirectRecord)];
  pt::IoctlCall call;
  const auto address = static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(payload));
  expect(pt::buildDirectRecord(kNative, request, address, bytes, call) == pt::BuildError::None, "direct record builds");
  DirectRecord r;
  std::memcpy(&r, bytes, sizeof r);
  expect(r.sptd.Length == sizeof(SCSI_PASS_THROUGH_DIRECT), "direct Length");
  expect(r.sptd.CdbLength == 6, "direct CdbLength");
  expect(r.sptd.SenseInfoLength == 24, "direct SenseInfoLength");
  expect(r.sptd.DataIn == SCSI_IOCTL_DATA_OUT, "direct DataIn");
  expect(r.sptd.DataTransferLength == 5, "direct DataTransferLength");
  expect(r.sptd.TimeOutValue == 20, "direct TimeOutValue");
  expect(r.sptd.DataBuffer == payload, "direct DataBuffer");
  expect(r.sptd.SenseInfoOffset == offsetof(DirectRecord, ucSenseBuf), "direct SenseInfoOffset");
  expect(std::memcmp(r.sptd.Cdb, request.cdb.data(), 16) == 0, "direct Cdb");
  expect(call.ioControlCode == IOCTL_SCSI_PASS_THROUGH_DIRECT, "direct IOCTL code");
  expect(call.inputLength == sizeof(DirectRecord) && call.outputLength == sizeof(DirectRecord), "direct lengths");
}

}  // namespace

int main() {
  checkRequestRecord();
  checkDirectRecord();
  std::printf(
      "%d-bit pass-through layout: header %u, sense at %u, data at %u, request record %u, direct record %u: %s\n",
      static_cast<int>(8 * sizeof(void*)), static_cast<unsigned>(kNative.headerSize),
      static_cast<unsigned>(kNative.senseOffset), static_cast<unsigned>(kNative.dataOffset),
      static_cast<unsigned>(kNative.requestRecordSize), static_cast<unsigned>(kNative.directRecordSize),
      failures == 0 ? "ok" : "MISMATCH");
  return failures == 0 ? 0 : 1;
}
