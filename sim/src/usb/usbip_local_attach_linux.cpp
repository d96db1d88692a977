// Hands a plugged device straight to the local vhci-hcd driver, the
// kernel's USB/IP client, through a socket pair (root), without TCP.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "flashsim/usbip.hpp"
#include "flashsim/usbip_server_linux.hpp"

namespace flashsim {
namespace {

constexpr const char* kVhci = "/sys/devices/platform/vhci_hcd.0";

}  // namespace

common::Result<void> UsbipServer::attachLocal(char letter) {
  if (common::Result<void> free = attachable(letter); !free) {
    return free;
  }
  std::ifstream statusFile(std::string(kVhci) + "/status");
  if (!statusFile) {
    return common::Failure{std::string("the vhci-hcd driver is not loaded (no ") + kVhci +
                           "); load it with modprobe vhci-hcd"};
  }
  // Lines: hub port sta spd dev sockfd local_busid; a free port has state 4.
  int port = -1;
  std::string line;
  while (std::getline(statusFile, line) && port < 0) {
    std::istringstream words(line);
    std::string hub;
    int number = -1;
    int state = -1;
    if (words >> hub >> number >> state && hub == "hs" && state == 4) {
      port = number;
    }
  }
  if (port < 0) {
    return common::Failure{"no free high-speed port on the vhci-hcd driver"};
  }
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    return common::Failure{std::string("socketpair: ") + std::strerror(errno)};
  }
  const std::string request = std::to_string(port) + " " + std::to_string(pair[0]) + " " +
                              std::to_string(devId(letter)) + " " + std::to_string(usbip::kSpeedHigh);
  const int attach = ::open((std::string(kVhci) + "/attach").c_str(), O_WRONLY | O_CLOEXEC);
  const bool written =
      attach >= 0 && ::write(attach, request.data(), request.size()) == static_cast<ssize_t>(request.size());
  const int error = errno;
  if (attach >= 0) {
    ::close(attach);
  }
  ::close(pair[0]);  // the driver holds its own reference
  if (!written) {
    ::close(pair[1]);
    return common::Failure{std::string("attaching to vhci-hcd: ") + std::strerror(error) +
                           (error == EACCES || error == EPERM ? " (the local attach needs root)" : "")};
  }
  return startConnection(pair[1], letter);
}

}  // namespace flashsim
