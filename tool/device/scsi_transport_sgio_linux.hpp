// SCSI requests through the Linux SG_IO ioctl on an opened device node
// (/dev/sgN or a SCSI disk's block node).
#pragma once

#include <scsi/sg.h>

#include <functional>

#include "device/scsi_transport.hpp"

namespace kestrin {

// The one system call the transport makes: SG_IO on `fd`. Returns 0 when the
// ioctl returned, else its errno. Tests put a fake in its place.
using SgIoCall = std::function<int(int fd, sg_io_hdr_t& header)>;

int realSgIo(int fd, sg_io_hdr_t& header);

// Judges a returned SG_IO header: completed unless the host adapter or the
// driver reports an error (sense data alone is a completed request). A
// time-out gives ETIMEDOUT, a lost device ENODEV, any other error EIO.
TransportStatus judgeSgIo(const sg_io_hdr_t& header);

class SgIoTransport : public ScsiTransport {
 public:
  // Takes ownership of `fd` and closes it when destroyed.
  explicit SgIoTransport(int fd, SgIoCall call = realSgIo);
  ~SgIoTransport() override;
  SgIoTransport(const SgIoTransport&) = delete;
  SgIoTransport& operator=(const SgIoTransport&) = delete;

  TransportStatus execute(const ScsiRequest& request) override;

 private:
  int fd_;
  SgIoCall call_;
};

}  // namespace kestrin
