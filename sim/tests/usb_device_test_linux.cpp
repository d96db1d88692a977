// An emulated device as a USB mass-storage device, reached through TCP by a
// minimal USB/IP client: enumeration, Bulk-Only Transport and the faults on
// the USB road.
#include "flashsim/testing/usbip_fixture_linux.hpp"

namespace flashsim::test {
namespace {

TEST_F(Usbip, EnumerationByteByByte) {
  Client c(server.port());
  ASSERT_EQ(c.import("1-5"), 0U);
  EXPECT_EQ(c.control(0x80, 6, 0x0100, 0, 64).data,
            (Bytes{18, 1, 0x00, 0x02, 0, 0, 0, 64, 0xFF, 0xFF, 0xA5, 0xF1, 0x00, 0x01, 1, 2, 3, 1}));
  EXPECT_EQ(c.control(0x80, 6, 0x0200, 0, 9).data, (Bytes{9, 2, 32, 0, 1, 1, 0, 0x80, 50}));
  EXPECT_EQ(c.control(0x80, 6, 0x0200, 0, 255).data,
            (Bytes{9, 2, 32,   0, 1,    1,    0, 0x80, 50, 9,    4, 0,    0,    2, 0x08, 0x06, 0x50, 0,  //
                   7, 5, 0x81, 2, 0x00, 0x02, 0, 7,    5,  0x02, 2, 0x00, 0x02, 0}));
  EXPECT_EQ(c.control(0x80, 6, 0x0600, 0, 10).data, (Bytes{10, 6, 0x00, 0x02, 0, 0, 0, 64, 1, 0}));
  EXPECT_EQ(c.control(0x80, 6, 0x0700, 0, 32).data[22], 64) << "other speed: 64-byte packets";
  EXPECT_EQ(c.control(0x80, 6, 0x0300, 0, 255).data, (Bytes{4, 3, 0x09, 0x04}));
  EXPECT_EQ(c.control(0x80, 6, 0x0301, 0x0409, 255).data,
            (Bytes{18, 3, 'F', 0, 'L', 0, 'A', 0, 'S', 0, 'H', 0, 'S', 0, 'I', 0, 'M', 0}));
  const Bytes serial = c.control(0x80, 6, 0x0303, 0x0409, 255).data;
  EXPECT_EQ(serial.size(), 2U + 2 * 12) << "12 hex digits";
  EXPECT_EQ(c.control(0x80, 6, 0x0F00, 0, 5).status, usbip::kErrPipe) << "no BOS descriptor";
  EXPECT_EQ(c.control(0x80, 6, 0x0304, 0, 255).status, usbip::kErrPipe);

  EXPECT_EQ(c.submit(usb::kBulkInEndpoint, true, 13).status, usbip::kErrPipe) << "not configured yet";
  EXPECT_TRUE(c.configure());
  EXPECT_EQ(c.control(0x80, 8, 0, 0, 1).data, Bytes{1});
  EXPECT_EQ(c.control(0xA1, 0xFE, 0, 0, 1).data, Bytes{0}) << "Get Max LUN";
  EXPECT_EQ(c.control(0x80, 0, 0, 0, 2).data, (Bytes{0, 0}));
  EXPECT_EQ(c.control(0x82, 0, 0, 0x81, 2).data, (Bytes{0, 0}));
  EXPECT_EQ(c.control(0x00, 9, 2, 0, 0).status, usbip::kErrPipe) << "one configuration only";

  auto other = attached("1-6");
  const Bytes otherSerial = other->control(0x80, 6, 0x0303, 0x0409, 255).data;
  EXPECT_NE(otherSerial, serial) << "serial numbers are unique per device";
}

TEST_F(Usbip, BulkOnlyTransferLengthCases) {
  auto c = attached();
  const Bytes write1 = rw10(0x2A, 3, 1);
  struct Case {
    const char* what;
    Bytes cdb;
    std::uint8_t flags;
    std::uint32_t length;
    std::size_t dataBytes;  // in: bytes that came; out: bytes the device took
    int status;
    std::uint32_t residue;
  };
  const std::vector<Case> cases = {
      {"1 Hn = Dn", kTestUnitReady, 0x00, 0, 0, usb::kCswPassed, 0},
      {"2 Hn < Di", kInquiry, 0x80, 0, 0, usb::kCswPhaseError, 0},
      {"3 Hn < Do", write1, 0x00, 0, 0, usb::kCswPhaseError, 0},
      {"4 Hi > Dn", kTestUnitReady, 0x80, 512, 0, usb::kCswFailed, 512},
      {"5 Hi > Di", kInquiry, 0x80, 64, 36, usb::kCswPassed, 28},
      {"6 Hi = Di", rw10(0x28, 0, 1), 0x80, 512, 512, usb::kCswPassed, 0},
      {"7 Hi < Di", rw10(0x28, 0, 2), 0x80, 512, 0, usb::kCswPhaseError, 512},
      {"8 Hi <> Do", write1, 0x80, 512, 0, usb::kCswPhaseError, 512},
      {"9 Ho > Dn", kTestUnitReady, 0x00, 512, 512, usb::kCswFailed, 512},
      {"10 Ho <> Di", kInquiry, 0x00, 36, 36, usb::kCswPhaseError, 36},
      {"11 Ho > Do", write1, 0x00, 1024, 1024, usb::kCswPassed, 512},
      {"12 Ho = Do", write1, 0x00, 512, 512, usb::kCswPassed, 0},
      {"13 Ho < Do", rw10(0x2A, 3, 2), 0x00, 512, 512, usb::kCswPhaseError, 512},
  };
  for (const Case& k : cases) {
    const auto r = c->command(k.cdb, k.flags, k.length, Bytes(k.flags == 0 ? k.length : 0, 0x5A));
    EXPECT_EQ(r.cswStatus, k.status) << k.what;
    EXPECT_EQ(r.residue, k.residue) << k.what;
    if (k.length > 0) {
      EXPECT_EQ(r.data.actual, k.dataBytes) << k.what;
    }
  }
  EXPECT_EQ(c->command(rw10(0x28, 3, 1), 0x80, 512).data.data, Bytes(512, 0x5A)) << "cases 11 and 12 wrote";
}

TEST_F(Usbip, DiskAndVendorCommandsThroughBulkOnly) {
  auto c = attached();
  Bytes sector(1024);
  for (std::size_t i = 0; i < sector.size(); ++i) {
    sector[i] = static_cast<std::uint8_t>(i * 7 + 1);
  }
  EXPECT_EQ(c->command(rw10(0x2A, 9, 2), 0x00, 1024, sector).cswStatus, usb::kCswPassed);
  EXPECT_EQ(c->command(rw10(0x28, 9, 2), 0x80, 1024).data.data, sector);

  EXPECT_EQ(c->command({0xC1, 0, 0, 0, 0, 0}, 0x00, 0).cswStatus, usb::kCswFailed);
  const auto sense = c->command({0x03, 0, 0, 0, 18, 0}, 0x80, 18);
  ASSERT_EQ(sense.data.data.size(), 18U);
  EXPECT_EQ(sense.data.data[2], 0x05) << "ILLEGAL REQUEST";
  EXPECT_EQ(sense.data.data[12], 0x20) << "INVALID COMMAND OPERATION CODE";

  const auto inq = c->command({0x12, 0, 0, 0, 0, 0}, 0x80, 36);
  EXPECT_EQ(inq.data.data.size(), 36U) << "allocation length 0: the transfer length counts";
  EXPECT_EQ(c->command({0xEF, 0x11, 5, 0, 0, 0}, 0x80, 1).data.data, Bytes{kStatusPass});
  const auto trace = e->trace();
  ASSERT_GE(trace.size(), 2U);
  EXPECT_EQ(formatTraceEntry(trace.back()).substr(28), "EF1105000000 in 1 pass");
}

TEST_F(Usbip, InvalidCommandBlockStallsUntilResetRecovery) {
  auto c = attached();
  Bytes bad = c->cbw(kTestUnitReady, 0, 0);
  bad[0] ^= 0xFF;
  EXPECT_TRUE(c->submit(usb::kBulkOutEndpoint, false, usb::kCbwSize, {}, bad).answered);
  EXPECT_EQ(c->submit(usb::kBulkInEndpoint, true, 13).status, usbip::kErrPipe);
  EXPECT_EQ(c->submit(usb::kBulkOutEndpoint, false, 31, {}, c->cbw(kTestUnitReady, 0, 0)).status, usbip::kErrPipe);
  EXPECT_EQ(c->control(0x02, 1, 0, 0x81, 0).status, 0);
  EXPECT_EQ(c->control(0x82, 0, 0, 0x81, 2).data, (Bytes{1, 0})) << "halted until the class reset";
  EXPECT_TRUE(c->resetRecovery());
  EXPECT_EQ(c->command(kTestUnitReady, 0, 0).cswStatus, usb::kCswPassed);

  for (const Bytes& cbw : {Bytes(30, 0),
                           [&] {
                             Bytes b = c->cbw(kTestUnitReady, 0, 0);
                             b[13] = 1;
                             return b;
                           }(),
                           [&] {
                             Bytes b = c->cbw(kTestUnitReady, 0, 0);
                             b[14] = 17;
                             return b;
                           }()}) {
    c->submit(usb::kBulkOutEndpoint, false, static_cast<std::uint32_t>(cbw.size()), {}, cbw);
    EXPECT_EQ(c->submit(usb::kBulkInEndpoint, true, 13).status, usbip::kErrPipe) << cbw.size();
    EXPECT_TRUE(c->resetRecovery());
  }
  EXPECT_EQ(c->command(kTestUnitReady, 0, 0).cswStatus, usb::kCswPassed);
}

TEST_F(Usbip, HangHoldsUrbsUntilUnlinkedAndTheDeviceRecovers) {
  auto c = attached();
  Faults hang;
  hang.hangAfterCommands = 0;
  e->setFaults(hang);
  EXPECT_TRUE(c->submit(usb::kBulkOutEndpoint, false, 31, {}, c->cbw({0xEF, 0x21, 0, 0, 0, 0}, 0x80, 1)).answered);
  const std::uint32_t pending = c->sendSubmit(usb::kBulkInEndpoint, true, 1);
  EXPECT_FALSE(c->read(1, 200)) << "no answer while hung";
  const Ret unlinked = c->unlink(pending);
  EXPECT_EQ(unlinked.status, usbip::kErrConnReset);
  EXPECT_EQ(c->unlink(9999).status, 0) << "nothing to unlink";
  EXPECT_TRUE(c->resetRecovery());
  e->setFaults({});
  EXPECT_EQ(c->command(kTestUnitReady, 0, 0).cswStatus, usb::kCswPassed);
  EXPECT_EQ(e->trace().front().outcome, Outcome::Hung);
  // A host that resets the port configures the device again.
  e->setFaults(hang);
  c->submit(usb::kBulkOutEndpoint, false, 31, {}, c->cbw(kTestUnitReady, 0, 0));
  e->setFaults({});
  EXPECT_TRUE(c->configure());
  EXPECT_EQ(c->command(kTestUnitReady, 0, 0).cswStatus, usb::kCswPassed);
}

TEST_F(Usbip, DropsAndUnplugEndTheConnection) {
  {
    auto c = attached();
    Faults drop;
    drop.dropAfterCommands = 1;
    e->setFaults(drop);
    EXPECT_EQ(c->command(kTestUnitReady, 0, 0).cswStatus, usb::kCswPassed);
    c->sendSubmit(usb::kBulkOutEndpoint, false, 31, {}, c->cbw(kTestUnitReady, 0, 0));
    EXPECT_TRUE(c->closedByPeer());
  }
  {
    auto c = attached();
    Faults mid;
    mid.dropAfterCommands = 0;
    mid.dropMidCommand = true;
    e->setFaults(mid);
    c->submit(usb::kBulkOutEndpoint, false, 31, {}, c->cbw(rw10(0x28, 0, 1), 0x80, 512));
    c->sendSubmit(usb::kBulkInEndpoint, true, 512);
    EXPECT_TRUE(c->read((48 + 512) / 2)) << "half of the answer";
    EXPECT_TRUE(c->closedByPeer());
  }
  e->setFaults({});
  auto c = attached();
  auto other = attached("1-6");
  server.unplug('e');
  EXPECT_TRUE(c->closedByPeer());
  EXPECT_EQ(Client(server.port()).import("1-5"), usbip::kStatusNoDevice);
  EXPECT_EQ(other->command(kTestUnitReady, 0, 0).cswStatus, usb::kCswPassed) << "the other device serves on";
  server.plug('e', e);
  auto again = attached();
  EXPECT_EQ(again->command(kTestUnitReady, 0, 0).cswStatus, usb::kCswPassed) << "re-plugged";
}

}  // namespace
}  // namespace flashsim::test
