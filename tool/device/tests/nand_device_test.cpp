#include "device/nand_device.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <string>
#include <vector>

#include "device/tests/recording_transport.hpp"

namespace kestrin::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(DecodeGeometry, DecodesTheRecordAndTheFirmwareArea) {
  const std::uint8_t record[10] = {0x10, 0x00, 0x5A, 0x40, 0x06, 0x08, 0x00, 0x0B, 0xEE, 0xEE};
  const auto decode = [](const std::uint8_t* bytes) {
    const common::Result<DeviceGeometry> decoded = decodeGeometry(bytes);
    EXPECT_TRUE(decoded.ok());
    return decoded.ok() ? *decoded : DeviceGeometry{};
  };
  DeviceGeometry g = decode(record);
  EXPECT_EQ(g.BlockCount, 4096);
  EXPECT_EQ(g.PagesPerBlock, 64);
  EXPECT_EQ(g.PagesPerBlockShift, 6);
  EXPECT_EQ(g.PageSize, 2048);
  EXPECT_EQ(g.PageSizeShift, 11);
  EXPECT_EQ(g.FirmwareAreaBlocks, 32);
  EXPECT_EQ(g.FirmwareStartBlock, 4064);
  EXPECT_EQ(g.firstPage(4095), 4095U * 64U);

  // Small pages: 512 bytes x 32 pages, 16 KiB blocks, so 256 blocks of firmware area.
  const std::uint8_t small[10] = {0x04, 0x00, 0x00, 0x20, 0x05, 0x02, 0x00, 0x09, 0, 0};
  g = decode(small);
  EXPECT_EQ(g.FirmwareAreaBlocks, 256);
  EXPECT_EQ(g.FirmwareStartBlock, 1024 - 256);

  // A NAND of exactly 4 MiB is all firmware area.
  const std::uint8_t exact[10] = {0x00, 0x20, 0x00, 0x40, 0x06, 0x08, 0x00, 0x0B, 0, 0};
  g = decode(exact);
  EXPECT_EQ(g.FirmwareStartBlock, 0);
}

TEST(DecodeGeometry, RefusesGeometriesTheToolCannotWorkWith) {
  struct Case {
    const char* name;
    Bytes record;
  };
  const std::vector<Case> cases = {
      {"page size 4096", {0x10, 0x00, 0, 0x40, 0x06, 0x10, 0x00, 0x0C, 0, 0}},
      {"page size 0", {0x10, 0x00, 0, 0x40, 0x06, 0x00, 0x00, 0x00, 0, 0}},
      {"page size 2000", {0x10, 0x00, 0, 0x40, 0x06, 0x07, 0xD0, 0x0B, 0, 0}},
      {"page size 1536", {0x10, 0x00, 0, 0x40, 0x06, 0x06, 0x00, 0x0A, 0, 0}},
      {"page shift wrong", {0x10, 0x00, 0, 0x40, 0x06, 0x08, 0x00, 0x0A, 0, 0}},
      {"page shift huge", {0x10, 0x00, 0, 0x40, 0x06, 0x08, 0x00, 0xFF, 0, 0}},
      {"no pages per block", {0x10, 0x00, 0, 0x00, 0x00, 0x08, 0x00, 0x0B, 0, 0}},
      {"block shift wrong", {0x10, 0x00, 0, 0x40, 0x05, 0x08, 0x00, 0x0B, 0, 0}},
      {"block shift huge", {0x10, 0x00, 0, 0x40, 0xC8, 0x08, 0x00, 0x0B, 0, 0}},
      {"pages not a power of two", {0x10, 0x00, 0, 0x30, 0x06, 0x08, 0x00, 0x0B, 0, 0}},
      {"smaller than 4 MiB", {0x00, 0x1F, 0, 0x40, 0x06, 0x08, 0x00, 0x0B, 0, 0}},
      {"no blocks", {0x00, 0x00, 0, 0x40, 0x06, 0x08, 0x00, 0x0B, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DeviceGeometry g;
    g.BlockCount = 77;
    const common::Result<DeviceGeometry> decoded = decodeGeometry(c.record.data());
    ASSERT_FALSE(decoded.ok());
    EXPECT_NE(decoded.error(), "");
    EXPECT_EQ(decoded.error().find('\n'), std::string::npos);
    EXPECT_EQ(g.BlockCount, 77) << "a refused geometry leaves the old one";
  }
}

// A fake device with the 4096 x 64 x 2048 geometry, and what a run hands
// the page operations.
struct Rig {
  RecordingTransport transport;
  VendorCommands commands{transport};
  Console console;
  FailureReport failures{console};
  std::array<std::uint8_t, kMaxPageSize> ioBuffer{};
  DeviceGeometry geometry{4096, 64, 6, 2048, 11};
  NandAccess nand{commands, failures, geometry};

  bool getGeometry() { return GetGeometry(commands, failures, ioBuffer.data(), geometry); }
};

Bytes pattern(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) {
    b[i] = static_cast<std::uint8_t>((i * 13) ^ (i >> 8));
  }
  return b;
}

TEST(GetGeometry, ReadsTheRecordIntoTheIoBufferAndDecodesIt) {
  Rig rig;
  rig.geometry = {};
  rig.transport.answer({true, 0, {0x08, 0x00, 0x00, 0x40, 0x06, 0x08, 0x00, 0x0B, 0x00, 0x00}});
  ASSERT_TRUE(rig.getGeometry());
  ASSERT_EQ(rig.transport.requests.size(), 1U);
  EXPECT_EQ(rig.transport.requests[0].cdb, (Bytes{0xEF, 0x01, 0x7E, 0x25, 0x00, 0x00}));
  EXPECT_EQ(rig.transport.requests[0].length, 10U);
  EXPECT_EQ(rig.ioBuffer[0], 0x08);
  EXPECT_EQ(rig.geometry.BlockCount, 2048);
  EXPECT_EQ(rig.geometry.FirmwareStartBlock, 2016);
  EXPECT_EQ(rig.console.captured(), "");
}

TEST(GetGeometry, ReportsTransportErrorsAndRefusedGeometries) {
  Rig rig;
  rig.transport.failWith(EIO);
  EXPECT_FALSE(rig.getGeometry());
  EXPECT_EQ(rig.console.captured(), "Error: 5  Input/output error\n");
  EXPECT_EQ(rig.failures.lastError(), static_cast<std::uint32_t>(EIO));

  Rig big;
  big.transport.answer({true, 0, {0x10, 0x00, 0x00, 0x40, 0x06, 0x10, 0x00, 0x0C, 0x00, 0x00}});
  EXPECT_FALSE(big.getGeometry());
  EXPECT_EQ(big.console.captured(), "Unsupported NAND geometry: the page size is not 512, 1024 or 2048 bytes.\n");
  EXPECT_EQ(big.geometry.PageSize, 2048) << "the refused record is not taken";

  Rig small;
  small.transport.answer({true, 0, {0x00, 0x10, 0x00, 0x40, 0x06, 0x08, 0x00, 0x0B, 0x00, 0x00}});
  EXPECT_FALSE(small.getGeometry());
  EXPECT_EQ(small.console.captured(), "Unsupported NAND geometry: the NAND is smaller than the 4 MiB firmware area.\n");
}

TEST(ProgramPageFromHost, MovesThePageInFourPiecesThenPrograms) {
  const Bytes page = pattern(2048);
  Rig pass;
  for (int k = 0; k < 4; ++k) {
    pass.transport.answer({});
  }
  pass.transport.answerStatus(0x01);
  ASSERT_TRUE(ProgramPageFromHost(pass.nand, 0x0203, 7, page.data()));
  const auto& r = pass.transport.requests;
  ASSERT_EQ(r.size(), 5U);
  const std::uint16_t addresses[4] = {0x1A90, 0x1C90, 0x1E90, 0x2090};
  for (int k = 0; k < 4; ++k) {
    SCOPED_TRACE(k);
    EXPECT_EQ(r[k].cdb, (Bytes{0xEE, 0x02, static_cast<std::uint8_t>(addresses[k]),
                               static_cast<std::uint8_t>(addresses[k] >> 8), 0x00, 0x00}));
    EXPECT_EQ(r[k].dataOut, Bytes(page.begin() + 512 * k, page.begin() + 512 * (k + 1)));
  }
  EXPECT_EQ(r[4].cdb, (Bytes{0xEF, 0x12, 0x03, 0x02, 0x00, 0x00, 0x07, 0x00, 0x90, 0x1A}));
  EXPECT_EQ(pass.console.captured(), "");
}

TEST(ProgramPageFromHost, ReportsEachFailureItsOwnWay) {
  const Bytes page = pattern(2048);
  {
    SCOPED_TRACE("a piece does not arrive");
    Rig rig;
    rig.transport.answer({});
    rig.transport.failWith(EIO);
    EXPECT_FALSE(ProgramPageFromHost(rig.nand, 0x40, 1, page.data()));
    EXPECT_EQ(rig.transport.requests.size(), 2U);
    EXPECT_EQ(rig.console.captured(), " Error: 5");
    EXPECT_EQ(rig.failures.lastError(), static_cast<std::uint32_t>(EIO));
  }
  {
    SCOPED_TRACE("the program does not complete");
    Rig rig;
    for (int k = 0; k < 4; ++k) rig.transport.answer({});
    rig.transport.failWith(ETIMEDOUT);
    EXPECT_FALSE(ProgramPageFromHost(rig.nand, 0x40, 1, page.data()));
    EXPECT_EQ(rig.console.captured(), " Error: 110\n");
    EXPECT_EQ(rig.failures.lastError(), static_cast<std::uint32_t>(ETIMEDOUT));
  }
  {
    SCOPED_TRACE("the device fails the program: the block is marked bad");
    Rig rig;
    for (int k = 0; k < 4; ++k) rig.transport.answer({});
    rig.transport.answerStatus(0x00);
    rig.transport.answerStatus(0x01);
    EXPECT_FALSE(ProgramPageFromHost(rig.nand, 0x0203, 8, page.data()));
    ASSERT_EQ(rig.transport.requests.size(), 6U);
    // Page 0x203 lies in block 8, whose first page is 0x200.
    EXPECT_EQ(rig.transport.requests[5].cdb, (Bytes{0xEF, 0x1F, 0x00, 0x02, 0x00, 0x00, 0x90, 0x1A, 0x00, 0x00}));
    EXPECT_EQ(rig.console.captured(), "");
  }
  {
    SCOPED_TRACE("marking the block bad does not complete either");
    Rig rig;
    for (int k = 0; k < 4; ++k) rig.transport.answer({});
    rig.transport.answerStatus(0x00);
    rig.transport.failWith(ENODEV);
    EXPECT_FALSE(ProgramPageFromHost(rig.nand, 0x0203, 8, page.data()));
    EXPECT_EQ(rig.console.captured(), " Error: 19");
    EXPECT_EQ(rig.failures.lastError(), static_cast<std::uint32_t>(ENODEV));
  }
}

TEST(ReadPageToHost, ReadsThePageThenBringsItOverInFourPieces) {
  Rig rig;
  const Bytes page = pattern(2048);
  rig.transport.answerStatus(0x01);
  for (int k = 0; k < 4; ++k) {
    rig.transport.answer({true, 0, Bytes(page.begin() + 512 * k, page.begin() + 512 * (k + 1))});
  }
  Bytes out(2048, 0xAA);
  ASSERT_TRUE(ReadPageToHost(rig.nand, 0x00010FC1, out.data()));
  EXPECT_EQ(out, page);
  const auto& r = rig.transport.requests;
  ASSERT_EQ(r.size(), 5U);
  EXPECT_EQ(r[0].cdb, (Bytes{0xEF, 0x13, 0xC1, 0x0F, 0x01, 0x00, 0x90, 0x1A, 0x00, 0x00}));
  EXPECT_EQ(r[1].cdb, (Bytes{0xEF, 0x01, 0x90, 0x1A, 0x00, 0x00}));
  EXPECT_EQ(r[4].cdb, (Bytes{0xEF, 0x01, 0x90, 0x20, 0x00, 0x00}));
  EXPECT_EQ(r[4].length, 512U);
}

TEST(ReadPageToHost, ReportsTransportErrorsAndFailsSilentlyOnDeviceFail) {
  Bytes out(2048);
  {
    Rig rig;
    rig.transport.answerStatus(0x00);
    EXPECT_FALSE(ReadPageToHost(rig.nand, 5, out.data()));
    EXPECT_EQ(rig.transport.requests.size(), 1U);
    EXPECT_EQ(rig.console.captured(), "");
  }
  {
    Rig rig;
    rig.transport.failWith(ENODEV);
    EXPECT_FALSE(ReadPageToHost(rig.nand, 5, out.data()));
    EXPECT_EQ(rig.console.captured(), " Error: 19\n");
    EXPECT_EQ(rig.failures.lastError(), static_cast<std::uint32_t>(ENODEV));
  }
  {
    Rig rig;
    rig.transport.answerStatus(0x01);
    rig.transport.answer({});
    rig.transport.failWith(EIO);
    EXPECT_FALSE(ReadPageToHost(rig.nand, 5, out.data()));
    EXPECT_EQ(rig.transport.requests.size(), 3U);
    EXPECT_EQ(rig.console.captured(), " Error: 5");
  }
}

}  // namespace
}  // namespace kestrin::test
