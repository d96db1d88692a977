#include "common/device_dir.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

namespace common::test {

TEST(DeviceDir, DriveNamesMapToSdEntries) {
  EXPECT_EQ(common::device_dir::devicePath("E:", "/dev"), "/dev/sde");
  EXPECT_EQ(common::device_dir::devicePath("e:", "/tmp/x"), "/tmp/x/sde");
  EXPECT_EQ(common::device_dir::devicePath("sg2", "/dev"), "/dev/sg2");
  EXPECT_EQ(common::device_dir::devicePath("/dev/sg3", "/dev"), "/dev/sg3");
  // Not a letter and colon: taken as it stands.
  EXPECT_EQ(common::device_dir::devicePath("1:", "/dev"), "/dev/1:");
  EXPECT_EQ(common::device_dir::devicePath("EF:", "/dev"), "/dev/EF:");
}

TEST(DeviceDir, EntryNamesGiveLettersOnlyForOneLetter) {
  EXPECT_EQ(common::device_dir::letterForEntryName("sde"), 'E');
  EXPECT_EQ(common::device_dir::letterForEntryName("sda"), 'A');
  EXPECT_EQ(common::device_dir::letterForEntryName("sdz"), 'Z');
  EXPECT_FALSE(common::device_dir::letterForEntryName("sdb1"));
  EXPECT_FALSE(common::device_dir::letterForEntryName("sdaa"));
  EXPECT_FALSE(common::device_dir::letterForEntryName("sdE"));
  EXPECT_FALSE(common::device_dir::letterForEntryName("sg0"));
  EXPECT_FALSE(common::device_dir::letterForEntryName("sd"));
  EXPECT_EQ(common::device_dir::entryNameForLetter('Q'), "sdq");
  EXPECT_TRUE(common::device_dir::isGenericNodeName("sg0"));
  EXPECT_TRUE(common::device_dir::isGenericNodeName("sg123456"));
  for (const char* other : {"sg", "sg1234567", "sgx", "sg1a", "sda", "bsg"}) {
    EXPECT_FALSE(common::device_dir::isGenericNodeName(other)) << other;
  }
}

TEST(DeviceDir, EnvironmentChoosesTheDirectory) {
  ::setenv(common::device_dir::kEnvVar, "/tmp/devs", 1);
  EXPECT_EQ(common::device_dir::deviceDirectory(), "/tmp/devs");
  ::setenv(common::device_dir::kEnvVar, "", 1);
  EXPECT_EQ(common::device_dir::deviceDirectory(), "/dev");
  ::unsetenv(common::device_dir::kEnvVar);
  EXPECT_EQ(common::device_dir::deviceDirectory(), "/dev");
}

}  // namespace common::test
