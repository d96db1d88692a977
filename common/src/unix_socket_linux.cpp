#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/unix_socket.hpp"

namespace common::unix_socket {
namespace {

// A new stream socket and the address of `path` for it; -1 with errno set.
int newSocket(const std::string& path, sockaddr_un& address) {
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  std::memcpy(address.sun_path, path.data(), path.size());
  return ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

// Closes fd keeping errno as the failure left it; -1.
int fail(int fd) {
  const int error = errno;
  ::close(fd);
  errno = error;
  return -1;
}

}  // namespace

int listenAt(const std::string& path, int backlog) {
  sockaddr_un address;
  const int fd = newSocket(path, address);
  if (fd < 0) {
    return -1;
  }
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, backlog) != 0) {
    return fail(fd);
  }
  return fd;
}

int connectTo(const std::string& path, std::optional<std::chrono::seconds> limit) {
  sockaddr_un address;
  const int fd = newSocket(path, address);
  if (fd < 0) {
    return -1;
  }
  if (limit) {
    // A blocking connect to a Unix socket waits at most the send time-out.
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(limit->count());
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  }
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (errno == EAGAIN || errno == EINPROGRESS) {
      errno = ETIMEDOUT;
    }
    return fail(fd);
  }
  return fd;
}

}  // namespace common::unix_socket
