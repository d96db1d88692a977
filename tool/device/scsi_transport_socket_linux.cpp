#include "device/scsi_transport_socket_linux.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include "common/sim_wire.hpp"

namespace kestrin {
namespace {

using Clock = std::chrono::steady_clock;

// How long connecting may wait when the emulator's backlog is full.
constexpr std::chrono::seconds kConnectTimeout{20};

enum class Io { Ok, TimedOut, Closed, Error };

int millisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) {
    return 0;
  }
  return static_cast<int>(std::min<long long>(left, INT_MAX));
}

// Waits for `events` on fd until the deadline; Ok when ready.
Io waitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    const int left = millisecondsLeft(deadline);
    if (left == 0) {
      return Io::TimedOut;
    }
    pollfd pfd{fd, events, 0};
    const int ready = ::poll(&pfd, 1, left);
    if (ready < 0) {
      if (errno == EINTR) {
        continue;
      }
      return Io::Error;
    }
    if (ready > 0) {
      return Io::Ok;  // readable, writable, hung up or in error: the next call tells
    }
  }
}

Io sendBy(int fd, const std::uint8_t* p, std::size_t size, Clock::time_point deadline) {
  while (size > 0) {
    const Io waited = waitFor(fd, POLLOUT, deadline);
    if (waited != Io::Ok) {
      return waited;
    }
    const ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
        continue;
      }
      return (errno == EPIPE || errno == ECONNRESET) ? Io::Closed : Io::Error;
    }
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return Io::Ok;
}

// Receives exactly `size` bytes by the deadline; `got` counts what arrived.
Io receiveBy(int fd, std::uint8_t* p, std::size_t size, Clock::time_point deadline, std::size_t& got) {
  got = 0;
  while (got < size) {
    const Io waited = waitFor(fd, POLLIN, deadline);
    if (waited != Io::Ok) {
      return waited;
    }
    const ssize_t n = ::recv(fd, p + got, size - got, MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
        continue;
      }
      return errno == ECONNRESET ? Io::Closed : Io::Error;
    }
    if (n == 0) {
      return Io::Closed;
    }
    got += static_cast<std::size_t>(n);
  }
  return Io::Ok;
}

}  // namespace

SocketTransport::SocketTransport(int fd) : fd_(fd) {}

SocketTransport::~SocketTransport() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
}

TransportStatus SocketTransport::dropLink(std::uint32_t errorCode) {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  return {false, errorCode};
}

TransportStatus SocketTransport::execute(const ScsiRequest& request) {
  if (fd_ < 0) {
    return {false, ENODEV};
  }
  if (request.cdbLength == 0 || request.cdbLength > request.cdb.size() || request.length > wire::kMaxTransfer ||
      (request.length > 0 && request.data == nullptr)) {
    return {false, EINVAL};
  }
  // Like SG_IO, a time-out of 0 means the default rather than no time at all.
  const std::uint32_t seconds = request.timeoutSeconds == 0 ? 60 : request.timeoutSeconds;
  const auto deadline = Clock::now() + std::chrono::seconds(seconds);

  wire::RequestHeader header;
  header.cdbLength = request.cdbLength;
  if (request.length == 0) {
    header.direction = wire::Direction::None;
  } else {
    header.direction = request.direction == DataDirection::In ? wire::Direction::In : wire::Direction::Out;
  }
  header.transferLength = request.length;
  header.timeoutMs = static_cast<std::uint32_t>(std::min<std::uint64_t>(std::uint64_t{seconds} * 1000, UINT32_MAX));
  std::copy(request.cdb.begin(), request.cdb.begin() + request.cdbLength, header.cdb.begin());
  const auto encoded = wire::encodeRequestHeader(header);

  Io sent = sendBy(fd_, encoded.data(), encoded.size(), deadline);
  if (sent == Io::Ok && header.direction == wire::Direction::Out) {
    sent = sendBy(fd_, request.data, request.length, deadline);
  }
  switch (sent) {
    case Io::Ok:
      break;
    case Io::TimedOut:
      return dropLink(ETIMEDOUT);
    case Io::Closed:
      return dropLink(ENODEV);
    case Io::Error:
      return dropLink(EIO);
  }

  std::array<std::uint8_t, wire::kAnswerHeaderSize> answerBytes{};
  std::size_t got = 0;
  switch (receiveBy(fd_, answerBytes.data(), answerBytes.size(), deadline, got)) {
    case Io::Ok:
      break;
    case Io::TimedOut:
      return dropLink(ETIMEDOUT);
    case Io::Closed:
      return dropLink(got == 0 ? ENODEV : EIO);
    case Io::Error:
      return dropLink(EIO);
  }
  const auto answer = wire::decodeAnswerHeader(answerBytes.data());
  const std::uint32_t room = header.direction == wire::Direction::In ? request.length : 0;
  if (!answer || answer->dataLength > room) {
    return dropLink(EIO);  // the link is out of step; nothing after this can be trusted
  }
  if (answer->dataLength > 0) {
    switch (receiveBy(fd_, request.data, answer->dataLength, deadline, got)) {
      case Io::Ok:
        break;
      case Io::TimedOut:
        return dropLink(ETIMEDOUT);
      case Io::Closed:
      case Io::Error:
        return dropLink(EIO);
    }
  }
  return {true, 0, answer->dataLength};
}

std::unique_ptr<SocketTransport> connectSocketTransport(const std::string& path, std::uint32_t& errorCode) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof(address.sun_path)) {
    errorCode = ENAMETOOLONG;
    return nullptr;
  }
  std::memcpy(address.sun_path, path.data(), path.size());

  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    errorCode = static_cast<std::uint32_t>(errno);
    return nullptr;
  }
  // A blocking connect to a Unix socket waits at most the send time-out.
  timeval limit{};
  limit.tv_sec = kConnectTimeout.count();
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) < 0) {
    const int error = errno;
    ::close(fd);
    errorCode = static_cast<std::uint32_t>((error == EAGAIN || error == EINPROGRESS) ? ETIMEDOUT : error);
    return nullptr;
  }
  errorCode = 0;
  return std::make_unique<SocketTransport>(fd);
}

}  // namespace kestrin
