// Opening the drive named on the command line: "\\.\" + the name ("E:"),
// read and write access, shared for reading and writing, an existing device
// only, no flags.
#include <windows.h>

#include <string>

#include "device/scsi_transport.hpp"
#include "device/scsi_transport_windows.hpp"

namespace kestrin {

OrSystemError<std::unique_ptr<ScsiTransport>> openDevice(std::string_view name) {
  if (name.size() > kMaxDeviceNameLength) {
    return common::Failure{static_cast<std::uint32_t>(ERROR_FILENAME_EXCED_RANGE)};
  }
  // A name with an embedded NUL would name another device than it says.
  if (name.empty() || name.find('\0') != std::string_view::npos) {
    return common::Failure{static_cast<std::uint32_t>(ERROR_INVALID_NAME)};
  }
  const std::string path = std::string("\\\\.\\") + std::string(name);
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return common::Failure{static_cast<std::uint32_t>(GetLastError())};
  }
  return makeWindowsPassThrough(handle);
}

}  // namespace kestrin
