// Opening the drive named on the command line. The name becomes a path in the
// device directory (common/device_dir.hpp): a Unix-domain socket there is a
// flashsim device, anything else a device node driven through SG_IO.
//
// A node that does not take SG_IO (a regular file, /dev/null, a directory) is
// refused here rather than at its first command: after opening it, the
// SG_GET_VERSION_NUM ioctl is asked, and its failure (ENOTTY, say) is the
// open's error code.
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/device_dir.hpp"
#include "device/scsi_transport.hpp"
#include "device/scsi_transport_sgio_linux.hpp"
#include "device/scsi_transport_socket_linux.hpp"

namespace kestrin {

std::unique_ptr<ScsiTransport> openDevice(std::string_view name, std::uint32_t& errorCode) {
  // A name with an embedded NUL would name another file than it says.
  if (name.empty() || name.find('\0') != std::string_view::npos) {
    errorCode = ENOENT;
    return nullptr;
  }
  const std::string path = devdir::devicePath(name, devdir::deviceDirectory());

  struct stat info{};
  if (::stat(path.c_str(), &info) != 0) {
    errorCode = static_cast<std::uint32_t>(errno);
    return nullptr;
  }
  if (S_ISSOCK(info.st_mode)) {
    return connectSocketTransport(path, errorCode);
  }

  // O_NONBLOCK keeps the open itself from waiting on the device; requests
  // are then made blocking again.
  const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    errorCode = static_cast<std::uint32_t>(errno);
    return nullptr;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
    errorCode = static_cast<std::uint32_t>(errno);
    ::close(fd);
    return nullptr;
  }
  int version = 0;
  if (::ioctl(fd, SG_GET_VERSION_NUM, &version) < 0) {
    errorCode = static_cast<std::uint32_t>(errno);
    ::close(fd);
    return nullptr;
  }
  errorCode = 0;
  return std::make_unique<SgIoTransport>(fd);
}

}  // namespace kestrin
