// A ScsiTransport that runs every request in-process on a flashsim::Device,
// with the same outcomes as the emulator link: a dropped link gives ENODEV
// (EIO when it broke in the middle of the data), a hung device ETIMEDOUT at
// once, and a link that broke or timed out stays dead (ENODEV) afterwards.
#pragma once

#include <cstdint>

#include "device/scsi_transport.hpp"
#include "flashsim/device.hpp"

namespace kestrin::test {

class SimTransport : public ScsiTransport {
 public:
  explicit SimTransport(flashsim::Device& device) : device_(device) {}

  TransportStatus execute(const ScsiRequest& request) override;

  bool linkDown() const { return dead_; }
  // Requests handed to the device (not counting those refused on a dead link).
  std::uint64_t requestCount() const { return requests_; }

 private:
  flashsim::Device& device_;
  bool dead_ = false;
  std::uint64_t requests_ = 0;
};

}  // namespace kestrin::test
