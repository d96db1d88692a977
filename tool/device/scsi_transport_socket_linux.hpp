// SCSI requests carried to a flashsim device over its Unix-domain socket,
// framed as in common/sim_wire.hpp.
#pragma once

#include <memory>
#include <string>

#include "common/deadline_io.hpp"
#include "device/scsi_transport.hpp"

namespace kestrin {

class SocketTransport : public ScsiTransport {
 public:
  // Takes ownership of a connected stream socket.
  explicit SocketTransport(int fd);
  ~SocketTransport() override;
  SocketTransport(const SocketTransport&) = delete;
  SocketTransport& operator=(const SocketTransport&) = delete;

  // Completed when an answer arrived (whatever its SCSI status). Not
  // completed: ETIMEDOUT when no answer came within the request's time-out,
  // ENODEV when the peer closed the link before answering, EIO when the link
  // broke in the middle of the answer or the answer was malformed. After any
  // of these the link is dropped and every later request gives ENODEV.
  // A request goes out in one send (header and data together) and its
  // answer, header and data, comes in one receive when it has all arrived.
  TransportStatus execute(const ScsiRequest& request) override;

  bool connected() const { return fd_ >= 0; }

 private:
  TransportStatus dropLink(std::uint32_t errorCode);
  int fd_;
  common::deadline_io::TimedSocket link_;
};

// Connects to the device socket at `path` (the errno of a failure: ENOENT
// when it does not exist).
OrSystemError<std::unique_ptr<SocketTransport>> connectSocketTransport(const std::string& path);

}  // namespace kestrin
