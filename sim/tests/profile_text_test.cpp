// The textual device descriptions and fault settings of the command line.
#include "flashsim/profile_text.hpp"

#include <gtest/gtest.h>

namespace flashsim::test {
namespace {

TEST(ProfileText, ReadsEveryKey) {
  const common::Result<DeviceArgument> d = parseDeviceArgument(
      "E:blocks=1024,pages=32,pagesize=1024,reported_blocks=2048,bad=1/5/9,version=ZANQ006HIA,"
      "blocklen=0,supported=0,blankcheck_ms=250,accepts_blankcheck=0,move=fail,erase_fail=2,"
      "program_fail=3/4,read_fail=6,bit_error=7,unknown=EF04/ee02,drop_after=10,drop_mid=1,hang_after=20,"
      "inquiry=0080020220000000,trace_limit=50");
  ASSERT_TRUE(d.ok()) << d.error();
  const Profile& p = d->profile;
  EXPECT_EQ(d->letter, 'e');
  EXPECT_FALSE(d->bareLetter);
  EXPECT_EQ(p.geometry.blockCount, 1024);
  EXPECT_EQ(p.geometry.pagesPerBlock, 32);
  EXPECT_EQ(p.geometry.pageSize, 1024);
  EXPECT_EQ(p.geometry.reportedBlockCount, 2048);
  EXPECT_EQ(p.factoryBad, (std::set<std::uint16_t>{1, 5, 9}));
  EXPECT_EQ(p.version, "ZANQ006HIA");
  EXPECT_EQ(p.capacityBlockLength, 0U);
  EXPECT_FALSE(p.supported);
  EXPECT_EQ(p.blankCheckDuration, std::chrono::milliseconds(250));
  EXPECT_FALSE(p.acceptsBlankCheck);
  EXPECT_FALSE(p.movePasses);
  EXPECT_EQ(p.faults.eraseFails, std::set<std::uint16_t>{2});
  EXPECT_EQ(p.faults.programFails, (std::set<std::uint16_t>{3, 4}));
  EXPECT_EQ(p.faults.readFails, std::set<std::uint16_t>{6});
  EXPECT_EQ(p.faults.bitErrors, std::set<std::uint16_t>{7});
  EXPECT_EQ(p.faults.unknownCommands, (std::set<std::uint16_t>{0xEF04, 0xEE02}));
  EXPECT_EQ(p.faults.dropAfterCommands, 10U);
  EXPECT_TRUE(p.faults.dropMidCommand);
  EXPECT_EQ(p.faults.hangAfterCommands, 20U);
  EXPECT_EQ(p.inquiryHeader, (std::vector<std::uint8_t>{0x00, 0x80, 0x02, 0x02, 0x20, 0, 0, 0}));
  EXPECT_EQ(p.traceLimit, 50U);

  const common::Result<DeviceArgument> raw = parseDeviceArgument("f:record=100000400608000B0000");
  ASSERT_TRUE(raw.ok()) << raw.error();
  EXPECT_EQ(raw->profile.geometry.rawRecord->at(7), 0x0B);

  const common::Result<DeviceArgument> bare = parseDeviceArgument("g");
  ASSERT_TRUE(bare.ok()) << bare.error();
  EXPECT_TRUE(bare->bareLetter);
  EXPECT_EQ(bare->profile.geometry.blockCount, 4096);
  EXPECT_TRUE(parseDeviceArgument("h:").ok());
}

TEST(ProfileText, RefusesMalformedDescriptions) {
  for (const char* text : {"",
                           "1",
                           "ee",
                           "é",
                           "e:blocks",
                           "e:=5",
                           "e:blocks=0",
                           "e:blocks=65536",
                           "e:blocks=-1",
                           "e:blocks=+5",
                           "e:blocks= 5",
                           "e:blocks=0x10",
                           "e:pages=3",
                           "e:pages=256",
                           "e:pagesize=1000",
                           "e:pagesize=65536",
                           "e:bad=1//2",
                           "e:bad=1/",
                           "e:bad=a",
                           "e:bad=4096",
                           "e:blocks=8,bad=8",
                           "e:version=12345678901234567",
                           "e:supported=2",
                           "e:move=maybe",
                           "e:record=00",
                           "e:record=zz000000000000000000",
                           "e:inquiry=0080",
                           "e:unknown=EF2",
                           "e:unknown=EF20/",
                           "e:unknown=EF20EE",
                           "e:drop_after=x",
                           "e:drop_mid=yes",
                           "e:hang_after=99999999999999999999999",
                           "e:colour=blue",
                           "e:blocks=8,",
                           "e:trace_limit=0",
                           "e:blankcheck_ms=99999999999",
                           "e:usb_vid=123",
                           "e:usb_pid=12345",
                           "e:usb_vid=zzzz",
                           "e:usb_serial=AB-1",
                           "e:usb_serial=123456789012345678901234567890123"}) {
    const common::Result<DeviceArgument> d = parseDeviceArgument(text);
    EXPECT_FALSE(d.ok()) << text;
  }
}

TEST(ProfileText, UsbIdentity) {
  const common::Result<DeviceArgument> d = parseDeviceArgument("f:usb_vid=1a2B,usb_pid=0001,usb_serial=ABC123");
  ASSERT_TRUE(d.ok()) << d.error();
  EXPECT_EQ(d->profile.usbVendorId, 0x1A2B);
  EXPECT_EQ(d->profile.usbProductId, 0x0001);
  EXPECT_EQ(d->profile.usbSerial, "ABC123");
  EXPECT_EQ(parseDeviceArgument("f")->profile.usbVendorId, kDefaultUsbVendorId);
}

TEST(ProfileText, FaultSettingsChangeAndClear) {
  Faults f;
  EXPECT_TRUE(applyFaultSetting(f, "erase_fail=1/2").ok());
  EXPECT_TRUE(applyFaultSetting(f, "hang_after=0").ok());
  EXPECT_TRUE(applyFaultSetting(f, "drop_mid=1").ok());
  EXPECT_EQ(f.eraseFails, (std::set<std::uint16_t>{1, 2}));
  EXPECT_EQ(f.hangAfterCommands, 0U);
  EXPECT_TRUE(applyFaultSetting(f, "erase_fail=").ok());
  EXPECT_TRUE(applyFaultSetting(f, "hang_after=").ok());
  EXPECT_TRUE(applyFaultSetting(f, "drop_mid=").ok());
  EXPECT_TRUE(f.eraseFails.empty());
  EXPECT_FALSE(f.hangAfterCommands);
  EXPECT_FALSE(f.dropMidCommand);

  EXPECT_FALSE(applyFaultSetting(f, "blocks=5").ok()) << "not a fault";
  EXPECT_FALSE(applyFaultSetting(f, "erase_fail").ok());
  EXPECT_FALSE(applyFaultSetting(f, "read_fail=x").ok());
}

}  // namespace
}  // namespace flashsim::test
