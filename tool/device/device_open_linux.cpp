// Opening the drive named on the command line. The name becomes a path in the
// device directory (common/device_dir.hpp): a Unix-domain socket there is a
// flashsim device, anything else a device node driven through SG_IO.
//
// A SCSI disk's block node (/dev/sde) is not used for the commands when the
// disk has a SCSI generic node (/dev/sgN, the sg driver loaded): on the block
// node the disk driver wraps every run in commands of its own (TEST UNIT
// READY and PREVENT MEDIUM REMOVAL at open, TEST UNIT READY and ALLOW at
// close), and closing it behind a device that stopped answering waits for
// those to time out too. The generic node carries only the tool's commands,
// and lets the vendor operation codes through for whoever may open it for
// reading and writing. It is looked for beside the block node (in the
// directory of the name's resolved path) and taken only when it is the
// character device that sysfs names; otherwise the block node is used.
//
// A node that does not take SG_IO (a regular file, /dev/null, a directory) is
// refused here rather than at its first command: after opening it, the
// SG_GET_VERSION_NUM ioctl is asked, and its failure (ENOTTY, say) is the
// open's error code.
#include "device/device_open_linux.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>

#include "common/device_dir.hpp"
#include "device/scsi_transport.hpp"
#include "device/scsi_transport_sgio_linux.hpp"
#include "device/scsi_transport_socket_linux.hpp"

namespace kestrin {
namespace {

// "MAJ:MIN" as sysfs writes a device number, with or without the line end.
std::optional<dev_t> parseDeviceNumber(std::string_view text) {
  if (!text.empty() && text.back() == '\n') {
    text.remove_suffix(1);
  }
  const auto colon = text.find(':');
  if (colon == std::string_view::npos) {
    return std::nullopt;
  }
  unsigned major = 0;
  unsigned minor = 0;
  const char* end = text.data() + text.size();
  const auto [majorEnd, majorError] = std::from_chars(text.data(), text.data() + colon, major);
  const auto [minorEnd, minorError] = std::from_chars(text.data() + colon + 1, end, minor);
  if (colon == 0 || majorError != std::errc{} || majorEnd != text.data() + colon || minorError != std::errc{} ||
      minorEnd != end || minorEnd == text.data() + colon + 1) {
    return std::nullopt;
  }
  return makedev(major, minor);
}

std::optional<std::string> readSmallFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    return std::nullopt;
  }
  char buffer[32];
  const ssize_t n = ::read(fd, buffer, sizeof(buffer));
  ::close(fd);
  if (n <= 0 || static_cast<std::size_t>(n) == sizeof(buffer)) {
    return std::nullopt;
  }
  return std::string(buffer, static_cast<std::size_t>(n));
}

// Opens a node for SG_IO: read-write, without waiting on the device at open
// (O_NONBLOCK, cleared again for the requests). When `expected` is given the
// opened node must be that character device. The descriptor.
OrSystemError<int> openSgIoNode(const std::string& path, std::optional<dev_t> expected) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return common::Failure{static_cast<std::uint32_t>(errno)};
  }
  auto fail = [fd](int code) {
    ::close(fd);
    return common::Failure{static_cast<std::uint32_t>(code)};
  };
  if (expected) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
      return fail(errno);
    }
    if (!S_ISCHR(info.st_mode) || info.st_rdev != *expected) {
      return fail(ENODEV);
    }
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
    return fail(errno);
  }
  int version = 0;
  if (::ioctl(fd, SG_GET_VERSION_NUM, &version) < 0) {
    return fail(errno);
  }
  return fd;
}

// The generic node of the disk behind the block node at `blockPath`, opened,
// or -1 when there is none that can be opened.
int openGenericNodeOf(const std::string& blockPath, dev_t disk) {
  const auto node = scsiGenericNodeOf("/sys", disk);
  if (!node) {
    return -1;
  }
  char resolved[PATH_MAX];
  if (::realpath(blockPath.c_str(), resolved) == nullptr) {
    return -1;
  }
  std::string directory(resolved);
  directory.erase(directory.rfind('/'));
  const OrSystemError<int> fd = openSgIoNode(directory + "/" + node->name, node->number);
  return fd ? *fd : -1;
}

}  // namespace

std::optional<ScsiGenericNode> scsiGenericNodeOf(const std::string& sysfsRoot, dev_t disk) {
  const std::string genericDir = sysfsRoot + "/dev/block/" + std::to_string(major(disk)) + ":" +
                                 std::to_string(minor(disk)) + "/device/scsi_generic";
  DIR* dir = ::opendir(genericDir.c_str());
  if (dir == nullptr) {
    return std::nullopt;
  }
  std::optional<ScsiGenericNode> found;
  while (const dirent* entry = ::readdir(dir)) {
    if (!common::device_dir::isGenericNodeName(entry->d_name)) {
      continue;
    }
    const auto text = readSmallFile(genericDir + "/" + entry->d_name + "/dev");
    const auto number = text ? parseDeviceNumber(*text) : std::nullopt;
    if (number) {
      found = ScsiGenericNode{entry->d_name, *number};
    }
    break;
  }
  ::closedir(dir);
  return found;
}

OrSystemError<std::unique_ptr<ScsiTransport>> openDevice(std::string_view name) {
  // A name with an embedded NUL would name another file than it says.
  if (name.empty() || name.find('\0') != std::string_view::npos) {
    return common::Failure{static_cast<std::uint32_t>(ENOENT)};
  }
  const std::string path = common::device_dir::devicePath(name, common::device_dir::deviceDirectory());

  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    return common::Failure{static_cast<std::uint32_t>(errno)};
  }
  if (S_ISSOCK(info.st_mode)) {
    OrSystemError<std::unique_ptr<SocketTransport>> socket = connectSocketTransport(path);
    if (!socket) {
      return common::Failure{socket.error()};
    }
    return std::unique_ptr<ScsiTransport>(std::move(socket).value());
  }
  const int generic = S_ISBLK(info.st_mode) ? openGenericNodeOf(path, info.st_rdev) : -1;
  if (generic >= 0) {
    return std::unique_ptr<ScsiTransport>(std::make_unique<SgIoTransport>(generic));
  }
  const OrSystemError<int> fd = openSgIoNode(path, std::nullopt);
  if (!fd) {
    return common::Failure{fd.error()};
  }
  return std::unique_ptr<ScsiTransport>(std::make_unique<SgIoTransport>(*fd));
}

}  // namespace kestrin
