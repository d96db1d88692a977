// The SCSI pass-through seam: one request, with its CDB and optional data
// phase, sent to the opened device. Implementations: SG_IO on a Linux device
// node, the flashsim socket, and the Windows pass-through.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "device/system_error_code.hpp"

namespace kestrin {

enum class DataDirection { In, Out };

struct ScsiRequest {
  std::array<std::uint8_t, 16> cdb{};
  std::uint8_t cdbLength = 6;
  DataDirection direction = DataDirection::In;
  // In: the transport fills up to `length` bytes and counts in
  // TransportStatus::received those the device sent; what the rest hold
  // afterwards is not promised (a driver may write the whole buffer), so
  // callers read only the bytes counted. Out: `length` bytes are sent.
  std::uint8_t* data = nullptr;
  std::uint32_t length = 0;
  std::uint32_t timeoutSeconds = 20;
};

// What every transport takes: a CDB of 1 to 16 bytes, and a data buffer
// when the request moves data.
inline bool wellFormed(const ScsiRequest& request) {
  return request.cdbLength > 0 && request.cdbLength <= request.cdb.size() &&
         (request.length == 0 || request.data != nullptr);
}

// Whether the request completed. A completed request may still carry a SCSI
// status such as CHECK CONDITION; that is not looked at. errorCode is the
// system error code (errno here, GetLastError on Windows) when not completed.
// received is the number of data bytes the device actually sent for a
// completed data-in request (at most the request's length); 0 otherwise.
struct TransportStatus {
  bool completed = false;
  std::uint32_t errorCode = 0;
  std::uint32_t received = 0;
};

class ScsiTransport {
 public:
  virtual ~ScsiTransport() = default;
  virtual TransportStatus execute(const ScsiRequest& request) = 0;
};

// The longest device name openDevice takes: on Windows "\\.\" and the name
// fill a path of 28 bytes with its terminator.
inline constexpr std::size_t kMaxDeviceNameLength = 23;

// Opens the device named on the command line ("E:" and the like).
OrSystemError<std::unique_ptr<ScsiTransport>> openDevice(std::string_view name);

}  // namespace kestrin
