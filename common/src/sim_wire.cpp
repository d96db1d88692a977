#include "common/sim_wire.hpp"

#include <cstring>

#include "common/byte_order.hpp"

namespace common::sim_wire {
namespace {

using common::byte_order::getLe32;
using common::byte_order::putLe32;

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

namespace {

ReadResult receiveAll(int fd, void* data, std::size_t size, const common::deadline_io::Deadline& deadline) {
  std::size_t got = 0;
  return common::deadline_io::TimedSocket(fd).receive(data, size, size, deadline, got);
}

}  // namespace

bool writeAll(int fd, const void* data, std::size_t size) {
  return common::deadline_io::TimedSocket(fd).send(data, size, common::deadline_io::Deadline::never()) ==
         common::deadline_io::Io::Ok;
}

bool readAll(int fd, void* data, std::size_t size) {
  return receiveAll(fd, data, size, common::deadline_io::Deadline::never()) == ReadResult::Ok;
}

ReadResult readAllBy(int fd, void* data, std::size_t size, std::chrono::steady_clock::time_point deadline) {
  return receiveAll(fd, data, size, common::deadline_io::Deadline(deadline));
}

}  // namespace common::sim_wire
