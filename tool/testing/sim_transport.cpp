#include "testing/sim_transport.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/sim_wire.hpp"

namespace kestrin::test {

TransportStatus SimTransport::execute(const ScsiRequest& request) {
  if (dead_) {
    return {false, static_cast<std::uint32_t>(ENODEV)};
  }
  // The same bound as the emulator link's.
  if (!wellFormed(request) || request.length > common::sim_wire::kMaxTransfer) {
    return {false, static_cast<std::uint32_t>(EINVAL)};
  }

  flashsim::Command command;
  std::copy_n(request.cdb.begin(), request.cdbLength, command.cdb.begin());
  command.cdbLength = request.cdbLength;
  command.transferLength = request.length;
  if (request.length == 0) {
    command.direction = flashsim::Direction::None;
  } else if (request.direction == DataDirection::In) {
    command.direction = flashsim::Direction::In;
  } else {
    command.direction = flashsim::Direction::Out;
    command.dataOut = {request.data, request.length};
  }

  ++requests_;
  const flashsim::Answer answer = device_.execute(command);
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
  if (command.direction == flashsim::Direction::In) {
    received = static_cast<std::uint32_t>(std::min<std::size_t>(answer.dataIn.size(), request.length));
    if (received > 0) {
      std::memcpy(request.data, answer.dataIn.data(), received);
    }
  }
  return {true, 0, received};
}

}  // namespace kestrin::test
