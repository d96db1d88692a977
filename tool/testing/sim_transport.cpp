#include "testing/sim_transport.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kestrin {

TransportStatus SimTransport::execute(const ScsiRequest& request) {
  if (dead_) {
    return {false, static_cast<std::uint32_t>(ENODEV)};
  }
  if (request.cdbLength == 0 || request.cdbLength > request.cdb.size() ||
      request.length > wire::kMaxTransfer || (request.length > 0 && request.data == nullptr)) {
    return {false, static_cast<std::uint32_t>(EINVAL)};
  }

  wire::RequestHeader header;
  header.cdbLength = request.cdbLength;
  std::copy_n(request.cdb.begin(), request.cdbLength, header.cdb.begin());
  header.transferLength = request.length;
  header.timeoutMs = request.timeoutSeconds * 1000U;
  if (request.length == 0) {
    header.direction = wire::Direction::None;
  } else {
    header.direction = request.direction == DataDirection::In ? wire::Direction::In : wire::Direction::Out;
  }

  dataOut_.clear();
  if (header.direction == wire::Direction::Out) {
    dataOut_.assign(request.data, request.data + request.length);
  }

  ++requests_;
  const flashsim::Answer answer = device_.execute(header, dataOut_);
  switch (answer.link) {
    case flashsim::Answer::Link::Answered:
      break;
    case flashsim::Answer::Link::Drop:
      dead_ = true;
      return {false, static_cast<std::uint32_t>(ENODEV)};
    case flashsim::Answer::Link::DropMidData:
      dead_ = true;
      return {false, static_cast<std::uint32_t>(EIO)};
    case flashsim::Answer::Link::Hang:
      dead_ = true;
      return {false, static_cast<std::uint32_t>(ETIMEDOUT)};
  }

  std::uint32_t received = 0;
  if (header.direction == wire::Direction::In) {
    received = static_cast<std::uint32_t>(std::min<std::size_t>(answer.dataIn.size(), request.length));
    if (received > 0) {
      std::memcpy(request.data, answer.dataIn.data(), received);
    }
  }
  return {true, 0, received};
}

}  // namespace kestrin
