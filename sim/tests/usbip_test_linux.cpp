// Emulated devices as USB mass-storage devices over USB/IP, reached through
// TCP by a minimal USB/IP client: enumeration, Bulk-Only Transport, the
// faults on the USB road and peers that send garbage.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "daemon_support.hpp"
#include "common/byte_order.hpp"
#include "flashsim/usb_device.hpp"
#include "flashsim/usbip.hpp"
#include "usbip_client_linux.hpp"
#include "usbip_server_linux.hpp"

namespace flashsim {
namespace {

using usbiptest::Bytes;
using usbiptest::Client;
using usbiptest::Ret;

Profile smallProfile() {
  Profile p;
  p.geometry.blockCount = 64;
  p.geometry.pagesPerBlock = 4;
  p.geometry.pageSize = 512;
  return p;
}

class Usbip : public ::testing::Test {
 protected:
  void SetUp() override {
    e = std::make_shared<Device>(smallProfile());
    Profile fp = smallProfile();
    fp.usbVendorId = 0xFFFE;
    fp.usbProductId = 0x0002;
    f = std::make_shared<Device>(fp);
    server.plug('e', e);
    server.plug('f', f);
    ASSERT_EQ(server.listen("127.0.0.1:0"), "");
  }
  // A client that imported `busId` and configured the device.
  std::unique_ptr<Client> attached(const std::string& busId = "1-5") {
    auto c = std::make_unique<Client>(server.port());
    EXPECT_EQ(c->import(busId), 0U);
    EXPECT_TRUE(c->configure());
    return c;
  }
  std::shared_ptr<Device> e, f;
  UsbipServer server;
};

const Bytes kTestUnitReady{0x00, 0, 0, 0, 0, 0};
const Bytes kInquiry{0x12, 0, 0, 0, 36, 0};

Bytes rw10(std::uint8_t op, std::uint32_t lba, std::uint16_t count) {
  Bytes b(10, 0);
  b[0] = op;
  byteorder::putBe32(b.data() + 2, lba);
  byteorder::putBe16(b.data() + 7, count);
  return b;
}

TEST_F(Usbip, ListsAndImportsByBusId) {
  Client list(server.port());
  ASSERT_TRUE(list.send(Client::op(usbip::kReqDevlist)));
  const auto head = list.read(12);
  ASSERT_TRUE(head);
  EXPECT_EQ(Bytes(head->begin(), head->begin() + 8), (Bytes{0x01, 0x11, 0x00, 0x05, 0, 0, 0, 0}));
  EXPECT_EQ(byteorder::getBe32(head->data() + 8), 2U);
  const auto records = list.read(2 * (usbip::kDeviceRecordSize + 4));
  ASSERT_TRUE(records);
  const std::uint8_t* r = records->data();
  EXPECT_STREQ(reinterpret_cast<const char*>(r + usbip::kPathSize), "1-5");
  const std::uint8_t* ids = r + usbip::kPathSize + usbip::kBusIdSize;
  EXPECT_EQ(Bytes(ids, ids + 24), (Bytes{0, 0, 0, 1, 0, 0, 0, 5, 0, 0, 0, 3, 0xFF, 0xFF, 0xF1, 0xA5, 0x01, 0x00,
                                         0, 0, 0, 0, 1, 1}));
  EXPECT_EQ(Bytes(r + usbip::kDeviceRecordSize, r + usbip::kDeviceRecordSize + 4), (Bytes{0x08, 0x06, 0x50, 0}));
  const std::uint8_t* second = r + usbip::kDeviceRecordSize + 4;
  EXPECT_STREQ(reinterpret_cast<const char*>(second + usbip::kPathSize), "1-6");
  EXPECT_EQ(byteorder::getBe16(second + 300), 0xFFFE);
  EXPECT_TRUE(list.closedByPeer());

  EXPECT_EQ(Client(server.port()).import("1-7"), usbip::kStatusNoDevice);
  Client first(server.port());
  ASSERT_EQ(first.import("1-5"), 0U);
  EXPECT_EQ(first.record.size(), usbip::kDeviceRecordSize);
  EXPECT_EQ(Client(server.port()).import("1-5"), usbip::kStatusBusy) << "one host at a time";
}

TEST_F(Usbip, EnumerationByteByByte) {
  Client c(server.port());
  ASSERT_EQ(c.import("1-5"), 0U);
  EXPECT_EQ(c.control(0x80, 6, 0x0100, 0, 64).data,
            (Bytes{18, 1, 0x00, 0x02, 0, 0, 0, 64, 0xFF, 0xFF, 0xA5, 0xF1, 0x00, 0x01, 1, 2, 3, 1}));
  EXPECT_EQ(c.control(0x80, 6, 0x0200, 0, 9).data, (Bytes{9, 2, 32, 0, 1, 1, 0, 0x80, 50}));
  EXPECT_EQ(c.control(0x80, 6, 0x0200, 0, 255).data,
            (Bytes{9, 2, 32, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 2, 0x08, 0x06, 0x50, 0,  //
                   7, 5, 0x81, 2, 0x00, 0x02, 0, 7, 5, 0x02, 2, 0x00, 0x02, 0}));
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

  for (const Bytes& cbw : {Bytes(30, 0), [&] { Bytes b = c->cbw(kTestUnitReady, 0, 0); b[13] = 1; return b; }(),
                           [&] { Bytes b = c->cbw(kTestUnitReady, 0, 0); b[14] = 17; return b; }()}) {
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
  EXPECT_EQ(e->trace().front().outcome, "hung");
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

TEST_F(Usbip, MalformedPeersLoseOnlyTheirConnection) {
  auto good = attached("1-6");
  const auto urb = [](auto change) {
    usbip::CmdSubmit h;
    h.basic.command = usbip::kCmdSubmit;
    h.basic.direction = usbip::kDirOut;
    change(h);
    const auto b = usbip::encodeUrb(h);
    return Bytes(b.begin(), b.end());
  };
  using Submit = usbip::CmdSubmit;
  const std::vector<std::pair<const char*, Bytes>> attacks = {
      {"huge out length", urb([](Submit& h) { h.transferBufferLength = 0xFFFFFFF0U; })},
      {"unknown command", urb([](Submit& h) { h.basic.command = 7; })},
      {"bad direction", urb([](Submit& h) { h.basic.direction = 5; })},
      {"isochronous packets", urb([](Submit& h) { h.numberOfPackets = 1000000; })},
  };
  for (const auto& [what, bytes] : attacks) {
    auto c = attached();
    c->send(bytes);
    EXPECT_TRUE(c->closedByPeer()) << what;
  }
  for (const Bytes& garbage : {Bytes{0xDE, 0xAD, 0xBE, 0xEF, 1, 2, 3, 4}, Bytes{0x01, 0x11, 0x80, 0x03}}) {
    Client c(server.port());
    c.send(garbage);
    ::shutdown(c.fd(), SHUT_WR);
    EXPECT_TRUE(c.closedByPeer());
  }
  EXPECT_EQ(good->command(kTestUnitReady, 0, 0).cswStatus, usb::kCswPassed);
  EXPECT_EQ(attached()->command(kTestUnitReady, 0, 0).cswStatus, usb::kCswPassed);
}

// A URB or first request that stops arriving part-way, or an answer that
// does not move on, ends its connection at the deadline, and the device is
// free for the next import; between URBs an imported connection may idle.
TEST(UsbipDeadline, RequestsThatStopArrivingEndTheirConnection) {
  using namespace std::chrono_literals;
  UsbipServer server(300ms);
  server.plug('e', std::make_shared<Device>(smallProfile()));
  ASSERT_EQ(server.listen("127.0.0.1:0"), "");
  usbip::CmdSubmit h;
  h.basic.command = usbip::kCmdSubmit;
  h.basic.ep = usb::kBulkOutEndpoint;
  h.transferBufferLength = usbip::kMaxUrbLength;
  const auto head = usbip::encodeUrb(h);
  Bytes urb(head.begin(), head.end());
  urb.resize(urb.size() + 1000, 0x5A);
  for (const std::size_t sent : {std::size_t{0}, std::size_t{20}, urb.size()}) {
    Client c(server.port());
    if (sent == 0) {
      c.send(Bytes{0x01, 0x11, 0x80});  // part of a request header
    } else {
      ASSERT_EQ(c.import("1-5"), 0U) << sent;
      c.send(Bytes(urb.begin(), urb.begin() + static_cast<std::ptrdiff_t>(sent)));
    }
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(c.closedByPeer()) << sent;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s) << sent;
  }
  {
    // A peer that reads none of its answers: once one stops moving, the
    // connection ends and the device is free again.
    Client deaf(server.port());
    ASSERT_EQ(deaf.import("1-5"), 0U);
    usbip::CmdSubmit get;
    get.basic.command = usbip::kCmdSubmit;
    get.basic.direction = usbip::kDirIn;
    get.transferBufferLength = 32;
    get.setup = {0x80, 6, 0, 2, 0, 0, 32, 0};  // the configuration descriptor
    const auto one = usbip::encodeUrb(get);
    Bytes run;
    for (int i = 0; i < 1001; ++i) {
      run.insert(run.end(), one.begin(), one.end());
    }
    std::size_t sent = 0;  // into an endless run of these URBs
    for (auto last = std::chrono::steady_clock::now(); std::chrono::steady_clock::now() - last < 200ms;) {
      const ssize_t n = ::send(deaf.fd(), run.data() + sent % one.size(), run.size() - one.size(),
                               MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n > 0) {
        sent += static_cast<std::size_t>(n);
        last = std::chrono::steady_clock::now();
      } else {
        std::this_thread::sleep_for(10ms);
      }
    }
    std::uint32_t status = usbip::kStatusBusy;
    for (int i = 0; i < 20 && status == usbip::kStatusBusy; ++i) {
      status = Client(server.port()).import("1-5");
      std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(status, 0U) << sent << " bytes of URBs sent";
  }
  Client idle(server.port());
  ASSERT_EQ(idle.import("1-5"), 0U);
  std::this_thread::sleep_for(600ms);
  EXPECT_TRUE(idle.configure()) << "an idle link is kept";
}

// Peers that send their first request a byte a second, more of them than
// there are connection slots and back at once when closed, keep no one from
// listing the devices.
TEST(UsbipLoad, ListIsAnsweredWhileTricklersHoldEverySlot) {
  using namespace std::chrono_literals;
  constexpr std::size_t kTricklers = 70;
  UsbipServer server;
  server.plug('e', std::make_shared<Device>(smallProfile()));
  ASSERT_EQ(server.listen("127.0.0.1:0"), "");
  std::atomic<bool> done{false};
  std::atomic<bool> started{false};
  std::thread tricklers([&] {
    const Bytes request = Client::op(usbip::kReqDevlist);
    struct Peer {
      std::unique_ptr<Client> client;
      std::size_t sent = 0;
      std::chrono::steady_clock::time_point last;
    };
    std::vector<Peer> peers(kTricklers);
    while (!done) {
      for (Peer& p : peers) {
        char b;
        if (!p.client || ::recv(p.client->fd(), &b, 1, MSG_DONTWAIT) >= 0 || errno != EAGAIN) {  // closed, answered: again
          p = {std::make_unique<Client>(server.port()), 0, {}};
        }
        if (std::chrono::steady_clock::now() - p.last >= 1s) {
          p.client->send(Bytes{request[p.sent++ % request.size()]});
          p.last = std::chrono::steady_clock::now();
        }
      }
      started = true;
      std::this_thread::sleep_for(20ms);
    }
  });
  while (!started) {
    std::this_thread::sleep_for(10ms);
  }
  std::this_thread::sleep_for(300ms);
  for (int i = 0; i < 3; ++i) {
    const auto start = std::chrono::steady_clock::now();
    Client list(server.port());
    list.send(Client::op(usbip::kReqDevlist));
    const auto answer = list.read(12, 1000);
    EXPECT_TRUE(answer && byteorder::getBe32(answer->data() + 8) == 1U) << "list " << i;
    std::printf("list %d answered in %lld ms\n", i,
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now() - start).count()));
    std::this_thread::sleep_for(400ms - (std::chrono::steady_clock::now() - start));
  }
  done = true;
  tricklers.join();
}

TEST(UsbipDaemon, ServesPluggedDevicesAndEndsTheirConnectionsOnUnplug) {
  const std::string dir = simtest::makeTempDir();
  const std::uint16_t port = simtest::freePort();
  const auto start = simtest::flashsim({"serve", "--dir", dir, "--usbip", "127.0.0.1:" + std::to_string(port),
                                        "--device", "e:blocks=64,pages=4,pagesize=512"});
  ASSERT_EQ(start.exitCode, 0) << start.err;
  Client c(port);
  ASSERT_EQ(c.import("1-5"), 0U);
  ASSERT_TRUE(c.configure());
  EXPECT_EQ(c.command(kInquiry, 0x80, 36).data.data.size(), 36U);
  const auto trace = simtest::flashsim({"trace", "--dir", dir, "e"});
  EXPECT_NE(trace.out.find("120000002400 in 36 good"), std::string::npos) << trace.out;
  EXPECT_EQ(simtest::flashsim({"unplug", "--dir", dir, "e"}).exitCode, 0);
  EXPECT_TRUE(c.closedByPeer());
  EXPECT_EQ(simtest::flashsim({"plug", "--dir", dir, "e"}).exitCode, 0);
  Client again(port);
  EXPECT_EQ(again.import("1-5"), 0U) << "re-plugged";
  if (!std::filesystem::exists("/sys/devices/platform/vhci_hcd.0")) {
    const auto attach = simtest::flashsim({"attach", "--dir", dir, "f"});
    EXPECT_EQ(attach.exitCode, 1);
    EXPECT_NE(attach.err.find("vhci-hcd"), std::string::npos) << attach.err;
  }
  const auto bad = simtest::flashsim({"serve", "--dir", dir + "x", "--usbip", "nowhere:99999"});
  EXPECT_EQ(bad.exitCode, 1);
  EXPECT_EQ(simtest::flashsim({"stop", "--dir", dir}).exitCode, 0);
  simtest::removeTree(dir);
  simtest::removeTree(dir + "x");
}

// A failed local attach (no vhci-hcd here, or no root) leaves every letter
// as it was: its previous device with NAND, bad blocks, trace and USB serial
// number, unplugged; or no device at all.
TEST(UsbipDaemon, FailedAttachLeavesEveryLetterAsItWas) {
  if (::geteuid() == 0 && std::filesystem::exists("/sys/devices/platform/vhci_hcd.0")) {
    GTEST_SKIP() << "the local attach would work here";
  }
  const std::uint16_t port = simtest::freePort();
  simtest::Daemon d({"q:bad=3/7,blocks=64,pages=16"}, {"--usbip", "127.0.0.1:" + std::to_string(port)});
  ASSERT_TRUE(d.ready());
  const auto serial = [&] {
    Client c(port);
    return c.import("1-17") == 0U ? c.control(0x80, 6, 0x0303, 0x0409, 255).data : Bytes{};
  };
  const Bytes before = serial();
  ASSERT_FALSE(before.empty());
  ASSERT_EQ(simtest::Link(d.socket('q')).status({0xEF, 0x21, 0, 0, 0, 0}), 0x01);
  const std::string trace = d.control("trace", {"q"}).out;
  ASSERT_EQ(d.control("unplug", {"q"}).exitCode, 0);
  for (const char* device : {"Q:blocks=128,pages=16", "q", "w:blocks=8"}) {
    const auto attach = d.control("attach", {device});
    EXPECT_EQ(attach.exitCode, 1) << device;
    EXPECT_NE(attach.err.find("vhci-hcd"), std::string::npos) << attach.err;
  }
  EXPECT_EQ(d.control("trace", {"w"}).err, "flashsim: no device w\n");
  EXPECT_EQ(d.control("bad", {"q"}).out, "3\n7\n");
  ASSERT_EQ(d.control("plug", {"q"}).exitCode, 0);
  EXPECT_EQ(d.control("trace", {"q"}).out, trace);
  EXPECT_EQ(d.control("page", {"q", std::to_string(64 * 16)}).exitCode, 1) << "the 64-block device is back";
  EXPECT_EQ(serial(), before);
}

// The block device the kernel made for an attached emulated device, e.g. "sdb".
std::string emulatedDisk() {
  namespace fs = std::filesystem;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/sys/block", ec)) {
    std::ifstream vendor(entry.path() / "device" / "vendor");
    std::string text;
    if (entry.path().filename().string().rfind("sd", 0) == 0 && std::getline(vendor, text) &&
        text.rfind("FLASHSIM", 0) == 0) {
      return entry.path().filename().string();
    }
  }
  return {};
}

TEST(UsbipLocalAttach, KestrinThroughTheKernelNode) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "the local attach needs root";
  }
  if (!std::filesystem::exists("/sys/devices/platform/vhci_hcd.0")) {
    GTEST_SKIP() << "the vhci-hcd driver is not loaded (modprobe vhci-hcd)";
  }
  if (!emulatedDisk().empty()) {
    GTEST_SKIP() << "an emulated disk is attached already";
  }
  UsbipServer server;
  server.plug('e', std::make_shared<Device>(smallProfile()));
  ASSERT_EQ(server.attachLocal('e'), "");
  std::string disk;
  for (int i = 0; i < 200 && (disk.empty() || !std::filesystem::exists("/dev/" + disk)); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    disk = emulatedDisk();
  }
  ASSERT_FALSE(disk.empty()) << "the kernel made no disk of the device";
  const std::string probe = "KESTRIN_DEVICE_DIR=/dev " KESTRIN_PATH " " + disk.substr(2) + ": >/dev/null";
  const int status = std::system(probe.c_str());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << probe;
  server.unplug('e');
  for (int i = 0; i < 100 && std::filesystem::exists("/sys/block/" + disk); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_FALSE(std::filesystem::exists("/sys/block/" + disk)) << "unplugged: the disk goes away";
}

}  // namespace
}  // namespace flashsim
