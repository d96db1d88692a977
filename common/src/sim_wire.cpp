#include "common/sim_wire.hpp"

#include "common/byte_order.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace wire {
namespace {

using byteorder::getLe32;
using byteorder::putLe32;

}  // namespace

std::array<std::uint8_t, kRequestHeaderSize> encodeRequestHeader(const RequestHeader& h) {
  std::array<std::uint8_t, kRequestHeaderSize> out{};
  putLe32(out.data(), kRequestMagic);
  out[4] = h.cdbLength;
  out[5] = static_cast<std::uint8_t>(h.direction);
  putLe32(out.data() + 8, h.transferLength);
  putLe32(out.data() + 12, h.timeoutMs);
  std::memcpy(out.data() + 16, h.cdb.data(), h.cdb.size());
  return out;
}

std::optional<RequestHeader> decodeRequestHeader(const std::uint8_t* bytes) {
  if (getLe32(bytes) != kRequestMagic) {
    return std::nullopt;
  }
  RequestHeader h;
  h.cdbLength = bytes[4];
  if (h.cdbLength == 0 || h.cdbLength > 16 || bytes[5] > 2) {
    return std::nullopt;
  }
  h.direction = static_cast<Direction>(bytes[5]);
  h.transferLength = getLe32(bytes + 8);
  h.timeoutMs = getLe32(bytes + 12);
  if (h.transferLength > kMaxTransfer) {
    return std::nullopt;
  }
  std::memcpy(h.cdb.data(), bytes + 16, h.cdb.size());
  return h;
}

std::array<std::uint8_t, kAnswerHeaderSize> encodeAnswerHeader(const AnswerHeader& h) {
  std::array<std::uint8_t, kAnswerHeaderSize> out{};
  putLe32(out.data(), kAnswerMagic);
  out[4] = h.scsiStatus;
  putLe32(out.data() + 8, h.dataLength);
  return out;
}

std::optional<AnswerHeader> decodeAnswerHeader(const std::uint8_t* bytes) {
  if (getLe32(bytes) != kAnswerMagic) {
    return std::nullopt;
  }
  AnswerHeader h;
  h.scsiStatus = bytes[4];
  h.dataLength = getLe32(bytes + 8);
  if (h.dataLength > kMaxTransfer) {
    return std::nullopt;
  }
  return h;
}

bool writeAll(int fd, const void* data, std::size_t size) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  while (size > 0) {
    const ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool readAll(int fd, void* data, std::size_t size) {
  auto* p = static_cast<std::uint8_t*>(data);
  while (size > 0) {
    const ssize_t n = ::recv(fd, p, size, 0);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    if (n == 0) {
      return false;
    }
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

ReadResult readAllBy(int fd, void* data, std::size_t size,
                     std::chrono::steady_clock::time_point deadline) {
  auto* p = static_cast<std::uint8_t*>(data);
  while (size > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return ReadResult::TimedOut;
    }
    pollfd pfd{fd, POLLIN, 0};
    const int ready = ::poll(&pfd, 1, static_cast<int>(std::min<long long>(left.count(), 1 << 30)));
    if (ready < 0) {
      if (errno == EINTR) {
        continue;
      }
      return ReadResult::Error;
    }
    if (ready == 0) {
      continue;  // the loop re-checks the deadline
    }
    const ssize_t n = ::recv(fd, p, size, 0);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) {
        continue;
      }
      return ReadResult::Error;
    }
    if (n == 0) {
      return ReadResult::Closed;
    }
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return ReadResult::Ok;
}

}  // namespace wire
