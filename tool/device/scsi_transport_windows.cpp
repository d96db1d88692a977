// Each request goes to the drive with one synchronous DeviceIoControl: a
// data-in request through the request record (IOCTL_SCSI_PASS_THROUGH, the
// data carried inside the record), a data-out request through the direct
// record (IOCTL_SCSI_PASS_THROUGH_DIRECT, the data read from the caller's
// memory). The records are laid out by device/pass_through_records.hpp; the
// SCSI status and sense bytes are not examined.
#include "device/scsi_transport_windows.hpp"

#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "device/pass_through_records.hpp"

namespace kestrin {
namespace {

namespace pt = passthrough;
constexpr const pt::RecordLayout& kLayout = pt::kNativeLayout;

// The record layout of this build is the system's own.
static_assert(sizeof(SCSI_PASS_THROUGH) == kLayout.headerSize);
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == kLayout.headerSize);
static_assert(offsetof(SCSI_PASS_THROUGH, DataBufferOffset) == kLayout.dataBuffer);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == kLayout.dataBuffer);
static_assert(offsetof(SCSI_PASS_THROUGH, Cdb) == kLayout.cdb);
static_assert(IOCTL_SCSI_PASS_THROUGH == pt::kIoctlScsiPassThrough);
static_assert(IOCTL_SCSI_PASS_THROUGH_DIRECT == pt::kIoctlScsiPassThroughDirect);
static_assert(SCSI_IOCTL_DATA_IN == pt::kDataIn && SCSI_IOCTL_DATA_OUT == pt::kDataOut);

class WindowsPassThrough final : public ScsiTransport {
 public:
  explicit WindowsPassThrough(HANDLE handle) : handle_(handle) {}
  ~WindowsPassThrough() override { CloseHandle(handle_); }
  WindowsPassThrough(const WindowsPassThrough&) = delete;
  WindowsPassThrough& operator=(const WindowsPassThrough&) = delete;

  TransportStatus execute(const ScsiRequest& request) override {
    if (request.length > 0 && request.data == nullptr) {
      return {false, ERROR_INVALID_PARAMETER};
    }
    return request.direction == DataDirection::In ? executeIn(request) : executeOut(request);
  }

 private:
  TransportStatus call(const pt::IoctlCall& call, std::uint8_t* record) {
    DWORD returned = 0;
    if (!DeviceIoControl(handle_, call.ioControlCode, record, call.inputLength, record, call.outputLength, &returned,
                         nullptr)) {
      return {false, GetLastError()};
    }
    return {true, 0};
  }

  TransportStatus executeIn(const ScsiRequest& request) {
    alignas(8) std::array<std::uint8_t, pt::kMaxRequestRecordSize> record{};
    pt::IoctlCall ioctl;
    if (pt::buildRequestRecord(kLayout, request, record, ioctl) != pt::BuildError::None) {
      return {false, ERROR_INVALID_PARAMETER};
    }
    TransportStatus status = call(ioctl, record.data());
    if (status.completed && request.length > 0) {
      // Only what the device sent; the rest stays as the caller had it.
      status.received = pt::transferredLength(kLayout, record, request.length);
      const auto data = pt::requestData(kLayout, record);
      std::copy_n(data.begin(), status.received, request.data);
    }
    return status;
  }

  TransportStatus executeOut(const ScsiRequest& request) {
    alignas(8) std::array<std::uint8_t, pt::kMaxDirectRecordSize> record{};
    pt::IoctlCall ioctl;
    const auto address = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(request.data));
    if (pt::buildDirectRecord(kLayout, request, address, record, ioctl) != pt::BuildError::None) {
      return {false, ERROR_INVALID_PARAMETER};
    }
    return call(ioctl, record.data());
  }

  HANDLE handle_;
};

}  // namespace

std::unique_ptr<ScsiTransport> makeWindowsPassThrough(void* handle) {
  return std::make_unique<WindowsPassThrough>(static_cast<HANDLE>(handle));
}

}  // namespace kestrin
