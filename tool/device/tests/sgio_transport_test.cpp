#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <vector>

#include "device/scsi_transport_sgio_linux.hpp"
#include "device/vendor_commands.hpp"

namespace kestrin::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

// What the fake ioctl saw, and how it answers.
struct FakeSgIo {
  sg_io_hdr_t seen{};
  Bytes cdbSeen;
  int calls = 0;
  int error = 0;  // errno of the ioctl itself
  unsigned char status = 0;
  unsigned short hostStatus = 0;
  unsigned short driverStatus = 0;
  Bytes dataIn;
  std::optional<int> resid;  // the driver's residual count; by default what dataIn leaves over

  SgIoCall call() {
    return [this](int, sg_io_hdr_t& h) {
      ++calls;
      seen = h;
      cdbSeen.assign(h.cmdp, h.cmdp + h.cmd_len);
      if (error != 0) {
        return error;
      }
      if (h.dxfer_direction == SG_DXFER_FROM_DEV) {
        auto* p = static_cast<std::uint8_t*>(h.dxferp);
        std::size_t i = 0;
        for (; i < dataIn.size() && i < h.dxfer_len; ++i) {
          p[i] = dataIn[i];
        }
        h.resid = resid.value_or(static_cast<int>(h.dxfer_len - i));
      }
      h.status = status;
      h.masked_status = static_cast<unsigned char>((status >> 1) & 0x7F);
      h.host_status = hostStatus;
      h.driver_status = driverStatus;
      return 0;
    };
  }
};

TEST(SgIoTransport, FillsTheHeaderFromTheRequest) {
  FakeSgIo fake;
  SgIoTransport transport(-1, fake.call());
  VendorCommands commands(transport);

  fake.dataIn = {0x41, 0x42};
  std::uint8_t out[16] = {};
  EXPECT_TRUE(commands.cmd_bReadCode(0x2000, out, 16).pass());
  EXPECT_EQ(fake.seen.interface_id, 'S');
  EXPECT_EQ(fake.seen.dxfer_direction, SG_DXFER_FROM_DEV);
  EXPECT_EQ(fake.seen.cmd_len, 6);
  EXPECT_EQ(fake.cdbSeen, (Bytes{0xEF, 0x03, 0x00, 0x20, 0x00, 0x00}));
  EXPECT_EQ(fake.seen.dxfer_len, 16U);
  EXPECT_EQ(fake.seen.timeout, 20000U);
  EXPECT_GE(fake.seen.mx_sb_len, 18);
  EXPECT_NE(fake.seen.sbp, nullptr);
  EXPECT_EQ(fake.seen.iovec_count, 0);
  EXPECT_EQ(out[1], 0x42);

  const std::uint8_t five[5] = {1, 2, 3, 4, 5};
  EXPECT_TRUE(commands.cmd_bWriteXdata(0x1A90, five, 5).pass());
  EXPECT_EQ(fake.seen.dxfer_direction, SG_DXFER_TO_DEV);
  EXPECT_EQ(fake.seen.dxfer_len, 5U);

  commands.cmd_bMove();
  EXPECT_EQ(fake.seen.timeout, 60000U);
  commands.cmd_bProgramPage(0x0203, 7, 0x1A90);
  EXPECT_EQ(fake.seen.cmd_len, 10);
  EXPECT_EQ(fake.cdbSeen, (Bytes{0xEF, 0x12, 0x03, 0x02, 0x00, 0x00, 0x07, 0x00, 0x90, 0x1A}));

  ScsiRequest none;
  none.cdb[0] = 0x00;  // TEST UNIT READY, no data phase
  none.length = 0;
  EXPECT_TRUE(transport.execute(none).completed);
  EXPECT_EQ(fake.seen.dxfer_direction, SG_DXFER_NONE);
  EXPECT_EQ(fake.seen.dxferp, nullptr);
}

TEST(SgIoTransport, JudgesCompletionFromHostAndDriverStatus) {
  struct Case {
    const char* name;
    int ioctlError;
    unsigned char status;
    unsigned short host;
    unsigned short driver;
    bool completed;
    int code;
  };
  const Case cases[] = {
      {"good", 0, 0x00, 0x00, 0x00, true, 0},
      {"check condition with sense", 0, 0x02, 0x00, 0x08, true, 0},
      {"sense with a suggestion", 0, 0x02, 0x00, 0x18, true, 0},
      {"host time-out", 0, 0x00, 0x03, 0x00, false, ETIMEDOUT},
      {"driver time-out", 0, 0x00, 0x00, 0x06, false, ETIMEDOUT},
      {"no connect", 0, 0x00, 0x01, 0x00, false, ENODEV},
      {"bad target", 0, 0x00, 0x04, 0x00, false, ENODEV},
      {"aborted", 0, 0x00, 0x05, 0x00, false, EIO},
      {"driver error", 0, 0x00, 0x00, 0x04, false, EIO},
      {"ioctl: device gone", ENODEV, 0x00, 0x00, 0x00, false, ENODEV},
      {"ioctl: not permitted", EPERM, 0x00, 0x00, 0x00, false, EPERM},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSgIo fake;
    fake.error = c.ioctlError;
    fake.status = c.status;
    fake.hostStatus = c.host;
    fake.driverStatus = c.driver;
    SgIoTransport transport(-1, fake.call());
    VendorCommands commands(transport);
    const CommandOutcome outcome = commands.cmd_bStartup(0, 0x0180);
    EXPECT_EQ(fake.calls, 1);
    EXPECT_EQ(outcome.pass(), c.completed);
    EXPECT_EQ(outcome.errorCode, static_cast<std::uint32_t>(c.code));
  }
}

TEST(SgIoTransport, TellsHowManyBytesArrivedFromTheResidualCount) {
  struct Case {
    const char* name;
    std::optional<int> resid;
    std::uint32_t received;
  };
  const Case cases[] = {{"short answer", std::nullopt, 2},
                        {"whole answer", 0, 16},
                        {"negative residual", -5, 16},
                        {"residual beyond the length", 999, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSgIo fake;
    fake.dataIn = {0x41, 0x42};
    fake.resid = c.resid;
    SgIoTransport transport(-1, fake.call());
    Bytes out(16, 0xAA);
    ScsiRequest request;
    request.cdb = {0xEF, 0x03, 0x00, 0x20};
    request.data = out.data();
    request.length = 16;
    EXPECT_EQ(transport.execute(request).received, c.received);
  }
  // Through the vendor layer, the bytes that did not arrive keep the caller's.
  FakeSgIo fake;
  fake.dataIn = {0x41, 0x42};
  SgIoTransport transport(-1, fake.call());
  VendorCommands commands(transport);
  Bytes out(16, 0xAA);
  EXPECT_TRUE(commands.cmd_bReadCode(0x2000, out.data(), 16).pass());
  Bytes expected(16, 0xAA);
  expected[0] = 0x41;
  expected[1] = 0x42;
  EXPECT_EQ(out, expected);
  // A status command whose byte the driver counts as not sent fails, whatever the buffer holds.
  fake.dataIn = {0x01};
  fake.resid = 1;
  EXPECT_EQ(commands.cmd_bEraseBlock(1).kind, Outcome::DeviceFail);
}

TEST(SgIoTransport, RefusesAMalformedRequestWithoutTheIoctl) {
  FakeSgIo fake;
  SgIoTransport transport(-1, fake.call());
  ScsiRequest request;
  request.cdbLength = 0;
  EXPECT_EQ(transport.execute(request).errorCode, static_cast<std::uint32_t>(EINVAL));
  request.cdbLength = 6;
  request.length = 4;  // but no buffer
  EXPECT_EQ(transport.execute(request).errorCode, static_cast<std::uint32_t>(EINVAL));
  EXPECT_EQ(fake.calls, 0);
}

}  // namespace
}  // namespace kestrin::test
