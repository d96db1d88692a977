#include "device/scsi_transport_socket_linux.hpp"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>

#include "common/sim_wire.hpp"
#include "common/unix_socket.hpp"

namespace kestrin {
namespace {

using common::deadline_io::Deadline;
using common::deadline_io::Io;

// How long connecting may wait when the emulator's backlog is full.
constexpr std::chrono::seconds kConnectTimeout{20};

}  // namespace

SocketTransport::SocketTransport(int fd) : fd_(fd), link_(fd) {}

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
  if (!wellFormed(request) || request.length > common::sim_wire::kMaxTransfer) {
    return {false, EINVAL};
  }
  // Like SG_IO, a time-out of 0 means the default rather than no time at all.
  const std::uint32_t seconds = request.timeoutSeconds == 0 ? 60 : request.timeoutSeconds;
  const Deadline deadline = Deadline::after(std::chrono::seconds(seconds));

  common::sim_wire::RequestHeader header;
  header.cdbLength = request.cdbLength;
  if (request.length == 0) {
    header.direction = common::sim_wire::Direction::None;
  } else {
    header.direction =
        request.direction == DataDirection::In ? common::sim_wire::Direction::In : common::sim_wire::Direction::Out;
  }
  header.transferLength = request.length;
  header.timeoutMs = static_cast<std::uint32_t>(std::min<std::uint64_t>(std::uint64_t{seconds} * 1000, UINT32_MAX));
  std::copy(request.cdb.begin(), request.cdb.begin() + request.cdbLength, header.cdb.begin());
  auto encoded = common::sim_wire::encodeRequestHeader(header);

  const std::uint32_t sent = header.direction == common::sim_wire::Direction::Out ? request.length : 0;
  const iovec out[2] = {{encoded.data(), encoded.size()}, {request.data, sent}};
  switch (link_.send(out, 2, deadline)) {
    case Io::Ok:
      break;
    case Io::TimedOut:
      return dropLink(ETIMEDOUT);
    case Io::Closed:
      return dropLink(ENODEV);
    case Io::Error:
      return dropLink(EIO);
  }

  // The answer header and as much data as the request has room for, in one
  // receive when the answer has all arrived.
  std::array<std::uint8_t, common::sim_wire::kAnswerHeaderSize> answerBytes{};
  const std::uint32_t room = header.direction == common::sim_wire::Direction::In ? request.length : 0;
  const iovec in[2] = {{answerBytes.data(), answerBytes.size()}, {request.data, room}};
  std::size_t got = 0;
  switch (link_.receive(in, 2, answerBytes.size(), deadline, got)) {
    case Io::Ok:
      break;
    case Io::TimedOut:
      return dropLink(ETIMEDOUT);
    case Io::Closed:
      return dropLink(got == 0 ? ENODEV : EIO);
    case Io::Error:
      return dropLink(EIO);
  }
  const auto answer = common::sim_wire::decodeAnswerHeader(answerBytes.data());
  const std::size_t arrived = got - answerBytes.size();
  if (!answer || answer->dataLength > room || arrived > answer->dataLength) {
    return dropLink(EIO);  // the link is out of step; nothing after this can be trusted
  }
  if (arrived < answer->dataLength) {
    const std::size_t rest = answer->dataLength - arrived;
    switch (link_.receive(request.data + arrived, rest, rest, deadline, got)) {
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

OrSystemError<std::unique_ptr<SocketTransport>> connectSocketTransport(const std::string& path) {
  const int fd = common::unix_socket::connectTo(path, kConnectTimeout);
  if (fd < 0) {
    return common::Failure{static_cast<std::uint32_t>(errno)};
  }
  return std::make_unique<SocketTransport>(fd);
}

}  // namespace kestrin
