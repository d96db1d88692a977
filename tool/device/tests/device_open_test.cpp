#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "common/sim_wire.hpp"
#include "device/scsi_transport.hpp"
#include "device/vendor_commands.hpp"

namespace kestrin {
namespace {

// A temporary device directory named by KESTRIN_DEVICE_DIR while it lives.
class DeviceDirectory {
 public:
  DeviceDirectory() {
    char dirTemplate[] = "/tmp/kestrin-devdir-XXXXXX";
    if (::mkdtemp(dirTemplate) == nullptr) {
      std::abort();
    }
    path = dirTemplate;
    ::setenv("KESTRIN_DEVICE_DIR", path.c_str(), 1);
  }
  ~DeviceDirectory() {
    ::unsetenv("KESTRIN_DEVICE_DIR");
    for (const char* entry : {"sde", "sdf", "sdg"}) {
      ::unlink((path + "/" + entry).c_str());
    }
    ::rmdir((path + "/sdd").c_str());
    ::rmdir(path.c_str());
  }
  std::string path;
};

TEST(OpenDevice, RefusesWhatIsNotADevice) {
  DeviceDirectory dir;
  std::uint32_t error = 0;

  EXPECT_EQ(openDevice("E:", error), nullptr);
  EXPECT_EQ(error, static_cast<std::uint32_t>(ENOENT));

  // A regular file and a character device that do not take SG_IO are refused at open.
  std::FILE* file = std::fopen((dir.path + "/sdf").c_str(), "w");
  ASSERT_NE(file, nullptr);
  std::fclose(file);
  EXPECT_EQ(openDevice("f:", error), nullptr);
  EXPECT_EQ(error, static_cast<std::uint32_t>(ENOTTY));
  EXPECT_EQ(openDevice("/dev/null", error), nullptr);
  EXPECT_EQ(error, static_cast<std::uint32_t>(ENOTTY));

  ASSERT_EQ(::mkdir((dir.path + "/sdd").c_str(), 0700), 0);
  EXPECT_EQ(openDevice("D:", error), nullptr);
  EXPECT_EQ(error, static_cast<std::uint32_t>(EISDIR));

  // Names that the command line would refuse are still handled safely.
  EXPECT_EQ(openDevice(std::string(5000, 'x'), error), nullptr);
  EXPECT_NE(error, 0U);
  EXPECT_EQ(openDevice(std::string_view("sdf\0/etc", 8), error), nullptr);
  EXPECT_EQ(error, static_cast<std::uint32_t>(ENOENT));
  EXPECT_EQ(openDevice("", error), nullptr);
}

TEST(OpenDevice, ReachesASocketInTheDeviceDirectoryThroughTheEmulatorLink) {
  DeviceDirectory dir;
  const std::string path = dir.path + "/sde";
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, path.c_str());
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(::listen(listener, 1), 0);

  std::thread device([listener] {
    const int fd = ::accept(listener, nullptr, nullptr);
    std::uint8_t request[wire::kRequestHeaderSize];
    if (fd >= 0 && wire::readAll(fd, request, sizeof(request))) {
      const auto header = wire::encodeAnswerHeader({0, 1});
      const std::uint8_t status = 0x01;
      wire::writeAll(fd, header.data(), header.size());
      wire::writeAll(fd, &status, 1);
    }
    if (fd >= 0) {
      ::close(fd);
    }
  });

  std::uint32_t error = 99;
  auto transport = openDevice("E:", error);
  ASSERT_NE(transport, nullptr);
  EXPECT_EQ(error, 0U);
  VendorCommands commands(*transport);
  EXPECT_EQ(commands.cmd_bPollBlankCheck().kind, Outcome::Pass);
  transport.reset();
  device.join();
  ::close(listener);
}

}  // namespace
}  // namespace kestrin
