// The Windows pass-through records, byte by byte, for both pointer widths.
// Expected bytes are written out by hand from the structure definitions.
#include "device/pass_through_records.hpp"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace kestrin::test {
namespace {

using namespace kestrin::passthrough;

ScsiRequest readRequest(std::initializer_list<std::uint8_t> cdb, std::uint32_t length, std::uint32_t timeout = 20) {
  ScsiRequest r;
  std::copy(cdb.begin(), cdb.end(), r.cdb.begin());
  r.cdbLength = static_cast<std::uint8_t>(cdb.size());
  r.direction = DataDirection::In;
  r.length = length;
  r.timeoutSeconds = timeout;
  return r;
}

// Every byte of `record` must be zero except those listed at `at`.
void expectBytes(const std::vector<std::uint8_t>& record, std::size_t at, std::initializer_list<std::uint8_t> bytes,
                 std::vector<bool>& seen) {
  std::size_t i = at;
  for (std::uint8_t b : bytes) {
    ASSERT_LT(i, record.size());
    EXPECT_EQ(record[i], b) << "offset " << i;
    seen[i] = true;
    ++i;
  }
}
void expectRestZero(const std::vector<std::uint8_t>& record, const std::vector<bool>& seen) {
  for (std::size_t i = 0; i < record.size(); ++i) {
    if (!seen[i]) {
      EXPECT_EQ(record[i], 0) << "offset " << i;
    }
  }
}

TEST(PassThroughLayout, ThirtyTwoBitHeaderAndRecords) {
  constexpr const RecordLayout& l = kLayout32;
  EXPECT_EQ(l.length, 0u);
  EXPECT_EQ(l.scsiStatus, 2u);
  EXPECT_EQ(l.pathId, 3u);
  EXPECT_EQ(l.targetId, 4u);
  EXPECT_EQ(l.lun, 5u);
  EXPECT_EQ(l.cdbLength, 6u);
  EXPECT_EQ(l.senseInfoLength, 7u);
  EXPECT_EQ(l.dataIn, 8u);
  EXPECT_EQ(l.dataTransferLength, 12u);
  EXPECT_EQ(l.timeOutValue, 16u);
  EXPECT_EQ(l.dataBuffer, 20u);
  EXPECT_EQ(l.senseInfoOffset, 24u);
  EXPECT_EQ(l.cdb, 28u);
  EXPECT_EQ(l.headerSize, 44u);
  EXPECT_EQ(l.fillerOffset, 44u);
  EXPECT_EQ(l.senseOffset, 48u);
  EXPECT_EQ(l.dataOffset, 80u);
  EXPECT_EQ(l.requestRecordSize, 592u);
  EXPECT_EQ(l.directRecordSize, 80u);
}

TEST(PassThroughLayout, SixtyFourBitHeaderAndRecords) {
  constexpr const RecordLayout& l = kLayout64;
  EXPECT_EQ(l.dataIn, 8u);
  EXPECT_EQ(l.dataTransferLength, 12u);
  EXPECT_EQ(l.timeOutValue, 16u);
  EXPECT_EQ(l.dataBuffer, 24u);  // 8-byte aligned after 4 bytes of padding
  EXPECT_EQ(l.senseInfoOffset, 32u);
  EXPECT_EQ(l.cdb, 36u);
  EXPECT_EQ(l.headerSize, 56u);  // 52 rounded up to 8
  EXPECT_EQ(l.fillerOffset, 56u);
  EXPECT_EQ(l.senseOffset, 60u);
  EXPECT_EQ(l.dataOffset, 92u);
  EXPECT_EQ(l.requestRecordSize, 608u);  // 604 rounded up to 8
  EXPECT_EQ(l.directRecordSize, 96u);    // 92 rounded up to 8
}

TEST(PassThroughRequestRecord, ThirtyTwoBitGeometryRead) {
  // cmd_bReadXdata(0x257E, 10)
  const ScsiRequest r = readRequest({0xEF, 0x01, 0x7E, 0x25, 0x00, 0x00}, 10);
  std::vector<std::uint8_t> record(kLayout32.requestRecordSize, 0xAA);  // stale bytes must go
  IoctlCall call;
  ASSERT_EQ(buildRequestRecord(kLayout32, r, record, call), BuildError::None);
  EXPECT_EQ(call.ioControlCode, 0x4D004u);
  EXPECT_EQ(call.inputLength, 44u);
  EXPECT_EQ(call.outputLength, 90u);

  std::vector<bool> seen(record.size(), false);
  expectBytes(record, 0, {44, 0}, seen);                    // Length
  expectBytes(record, 2, {0, 0, 0, 0}, seen);               // ScsiStatus, PathId, TargetId, Lun
  expectBytes(record, 6, {6, 0, 1}, seen);                  // CdbLength, SenseInfoLength, DataIn
  expectBytes(record, 12, {10, 0, 0, 0}, seen);             // DataTransferLength
  expectBytes(record, 16, {20, 0, 0, 0}, seen);             // TimeOutValue
  expectBytes(record, 20, {80, 0, 0, 0}, seen);             // DataBufferOffset
  expectBytes(record, 24, {48, 0, 0, 0}, seen);             // SenseInfoOffset
  expectBytes(record, 28, {0xEF, 0x01, 0x7E, 0x25}, seen);  // Cdb
  expectRestZero(record, seen);
}

TEST(PassThroughRequestRecord, SixtyFourBitTenByteCdbFullBuffer) {
  // a 10-byte CDB, 512 bytes in, 60-second time-out
  const ScsiRequest r = readRequest({0xEF, 0x12, 0x03, 0x02, 0x00, 0x00, 0x07, 0x00, 0x90, 0x1A}, 512, 60);
  std::vector<std::uint8_t> record(kLayout64.requestRecordSize, 0x55);
  IoctlCall call;
  ASSERT_EQ(buildRequestRecord(kLayout64, r, record, call), BuildError::None);
  EXPECT_EQ(call.ioControlCode, 0x4D004u);
  EXPECT_EQ(call.inputLength, 56u);
  EXPECT_EQ(call.outputLength, 92u + 512u);

  std::vector<bool> seen(record.size(), false);
  expectBytes(record, 0, {56, 0}, seen);
  expectBytes(record, 6, {10, 0, 1}, seen);
  expectBytes(record, 12, {0x00, 0x02, 0, 0}, seen);  // 512
  expectBytes(record, 16, {60, 0, 0, 0}, seen);
  expectBytes(record, 24, {92, 0, 0, 0, 0, 0, 0, 0}, seen);  // ULONG_PTR DataBufferOffset
  expectBytes(record, 32, {60, 0, 0, 0}, seen);              // SenseInfoOffset
  expectBytes(record, 36, {0xEF, 0x12, 0x03, 0x02, 0x00, 0x00, 0x07, 0x00, 0x90, 0x1A}, seen);
  expectRestZero(record, seen);
}

TEST(PassThroughRequestRecord, RefusesWhatDoesNotFit) {
  IoctlCall call;
  std::vector<std::uint8_t> record(kLayout32.requestRecordSize);

  ScsiRequest tooLong = readRequest({0xEF, 0x01}, 513);
  EXPECT_EQ(buildRequestRecord(kLayout32, tooLong, record, call), BuildError::DataTooLong);

  ScsiRequest longCdb = readRequest({0xEF}, 1);
  longCdb.cdbLength = 17;
  EXPECT_EQ(buildRequestRecord(kLayout32, longCdb, record, call), BuildError::CdbTooLong);

  ScsiRequest out = readRequest({0xEE, 0x02}, 5);
  out.direction = DataDirection::Out;
  EXPECT_EQ(buildRequestRecord(kLayout32, out, record, call), BuildError::WrongDirection);

  std::vector<std::uint8_t> small(kLayout64.requestRecordSize - 1);
  EXPECT_EQ(buildRequestRecord(kLayout64, readRequest({0x12}, 36), small, call), BuildError::RecordTooSmall);
  // a 32-bit record is too small for the 64-bit layout
  EXPECT_EQ(buildRequestRecord(kLayout64, readRequest({0x12}, 36), record, call), BuildError::RecordTooSmall);
}

TEST(PassThroughDirectRecord, ThirtyTwoAndSixtyFourBitWrite) {
  // cmd_bWriteXdata(0x1A90, 512 bytes)
  ScsiRequest r;
  r.cdb = {0xEE, 0x02, 0x90, 0x1A};
  r.cdbLength = 6;
  r.direction = DataDirection::Out;
  r.length = 512;
  r.timeoutSeconds = 20;
  IoctlCall call;

  std::vector<std::uint8_t> rec32(kLayout32.directRecordSize, 0xAA);
  ASSERT_EQ(buildDirectRecord(kLayout32, r, 0x00C0FFEEu, rec32, call), BuildError::None);
  EXPECT_EQ(call.ioControlCode, 0x4D014u);
  EXPECT_EQ(call.inputLength, 80u);
  EXPECT_EQ(call.outputLength, 80u);
  std::vector<bool> seen32(rec32.size(), false);
  expectBytes(rec32, 0, {44, 0}, seen32);
  expectBytes(rec32, 6, {6, 24, 0}, seen32);  // CdbLength, SenseInfoLength 24, DataIn 0
  expectBytes(rec32, 12, {0x00, 0x02, 0, 0}, seen32);
  expectBytes(rec32, 16, {20, 0, 0, 0}, seen32);
  expectBytes(rec32, 20, {0xEE, 0xFF, 0xC0, 0x00}, seen32);  // DataBuffer
  expectBytes(rec32, 24, {48, 0, 0, 0}, seen32);
  expectBytes(rec32, 28, {0xEE, 0x02, 0x90, 0x1A}, seen32);
  expectRestZero(rec32, seen32);

  std::vector<std::uint8_t> rec64(kLayout64.directRecordSize, 0xAA);
  ASSERT_EQ(buildDirectRecord(kLayout64, r, 0x00007FFE12345678ull, rec64, call), BuildError::None);
  EXPECT_EQ(call.inputLength, 96u);
  EXPECT_EQ(call.outputLength, 96u);
  std::vector<bool> seen64(rec64.size(), false);
  expectBytes(rec64, 0, {56, 0}, seen64);
  expectBytes(rec64, 6, {6, 24, 0}, seen64);
  expectBytes(rec64, 12, {0x00, 0x02, 0, 0}, seen64);
  expectBytes(rec64, 16, {20, 0, 0, 0}, seen64);
  expectBytes(rec64, 24, {0x78, 0x56, 0x34, 0x12, 0xFE, 0x7F, 0x00, 0x00}, seen64);
  expectBytes(rec64, 32, {60, 0, 0, 0}, seen64);
  expectBytes(rec64, 36, {0xEE, 0x02, 0x90, 0x1A}, seen64);
  expectRestZero(rec64, seen64);

  ScsiRequest in = r;
  in.direction = DataDirection::In;
  EXPECT_EQ(buildDirectRecord(kLayout32, in, 0, rec32, call), BuildError::WrongDirection);
  std::vector<std::uint8_t> small(79);
  EXPECT_EQ(buildDirectRecord(kLayout32, r, 0, small, call), BuildError::RecordTooSmall);
}

TEST(PassThroughRequestRecord, ReadsBackWhatTheSystemReturned) {
  const ScsiRequest r = readRequest({0x12}, 36);
  std::vector<std::uint8_t> record(kLayout64.requestRecordSize);
  IoctlCall call;
  ASSERT_EQ(buildRequestRecord(kLayout64, r, record, call), BuildError::None);
  // Untouched by the system: the requested length stands.
  EXPECT_EQ(transferredLength(kLayout64, record, 36), 36u);

  // The system reports 8 bytes moved and leaves them at the data offset.
  record[12] = 8;
  record[92] = 0x00;
  record[93] = 0x80;
  EXPECT_EQ(transferredLength(kLayout64, record, 36), 8u);
  const auto data = requestData(kLayout64, record);
  ASSERT_EQ(data.size(), 512u);
  EXPECT_EQ(data[1], 0x80);

  // A length above what was asked (or above the buffer) is never believed.
  record[12] = 0x00;
  record[13] = 0x10;  // 4096
  EXPECT_EQ(transferredLength(kLayout64, record, 36), 36u);
  EXPECT_EQ(transferredLength(kLayout64, record, 4096), 512u);

  std::vector<std::uint8_t> small(10);
  EXPECT_EQ(transferredLength(kLayout64, small, 36), 0u);
  EXPECT_TRUE(requestData(kLayout64, small).empty());
}

}  // namespace
}  // namespace kestrin::test
