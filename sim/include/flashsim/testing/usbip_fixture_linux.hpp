// What the USB/IP tests share: small devices E and F offered by a USB/IP
// server on a loopback port, and a client that imports and configures one.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "common/byte_order.hpp"
#include "flashsim/device.hpp"
#include "flashsim/testing/usbip_client_linux.hpp"
#include "flashsim/usb_device.hpp"
#include "flashsim/usbip.hpp"
#include "flashsim/usbip_server_linux.hpp"

namespace flashsim::test {

inline Profile smallProfile() {
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
    ASSERT_TRUE(server.listen("127.0.0.1:0").ok());
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

inline const Bytes kTestUnitReady{0x00, 0, 0, 0, 0, 0};
inline const Bytes kInquiry{0x12, 0, 0, 0, 36, 0};

inline Bytes rw10(std::uint8_t op, std::uint32_t lba, std::uint16_t count) {
  Bytes b(10, 0);
  b[0] = op;
  common::byte_order::putBe32(b.data() + 2, lba);
  common::byte_order::putBe16(b.data() + 7, count);
  return b;
}

}  // namespace flashsim::test
