#include "device/scsi_transport_sgio_linux.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <utility>

namespace kestrin {
namespace {

// Host adapter codes (host_status).
constexpr unsigned kHostNoConnect = 0x01;
constexpr unsigned kHostTimeOut = 0x03;
constexpr unsigned kHostBadTarget = 0x04;
// Driver codes (low nibble of driver_status; the high nibble carries only suggestions).
constexpr unsigned kDriverTimeout = 0x06;
constexpr unsigned kDriverSense = 0x08;

// The bytes that arrived of a data-in transfer: the transfer length less the
// residual count the driver reports, never more than was asked for (a
// residual outside 0 to dxfer_len is taken as the nearest of the two).
std::uint32_t receivedBytes(const sg_io_hdr_t& header) {
  const long long resid = std::clamp<long long>(header.resid, 0, header.dxfer_len);
  return static_cast<std::uint32_t>(header.dxfer_len - resid);
}

}  // namespace

int realSgIo(int fd, sg_io_hdr_t& header) {
  if (::ioctl(fd, SG_IO, &header) < 0) {
    return errno;
  }
  return 0;
}

TransportStatus judgeSgIo(const sg_io_hdr_t& header) {
  switch (header.host_status) {
    case 0:
      break;
    case kHostTimeOut:
      return {false, ETIMEDOUT};
    case kHostNoConnect:
    case kHostBadTarget:
      return {false, ENODEV};
    default:
      return {false, EIO};
  }
  const unsigned driver = header.driver_status & 0x0FU;
  if (driver == 0 || driver == kDriverSense) {
    return {true, 0};
  }
  if (driver == kDriverTimeout) {
    return {false, ETIMEDOUT};
  }
  return {false, EIO};
}

SgIoTransport::SgIoTransport(int fd, SgIoCall call) : fd_(fd), call_(std::move(call)) {}

SgIoTransport::~SgIoTransport() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
}

TransportStatus SgIoTransport::execute(const ScsiRequest& request) {
  if (!wellFormed(request)) {
    return {false, EINVAL};
  }
  std::array<unsigned char, 16> cdb{};
  for (std::size_t i = 0; i < cdb.size(); ++i) {
    cdb[i] = request.cdb[i];
  }
  std::array<unsigned char, 32> sense{};

  sg_io_hdr_t header{};
  header.interface_id = 'S';
  if (request.length == 0) {
    header.dxfer_direction = SG_DXFER_NONE;
  } else {
    header.dxfer_direction = request.direction == DataDirection::In ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV;
  }
  header.cmd_len = request.cdbLength;
  header.mx_sb_len = static_cast<unsigned char>(sense.size());
  header.iovec_count = 0;
  header.dxfer_len = request.length;
  header.dxferp = request.length == 0 ? nullptr : request.data;
  header.cmdp = cdb.data();
  header.sbp = sense.data();
  const unsigned long long ms = static_cast<unsigned long long>(request.timeoutSeconds) * 1000ULL;
  header.timeout = ms > UINT_MAX ? UINT_MAX : static_cast<unsigned int>(ms);
  header.flags = 0;

  const int error = call_(fd_, header);
  if (error != 0) {
    return {false, static_cast<std::uint32_t>(error)};
  }
  TransportStatus status = judgeSgIo(header);
  if (status.completed && header.dxfer_direction == SG_DXFER_FROM_DEV) {
    status.received = receivedBytes(header);
  }
  return status;
}

}  // namespace kestrin
