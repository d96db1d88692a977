#include "common/device_dir.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

TEST(DeviceDir, DriveNamesMapToSdEntries) {
  EXPECT_EQ(devdir::devicePath("E:", "/dev"), "/dev/sde");
  EXPECT_EQ(devdir::devicePath("e:", "/tmp/x"), "/tmp/x/sde");
  EXPECT_EQ(devdir::devicePath("sg2", "/dev"), "/dev/sg2");
  EXPECT_EQ(devdir::devicePath("/dev/sg3", "/dev"), "/dev/sg3");
  // Not a letter and colon: taken as it stands.
  EXPECT_EQ(devdir::devicePath("1:", "/dev"), "/dev/1:");
  EXPECT_EQ(devdir::devicePath("EF:", "/dev"), "/dev/EF:");
}

TEST(DeviceDir, EntryNamesGiveLettersOnlyForOneLetter) {
  EXPECT_EQ(devdir::letterForEntryName("sde"), 'E');
  EXPECT_EQ(devdir::letterForEntryName("sda"), 'A');
  EXPECT_EQ(devdir::letterForEntryName("sdz"), 'Z');
  EXPECT_FALSE(devdir::letterForEntryName("sdb1"));
  EXPECT_FALSE(devdir::letterForEntryName("sdaa"));
  EXPECT_FALSE(devdir::letterForEntryName("sdE"));
  EXPECT_FALSE(devdir::letterForEntryName("sg0"));
  EXPECT_FALSE(devdir::letterForEntryName("sd"));
  EXPECT_EQ(devdir::entryNameForLetter('Q'), "sdq");
  EXPECT_TRUE(devdir::isGenericNodeName("sg0"));
  EXPECT_TRUE(devdir::isGenericNodeName("sg123456"));
  for (const char* other : {"sg", "sg1234567", "sgx", "sg1a", "sda", "bsg"}) {
    EXPECT_FALSE(devdir::isGenericNodeName(other)) << other;
  }
}

TEST(DeviceDir, EnvironmentChoosesTheDirectory) {
  ::setenv(devdir::kEnvVar, "/tmp/devs", 1);
  EXPECT_EQ(devdir::deviceDirectory(), "/tmp/devs");
  ::setenv(devdir::kEnvVar, "", 1);
  EXPECT_EQ(devdir::deviceDirectory(), "/dev");
  ::unsetenv(devdir::kEnvVar);
  EXPECT_EQ(devdir::deviceDirectory(), "/dev");
}
