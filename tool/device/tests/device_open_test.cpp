#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "common/sim_wire.hpp"
#include "common/testing/temp_dir.hpp"
#include "common/unix_socket.hpp"
#include "device/device_open_linux.hpp"
#include "device/scsi_transport.hpp"
#include "device/vendor_commands.hpp"

namespace kestrin::test {
namespace {

// A temporary device directory named by KESTRIN_DEVICE_DIR while it lives.
struct DeviceDirectory {
  DeviceDirectory() { ::setenv("KESTRIN_DEVICE_DIR", path.c_str(), 1); }
  ~DeviceDirectory() { ::unsetenv("KESTRIN_DEVICE_DIR"); }
  const common::test::TempDir temp{"kestrin-devdir"};
  const std::string path = temp.path();
};

TEST(OpenDevice, RefusesWhatIsNotADevice) {
  DeviceDirectory dir;
  // The system error code of an open that fails (none when it opens).
  const auto failure = [](std::string_view name) -> std::optional<std::uint32_t> {
    const auto opened = openDevice(name);
    if (opened.ok()) return std::nullopt;
    return opened.error();
  };

  EXPECT_EQ(failure("E:"), static_cast<std::uint32_t>(ENOENT));

  // A regular file and a character device that do not take SG_IO are refused at open.
  std::FILE* file = std::fopen((dir.path + "/sdf").c_str(), "w");
  ASSERT_NE(file, nullptr);
  std::fclose(file);
  EXPECT_EQ(failure("f:"), static_cast<std::uint32_t>(ENOTTY));
  EXPECT_EQ(failure("/dev/null"), static_cast<std::uint32_t>(ENOTTY));

  ASSERT_EQ(::mkdir((dir.path + "/sdd").c_str(), 0700), 0);
  EXPECT_EQ(failure("D:"), static_cast<std::uint32_t>(EISDIR));

  // Names that the command line would refuse are still handled safely.
  const auto tooLong = failure(std::string(5000, 'x'));
  ASSERT_TRUE(tooLong.has_value());
  EXPECT_NE(*tooLong, 0U);
  EXPECT_EQ(failure(std::string_view("sdf\0/etc", 8)), static_cast<std::uint32_t>(ENOENT));
  EXPECT_TRUE(failure("").has_value());
}

TEST(OpenDevice, ReachesASocketInTheDeviceDirectoryThroughTheEmulatorLink) {
  DeviceDirectory dir;
  const std::string path = dir.path + "/sde";
  const int listener = common::unix_socket::listenAt(path, 1);
  ASSERT_GE(listener, 0);

  std::thread device([listener] {
    const int fd = ::accept(listener, nullptr, nullptr);
    std::uint8_t request[common::sim_wire::kRequestHeaderSize];
    if (fd >= 0 && common::sim_wire::readAll(fd, request, sizeof(request))) {
      const auto header = common::sim_wire::encodeAnswerHeader({0, 1});
      const std::uint8_t status = 0x01;
      common::sim_wire::writeAll(fd, header.data(), header.size());
      common::sim_wire::writeAll(fd, &status, 1);
    }
    if (fd >= 0) {
      ::close(fd);
    }
  });

  auto opened = openDevice("E:");
  ASSERT_TRUE(opened.ok());
  auto transport = std::move(opened).value();
  VendorCommands commands(*transport);
  EXPECT_EQ(commands.cmd_bPollBlankCheck().kind, Outcome::Pass);
  transport.reset();
  device.join();
  ::close(listener);
}

TEST(OpenDevice, FindsTheDisksScsiGenericNodeInSysfs) {
  namespace fs = std::filesystem;
  const common::test::TempDir temp("kestrin-sysfs");
  const fs::path root = temp.path();
  // Each disk: its block device number, the entry under scsi_generic/ ("" for
  // an empty folder, nothing at all for "-") and what that entry's dev holds.
  struct Disk {
    unsigned minor;
    const char* entry;
    const char* dev;
    std::optional<ScsiGenericNode> expected;
  };
  const Disk disks[] = {
      {0, "sg3", "21:3\n", ScsiGenericNode{"sg3", makedev(21, 3)}},
      {16, "sg12", "21:12", ScsiGenericNode{"sg12", makedev(21, 12)}},
      {1, "-", "", std::nullopt},           // a partition: no device link
      {32, "", "", std::nullopt},           // the sg driver gone from the disk
      {48, "sg1", "21:x\n", std::nullopt},  // a malformed number
      {64, "sg1", ":1\n", std::nullopt},
      {80, "sg1", "21:\n", std::nullopt},
      {96, "sgx", "21:1\n", std::nullopt},  // not a generic node's name
      {112, "sg1", "", std::nullopt},       // no dev file
  };
  for (const Disk& disk : disks) {
    const fs::path block = root / "dev/block" / ("8:" + std::to_string(disk.minor));
    fs::create_directories(block);
    if (std::string(disk.entry) == "-") {
      continue;
    }
    const fs::path entry = block / "device/scsi_generic" / disk.entry;
    fs::create_directories(entry);
    if (*disk.dev != '\0') {
      std::ofstream(entry / "dev") << disk.dev;
    }
  }
  for (const Disk& disk : disks) {
    SCOPED_TRACE(disk.minor);
    const auto found = scsiGenericNodeOf(root.string(), makedev(8, disk.minor));
    ASSERT_EQ(found.has_value(), disk.expected.has_value());
    if (found) {
      EXPECT_EQ(found->name, disk.expected->name);
      EXPECT_EQ(found->number, disk.expected->number);
    }
  }
  EXPECT_FALSE(scsiGenericNodeOf(root.string(), makedev(8, 128)).has_value());
  EXPECT_FALSE(scsiGenericNodeOf((root / "absent").string(), makedev(8, 0)).has_value());
}

}  // namespace
}  // namespace kestrin::test
